/*
 * progress.h - the progress protocol of long operations.
 *
 * An operation reports 0 (some skip it), its message value, percentages 1 to
 * 99 and finally 100. Every report goes through progress_report: with no
 * callback it says go on; a callback answer of 0 means cancel, and the
 * callback then hears 101 before the operation is told to stop.
 */
#ifndef QUILL_RASTER_CORE_PROGRESS_H
#define QUILL_RASTER_CORE_PROGRESS_H

#include <stdint.h>

namespace quill {

// Message slots of the operations that announce themselves.
enum MessageSlot {
    kMsgNewPalette = 0,
    kMsgPolyFill = 2,
    kMsgFileLoad = 3,
    kMsgFileSave = 4,
    kMsgOptimize = 5,
    kMsgCloning = 8,
    kMsgStretch = 9,
    kMsgAffine = 10,
    kMsgColorBounds = 11,
    kMsgMirrorY = 12,
    kMsgMirrorX = 13,
    kMsgRotate180 = 14,
    kMsgRotate90 = 15,
    kMsgRotate270 = 16,
    kMsgYXLoad = 18,
    kMsgYXSave = 19,
};

// Sends one value; true to go on, false when the host asked to cancel.
bool progress_report(intptr_t value);
// Sends one value to an operation that cannot be cancelled: the answer is
// ignored (no 101 follows a 0).
void progress_notify(intptr_t value);
// Sends 0 and then the message value of `slot`; false when cancelled.
bool progress_begin(int slot);
// Sends the percentage 1 + 98 * done / total (clamped to 1..99).
bool progress_fraction(int64_t done, int64_t total);
// Sends 100 - floor(99 * remaining / total), clamped to 1..99: the report
// of a band loop before each band, `remaining` units still to do. (Without
// the clamp the last of many small bands would report 100 before it is
// done, and 100 is kept for the end.)
bool progress_remaining(int64_t remaining, int64_t total);
// The value that `slot` sends (slots 0 and 1 share one).
intptr_t progress_message(int slot);
// Restores every message value to the address of its default name.
void progress_reset_messages();

} // namespace quill

#endif
