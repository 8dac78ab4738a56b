/*
 * eps_file.cpp - the TIFF preview of an encapsulated PostScript file with a
 * binary header (C5 D0 D3 C6, then the offsets and lengths of its
 * sections, little-endian).
 *
 * The preview is copied to "tiffile.tmp" in the library's swap directory
 * and handed to the TIFF reader, for get-info or load; the copy is deleted
 * whatever happens. The copy runs through a 64 KB buffer, so a preview of
 * any length costs no more memory than that.
 *
 * The copy is created exclusively: two processes that share a swap
 * directory and load EPS files at the same time would otherwise write the
 * same file and read each other's preview. When "tiffile.tmp" exists (another
 * process holds it, or one that crashed left it), the copy takes the first
 * free name of "tiffile-1.tmp", "tiffile-2.tmp", ... beside it; the exclusive
 * create settles every race between processes, so no two ever share a copy,
 * and a file we did not create is never truncated or deleted.
 *
 * Decisions:
 *  - The preview's offset and length must lie inside the file (and the
 *    offset be non-zero, the length at least 26 bytes, the smallest TIFF
 *    with one entry): a header pointing elsewhere rejects the file rather
 *    than copying a truncated preview.
 *  - The temporary path is the swap directory joined with the platform's
 *    separator.
 *  - At most kNameTries names are tried (then the load fails): a directory
 *    full of that many stale copies is a directory to clean, not to search
 *    further. Rejected: names from the process id or a random number; the
 *    library has no portable process id, and the exclusive create is what
 *    makes a name safe, not its spelling.
 */
#include "file_formats.h"
#include "file_io.h"

#include "../../base/holder.h"
#include "../core/library_state.h"
#include "../core/platform_file.h"

#include <stdio.h>

namespace quill {

namespace {

constexpr uint32_t kMagic = 0xC6D3D0C5u;
constexpr uint64_t kPreviewOffsetAt = 20;
constexpr uint64_t kPreviewLengthAt = 24;
constexpr uint32_t kSmallestPreview = 26;
constexpr size_t kCopyBytes = 64 * 1024;
constexpr size_t kPathBytes = kDirectoryBytes + 16;
const char kTemporaryName[] = "tiffile.tmp";
constexpr uint32_t kNameTries = 1000;

struct Preview {
    uint64_t offset;
    uint64_t length;
};

bool find_preview(InputFile &file, Preview &preview) {
    uint8_t b[28];
    if (!file.read(0, b, sizeof b) || get_u32le(b) != kMagic)
        return false;
    preview.offset = get_u32le(b + kPreviewOffsetAt);
    preview.length = get_u32le(b + kPreviewLengthAt);
    return preview.offset != 0 && preview.length >= kSmallestPreview && file.holds(preview.offset, preview.length);
}

// Name `k` of the temporary copy: "tiffile.tmp", then "tiffile-k.tmp".
bool temporary_path(uint32_t k, char *path, size_t capacity) {
    char name[32];
    if (k == 0)
        snprintf(name, sizeof name, "%s", kTemporaryName);
    else
        snprintf(name, sizeof name, "tiffile-%u.tmp", k);
    return pf_join_path(path, capacity, g_library.directory, name);
}

// Creates the copy under the first name that is free; false when none of
// kNameTries is, or when the directory refuses a new file for another
// reason than a name taken.
bool create_copy(OutputFile &out, char *path, size_t capacity) {
    bool retried = false;
    for (uint32_t k = 0; k < kNameTries;) {
        if (!temporary_path(k, path, capacity))
            return false;
        if (out.create(path, true))
            return true;
        if (pf_exists(path)) {
            ++k;
            retried = false;
        } else if (!retried) {
            retried = true; // its holder may have deleted it just now
        } else {
            return false;
        }
    }
    return false;
}

// Copies the preview into a new file, its path written to `path`; nothing
// is left there when the copy fails.
bool copy_preview(InputFile &file, const Preview &preview, char *path, size_t capacity) {
    HeapBlock<uint8_t> buffer(kCopyBytes);
    OutputFile out;
    if (!buffer || !create_copy(out, path, capacity))
        return false;
    for (uint64_t done = 0; done < preview.length;) {
        uint64_t left = preview.length - done;
        size_t n = left < kCopyBytes ? static_cast<size_t>(left) : kCopyBytes;
        if (!file.read(preview.offset + done, buffer.get(), n) || !out.write(buffer.get(), n))
            return false;
        done += n;
    }
    return out.commit();
}

} // namespace

int eps_operation(const char *name, int32_t operation, FileInfo &info) {
    if (operation != kOpGetInfo && operation != kOpLoad)
        return 0;
    char path[kPathBytes];
    bool copied;
    {
        InputFile file;
        Preview preview{};
        copied = file.open(name) && find_preview(file, preview) && copy_preview(file, preview, path, sizeof path);
    }
    if (!copied)
        return 0;
    int result = tiff_operation(path, operation, info);
    pf_delete(path);
    return result;
}

} // namespace quill
