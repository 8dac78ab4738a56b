/*
 * frame_lock.h - locks a frame for the length of a scope and leaves it as it
 * was found: operations restore the lock state of the frames they touch.
 */
#ifndef QUILL_RASTER_CORE_FRAME_LOCK_H
#define QUILL_RASTER_CORE_FRAME_LOCK_H

#include "quillimg.h"
#include "tiles.h"

namespace quill {

class ScopedFrameLock {
public:
    explicit ScopedFrameLock(int32_t frame) : frame_(frame) {
        QI_FrameRecord *f = frame_lookup(frame);
        wasLocked_ = f && f->locked;
        ok_ = f && (wasLocked_ || QI_FrameLock(frame) == 1);
    }
    ~ScopedFrameLock() {
        if (ok_ && !wasLocked_)
            QI_FrameUnlock(frame_);
    }
    ScopedFrameLock(const ScopedFrameLock &) = delete;
    ScopedFrameLock &operator=(const ScopedFrameLock &) = delete;
    bool ok() const { return ok_; }

private:
    int32_t frame_;
    bool wasLocked_ = false;
    bool ok_ = false;
};

} // namespace quill

#endif
