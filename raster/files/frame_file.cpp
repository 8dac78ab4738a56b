/*
 * frame_file.cpp - the doors between frames and image files: load, save and
 * get-info chosen by the name's extension, and saving a raw raster.
 *
 * The format is chosen by the extension alone; no file is sniffed. The
 * tile files ("YX") copy coded tiles and bypass the line protocol; every
 * other format runs inside a transfer (line_transfer.h).
 */
#include "file_formats.h"
#include "file_io.h"
#include "line_transfer.h"

#include "../core/frame_lock.h"
#include "../core/frame_rect.h"
#include "../core/library_state.h"
#include "../core/progress.h"
#include "quillimg.h"

#include <string.h>

namespace quill {

namespace {

using FormatOperation = int (*)(const char *, int32_t, FileInfo &);

struct Format {
    const char *extension;
    FormatOperation operation;
    bool saves;
};

const Format kFormats[] = {
    {"TIF", tiff_operation, true},
    {"PCX", pcx_operation, true},
    {"EPS", eps_operation, false},
    {"_PA", raw_rows_operation, false},
};

// Room for the longest extension compared, plus one to tell longer ones.
constexpr size_t kExtensionBytes = 8;

bool is_tile_file(const char *extension) { return strcmp(extension, "YX") == 0; }

const Format *find_format(const char *extension) {
    for (const Format &format : kFormats)
        if (strcmp(extension, format.extension) == 0)
            return &format;
    return nullptr;
}

bool sides_supported(const FileInfo &info) {
    return info.width >= 1 && info.height >= 1 && info.width <= kMaxFileSide && info.height <= kMaxFileSide;
}

int32_t load_image(const Format &format, const char *name, int32_t storage) {
    FileInfo info{};
    if (format.operation(name, kOpGetInfo, info) != 1 || info.kind < kImageBilevel || info.kind > kImageColour ||
        !sides_supported(info))
        return -1;
    if (!progress_begin(kMsgFileLoad)) {
        progress_report(100);
        return -1;
    }
    int32_t frame = -1;
    if (load_transfer_begin(info, storage)) {
        bool ok = format.operation(name, kOpLoad, info) == 1;
        frame = load_transfer_end(ok);
    }
    progress_report(100);
    return frame;
}

int save_image(const Format &format, int32_t frame, const char *name) {
    progress_notify(0);
    progress_notify(progress_message(kMsgFileSave));
    int result = 0;
    {
        ScopedFrameLock lock(frame);
        FileInfo info{};
        if (lock.ok() && save_transfer_begin(frame, info)) {
            result = format.operation(name, kOpSave, info) == 1 ? 1 : 0;
            save_transfer_end();
        }
    }
    progress_notify(100);
    return result;
}

// Saves an existing frame under `name`, the format chosen by its extension:
// QI_FrameFileSave's work, also used by QI_DmriFileSave.
int save_frame_file(int32_t frame, const char *name) {
    char extension[kExtensionBytes];
    if (!file_extension(name, extension, sizeof extension))
        return 0;
    if (is_tile_file(extension))
        return yx_save(frame, name);
    const Format *format = find_format(extension);
    if (!format || !format->saves)
        return 0;
    return save_image(*format, frame, name);
}

} // namespace

} // namespace quill

using namespace quill;

extern "C" QI_API int QI_FrameFileLoad(const char *name, int storage) {
    char extension[kExtensionBytes];
    if (!library_started() || !file_extension(name, extension, sizeof extension))
        return -1;
    if (is_tile_file(extension))
        return yx_load(name, storage);
    const Format *format = find_format(extension);
    return format ? load_image(*format, name, storage) : -1;
}

extern "C" QI_API int QI_FrameFileSave(int frame, const char *name) {
    if (!library_started() || !frame_lookup(frame))
        return 0;
    return save_frame_file(frame, name);
}

extern "C" QI_API int QI_FrameFileGetInfo(const char *name, int *width, int *height) {
    char extension[kExtensionBytes];
    if (!library_started() || !file_extension(name, extension, sizeof extension))
        return 0;
    FileInfo info{};
    int ok = 0;
    if (is_tile_file(extension)) {
        ok = yx_get_info(name, info);
    } else if (const Format *format = find_format(extension)) {
        ok = format->operation(name, kOpGetInfo, info);
    }
    if (ok != 1 || info.kind < kImageBilevel || info.kind > kImageColour)
        return 0;
    if (width)
        *width = info.width;
    if (height)
        *height = info.height;
    return info.kind;
}

extern "C" QI_API int QI_FrameFilePreview(void) { return 0; }

extern "C" QI_API int QI_DmriFileSave(const void *rows, int width, int height, int kind, const char *name) {
    if (!library_started() || !rows || (kind != 1 && kind != 2 && kind != 4))
        return 0;
    int32_t frame = QI_FrameCreate(width, height, kind, QI_STORAGE_SWAP, nullptr, 1);
    if (frame < 0)
        return 0;
    QI_Rect whole{0, 0, width - 1, height - 1};
    int ok = QI_FrameLock(frame) == 1 &&
             frame_set_rect(frame, whole, static_cast<const uint8_t *>(rows), kind, -1, -1) &&
             save_frame_file(frame, name) == 1;
    QI_FrameUnlock(frame);
    QI_FrameDelete(frame);
    return ok ? 1 : 0;
}
