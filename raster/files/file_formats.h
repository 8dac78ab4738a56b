/*
 * file_formats.h - the formats behind QI_FrameFileLoad, QI_FrameFileSave and
 * QI_FrameFileGetInfo, as the dispatch in frame_file.cpp sees them.
 *
 * An image format is one operation taking the file name, what to do and the
 * info record. Get-info fills the record; load runs while a load transfer is
 * set up (line_transfer.h) and hands its rows to QI_FrameFile_LoadLine; save
 * runs while a save transfer is set up, with the record describing the frame,
 * and takes its rows from QI_FrameFile_SaveLine. Each format opens and closes
 * its file itself; a save that fails deletes the file it wrote.
 * Every operation returns 1 on success and 0 on failure.
 *
 * The library's tile files ("YX") are not an image format: they copy a
 * frame's coded tiles as they are, so they have their own entry points.
 */
#ifndef QUILL_RASTER_FILES_FILE_FORMATS_H
#define QUILL_RASTER_FILES_FILE_FORMATS_H
#include <stdint.h>

namespace quill {

// Image kinds of files. Kind 3 (palette indices) exists only in files and
// in the line protocol; frames hold kinds 1, 2 and 4.
enum ImageKind : int32_t {
    kImageNone = 0,
    kImageBilevel = 1,
    kImageGrey = 2,
    kImagePalette = 3,
    kImageColour = 4,
};

// Width, height and image kind of a file.
struct FileInfo {
    int32_t width;
    int32_t height;
    int32_t kind;
};

enum FileOperation : int32_t {
    kOpGetInfo = 1,
    kOpLoad = 2,
    kOpSave = 3,
};

// Largest width and height a file may give: rows cross the line protocol
// and the bilevel run lists in 16-bit coordinates.
constexpr int32_t kMaxFileSide = 65536;

// A palette record: n - 1, then n entries of four bytes.
constexpr uint32_t kPaletteRecordBytes = 1 + 256 * 4;

int tiff_operation(const char *name, int32_t operation, FileInfo &info);
int pcx_operation(const char *name, int32_t operation, FileInfo &info);
// Get-info and load of the TIFF preview of an encapsulated PostScript file.
int eps_operation(const char *name, int32_t operation, FileInfo &info);
// Get-info and load of raw bilevel rows ("_PA") with their ".bvl" header.
int raw_rows_operation(const char *name, int32_t operation, FileInfo &info);

// The library's tile files.
int yx_get_info(const char *name, FileInfo &info);
int32_t yx_load(const char *name, int32_t storage);
int yx_save(int32_t frame, const char *name);

} // namespace quill

#endif
