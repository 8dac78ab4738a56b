/*
 * slot_table.cpp - acquire, release, grow and shrink of handle tables.
 *
 * Growing appends 16 slots and hands out the first of them; otherwise the
 * lowest free slot is found by a scan (tables hold tens of entries, and the
 * scan keeps handles small and stable for the host). Shrinking gives back at
 * most one step of 16 per release, and only when the 16 highest slots are
 * free and at least 16 more slots than are used would remain: a table that
 * hovers around a multiple of 16 does not reallocate on every call.
 */
#include "slot_table.h"

#include "../../base/holder.h"

#include <string.h>

namespace quill {

namespace {
uint8_t *slot_at(const SlotTable *table, int32_t index) {
    return table->slots + static_cast<size_t>(index) * table->slotSize;
}

bool slot_is_free(const SlotTable *table, int32_t index) {
    uint32_t first;
    memcpy(&first, slot_at(table, index), 4);
    return first == table->freeMarker;
}

void mark_free(SlotTable *table, int32_t first, int32_t count) {
    for (int32_t i = first; i < first + count; ++i)
        memcpy(slot_at(table, i), &table->freeMarker, 4);
}

uint32_t array_bytes(const SlotTable *table, int32_t capacity) {
    return static_cast<uint32_t>(capacity) * table->slotSize;
}
} // namespace

SlotTable *slot_table_create(uint32_t slotSize, uint32_t freeMarker) {
    if (slotSize < 4)
        return nullptr;
    HeapBlock<SlotTable> table(1);
    if (!table)
        return nullptr;
    *table.get() = SlotTable{nullptr, 0, kSlotStep, freeMarker, slotSize};
    HeapBlock<uint8_t> slots(static_cast<size_t>(slotSize) * kSlotStep);
    if (!slots)
        return nullptr;
    table[0].slots = slots.release();
    mark_free(table.get(), 0, kSlotStep);
    return table.release();
}

void slot_table_destroy(SlotTable *&table) {
    if (!table)
        return;
    heap_release(table->slots);
    heap_release(table);
}

int32_t slot_table_acquire(SlotTable *table) {
    if (!table)
        return -1;
    if (table->used == table->capacity) {
        if (table->capacity > INT32_MAX - kSlotStep)
            return -1;
        int32_t grown = table->capacity + kSlotStep;
        void *slots = table->slots;
        if (static_cast<uint64_t>(grown) * table->slotSize > UINT32_MAX ||
            !qs_realloc(&slots, array_bytes(table, grown)))
            return -1;
        table->slots = static_cast<uint8_t *>(slots);
        mark_free(table, table->capacity, kSlotStep);
        table->capacity = grown;
        return table->used++;
    }
    for (int32_t i = 0; i < table->capacity; ++i) {
        if (slot_is_free(table, i)) {
            ++table->used;
            return i;
        }
    }
    return -1; // unreachable while used < capacity
}

bool slot_table_store(SlotTable *table, int32_t index, const void *record) {
    if (!table || index < 0 || index >= table->capacity)
        return false;
    memcpy(slot_at(table, index), record, table->slotSize);
    return true;
}

void slot_table_release(SlotTable *table, int32_t index) {
    if (!table || index < 0 || index >= table->capacity || slot_is_free(table, index))
        return;
    --table->used;
    mark_free(table, index, 1);
    if (table->used + kSlotStep >= table->capacity)
        return;
    for (int32_t i = table->capacity - kSlotStep; i < table->capacity; ++i)
        if (!slot_is_free(table, i))
            return;
    void *slots = table->slots;
    int32_t shrunk = table->capacity - kSlotStep;
    if (qs_realloc(&slots, array_bytes(table, shrunk))) {
        table->slots = static_cast<uint8_t *>(slots);
        table->capacity = shrunk;
    }
}

void *slot_table_lookup(const SlotTable *table, int32_t index) {
    if (!table || index < 0 || index >= table->capacity || slot_is_free(table, index))
        return nullptr;
    return slot_at(table, index);
}

int32_t slot_table_highest(const SlotTable *table) {
    if (!table)
        return -1;
    for (int32_t i = table->capacity - 1; i >= 0; --i)
        if (!slot_is_free(table, i))
            return i;
    return -1;
}

} // namespace quill
