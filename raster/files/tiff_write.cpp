// Placeholder: replaced by the TIFF writer.
#include "tiff.h"
namespace quill {
int tiff_save(const char *, const FileInfo &) { return 0; }
} // namespace quill
