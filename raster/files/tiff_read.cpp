// Placeholder: replaced by the TIFF reader.
#include "tiff.h"
namespace quill {
int tiff_get_info(const char *, FileInfo &) { return 0; }
int tiff_load(const char *, const FileInfo &) { return 0; }
} // namespace quill
