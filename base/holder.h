/*
 * holder.h - RAII holders over the shared heap, for library-internal use.
 *
 * Library code is built without exceptions, so a holder is the whole of its
 * error handling: a function takes its working memory into a holder, checks
 * for null, and every early return gives the memory back.
 */
#ifndef QUILL_BASE_HOLDER_H
#define QUILL_BASE_HOLDER_H

#include "quillstd.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

// Owns one qs_malloc block of T elements (T is trivially copyable).
template <typename T>
class HeapBlock {
public:
    HeapBlock() = default;
    explicit HeapBlock(size_t count) { allocate(count); }
    ~HeapBlock() { reset(); }
    HeapBlock(const HeapBlock &) = delete;
    HeapBlock &operator=(const HeapBlock &) = delete;

    // Replaces the held block by a new one of `count` elements; false (and
    // nothing held) when memory runs out or the size exceeds 32 bits.
    bool allocate(size_t count) {
        reset();
        size_t bytes = count * sizeof(T);
        if (count != 0 && (bytes / sizeof(T) != count || bytes > UINT32_MAX))
            return false;
        block_ = static_cast<T *>(qs_malloc(static_cast<uint32_t>(bytes)));
        return block_ != nullptr;
    }
    // Resizes the held block (or allocates one) to `count` elements, keeping
    // its content as far as it goes; false, with the block unchanged, when
    // memory runs out, count is 0 or the size exceeds 32 bits.
    bool resize(size_t count) {
        size_t bytes = count * sizeof(T);
        if (count == 0 || bytes / sizeof(T) != count || bytes > UINT32_MAX)
            return false;
        void *p = block_;
        if (!qs_realloc(&p, static_cast<uint32_t>(bytes)))
            return false;
        block_ = static_cast<T *>(p);
        return true;
    }
    void reset() {
        void *p = block_;
        qs_free(&p);
        block_ = nullptr;
    }
    // Hands the block to the caller, who then owns it.
    T *release() {
        T *p = block_;
        block_ = nullptr;
        return p;
    }
    T *get() const { return block_; }
    T &operator[](size_t i) const { return block_[i]; }
    explicit operator bool() const { return block_ != nullptr; }

private:
    T *block_ = nullptr;
};

// Releases a qs_malloc block held in a plain pointer variable or field.
template <typename T>
inline void heap_release(T *&pointer) {
    void *p = pointer;
    qs_free(&p);
    pointer = nullptr;
}

} // namespace quill

#endif
