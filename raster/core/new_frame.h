/*
 * new_frame.h - the frame that an operation builds for its caller, held
 * locked while the operation fills it and deleted unless it is handed over.
 *
 * An operation that builds a frame deletes it itself when it fails; with the
 * frame in a NewFrame every early return does that, unlocking it first (a
 * locked frame cannot be deleted).
 */
#ifndef QUILL_RASTER_CORE_NEW_FRAME_H
#define QUILL_RASTER_CORE_NEW_FRAME_H

#include "quillimg.h"

#include <stdint.h>

namespace quill {

class NewFrame {
public:
    // Takes the handle of a frame just created (or -1) and locks it.
    explicit NewFrame(int32_t handle) : handle_(handle) { locked_ = handle >= 0 && QI_FrameLock(handle) == 1; }
    ~NewFrame() {
        if (handle_ < 0)
            return;
        QI_FrameUnlock(handle_);
        QI_FrameDelete(handle_);
    }
    NewFrame(const NewFrame &) = delete;
    NewFrame &operator=(const NewFrame &) = delete;

    // True when the frame exists and is locked.
    bool ok() const { return locked_; }
    int32_t handle() const { return handle_; }
    // Unlocks the frame and hands it to the caller.
    int32_t release() {
        int32_t handle = handle_;
        QI_FrameUnlock(handle);
        handle_ = -1;
        return handle;
    }

private:
    int32_t handle_;
    bool locked_ = false;
};

} // namespace quill

#endif
