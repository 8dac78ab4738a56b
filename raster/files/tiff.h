/*
 * tiff.h - the TIFF reader (tiff_read.cpp) and writer (tiff_write.cpp)
 * behind tiff_operation (tiff_file.cpp).
 */
#ifndef QUILL_RASTER_FILES_TIFF_H
#define QUILL_RASTER_FILES_TIFF_H
#include "file_formats.h"

namespace quill {

// Fills `info` from the first directory of a TIFF file; 1 or 0.
int tiff_get_info(const char *name, FileInfo &info);
// Loads the first image of a TIFF file through the line protocol; 1 or 0.
int tiff_load(const char *name, const FileInfo &info);
// Writes the image of the save transfer described by `info`; 1 or 0 (the
// file then deleted).
int tiff_save(const char *name, const FileInfo &info);

} // namespace quill

#endif
