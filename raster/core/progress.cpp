/*
 * progress.cpp - progress reports and the operations' message values.
 */
#include "progress.h"

#include "library_state.h"

namespace quill {

namespace {
// Default names, one per message value. Slot 0 and 1 share the first.
const char *const kDefaultNames[kMessageCount] = {
    "NewPalette", "PolyFill", "FileLoad",  "FileSave",    "Optimize",
    "FixPic",     "BitBlt",   "Cloning",   "Stretch",     "AffineTrn",
    "ColorBounds", "MirrorY", "MirrorX",   "Rotate180",   "Rotate90",
    "Rotate270",  "UdelExt",  "YX load",   "YX save"};

int message_index(int slot) { return slot <= 1 ? 0 : slot - 1; }
} // namespace

void progress_reset_messages() {
    for (int i = 0; i < kMessageCount; ++i)
        g_library.messages[i] = reinterpret_cast<intptr_t>(kDefaultNames[i]);
}

intptr_t progress_message(int slot) { return g_library.messages[message_index(slot)]; }

bool progress_report(intptr_t value) {
    ProgressCallback callback = g_library.callback;
    if (!callback)
        return true;
    if (callback(value) != 0)
        return true;
    callback(101);
    return false;
}

void progress_notify(intptr_t value) {
    if (g_library.callback)
        g_library.callback(value);
}

bool progress_begin(int slot) {
    return progress_report(0) && progress_report(progress_message(slot));
}

bool progress_fraction(int64_t done, int64_t total) {
    int64_t percent = total > 0 ? 1 + 98 * done / total : 99;
    if (percent < 1)
        percent = 1;
    if (percent > 99)
        percent = 99;
    return progress_report(static_cast<intptr_t>(percent));
}

bool progress_remaining(int64_t remaining, int64_t total) {
    int64_t percent = total > 0 ? 100 - 99 * remaining / total : 99;
    if (percent < 1)
        percent = 1;
    if (percent > 99)
        percent = 99;
    return progress_report(static_cast<intptr_t>(percent));
}

} // namespace quill

extern "C" QI_API int QI_SetMessage(int slot, intptr_t value) {
    if (slot < 0 || slot > 19)
        return 0;
    quill::g_library.messages[quill::message_index(slot)] = value;
    return 1;
}
