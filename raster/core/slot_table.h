/*
 * slot_table.h - the one container behind every handle table.
 *
 * A table is a contiguous array of fixed-size slots; a handle is a slot's
 * index. A slot is free exactly when its first 32-bit word equals the table's
 * free marker, so the records kept in a table must never hold the marker in
 * their first field. Capacity starts at 16 and moves in steps of 16; freed
 * handles are reused lowest first.
 *
 * Pointers into the table stay valid only until the next acquire or release
 * on the same table: the array may move when it grows or shrinks.
 */
#ifndef QUILL_RASTER_CORE_SLOT_TABLE_H
#define QUILL_RASTER_CORE_SLOT_TABLE_H

#include <stdint.h>

namespace quill {

struct SlotTable {
    uint8_t *slots;      // capacity * slotSize bytes
    int32_t used;        // slots in use
    int32_t capacity;    // slots allocated, a multiple of 16
    uint32_t freeMarker; // first word of a free slot
    uint32_t slotSize;   // bytes per slot
};

constexpr int32_t kSlotStep = 16;

SlotTable *slot_table_create(uint32_t slotSize, uint32_t freeMarker);
void slot_table_destroy(SlotTable *&table);
// Index of a free slot, now counted as used; -1 when the table cannot grow.
// The slot still holds the marker: store a record there at once.
int32_t slot_table_acquire(SlotTable *table);
// Copies slotSize bytes into the slot; false for an index beyond capacity.
bool slot_table_store(SlotTable *table, int32_t index, const void *record);
void slot_table_release(SlotTable *table, int32_t index);
// The slot, or null for -1, an index beyond capacity, or a free slot.
void *slot_table_lookup(const SlotTable *table, int32_t index);
// Highest index in use, or -1.
int32_t slot_table_highest(const SlotTable *table);

} // namespace quill

#endif
