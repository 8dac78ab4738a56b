/*
 * tiff_file.cpp - the TIFF format operation: get-info and load read the
 * first directory of a baseline TIFF file (tiff_read.cpp); save writes a
 * fixed single-strip layout (tiff_write.cpp).
 */
#include "tiff.h"

namespace quill {

int tiff_operation(const char *name, int32_t operation, FileInfo &info) {
    switch (operation) {
    case kOpGetInfo:
        return tiff_get_info(name, info);
    case kOpLoad:
        return tiff_load(name, info);
    case kOpSave:
        return tiff_save(name, info);
    default:
        return 0;
    }
}

} // namespace quill
