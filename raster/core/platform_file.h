/*
 * platform_file.h - everything of the operating system that quillimg touches.
 *
 * Files are opened by path and read and written at explicit offsets, so no
 * caller depends on a hidden file position and a failed write is reported by
 * the call that made it (nothing lingers in a user-space buffer to fail later
 * at close). Test builds can make the n-th call of a kind fail on purpose.
 */
#ifndef QUILL_RASTER_CORE_PLATFORM_FILE_H
#define QUILL_RASTER_CORE_PLATFORM_FILE_H

#include <stddef.h>
#include <stdint.h>

namespace quill {

struct PlatformFile; // opaque; one open file

enum class FileMode {
    Read,            // existing file, reading only
    ReadWrite,       // created or truncated, reading and writing
    CreateExclusive, // created new for reading and writing; fails if it exists
    Update,          // existing file, reading and writing
};

enum class FileOp { Open, Read, Write, SetLength, Delete, Rename, Count };

PlatformFile *pf_open(const char *path, FileMode mode);
// Closes the file; false when the system reports an error on closing.
bool pf_close(PlatformFile *file);
// Reads exactly n1 bytes into part1 and then n2 bytes into part2 at offset,
// in one request where the system allows; false on error or short read.
bool pf_read_at(PlatformFile *file, uint64_t offset, void *part1, size_t n1, void *part2 = nullptr,
                size_t n2 = 0);
// Writes the n1 bytes of part1 then the n2 bytes of part2 at offset, in one
// request where the system allows; false unless all bytes were written.
bool pf_write_at(PlatformFile *file, uint64_t offset, const void *part1, size_t n1,
                 const void *part2 = nullptr, size_t n2 = 0);
// Sets the length of an open file.
bool pf_set_length(PlatformFile *file, uint64_t length);
// Length of an open file, or -1.
int64_t pf_length(PlatformFile *file);
bool pf_delete(const char *path);
// Renames a closed file, replacing any file of the new name in one step
// where the system allows (a reader sees the old file or the new one, never
// a part of either).
bool pf_rename(const char *from, const char *to);
bool pf_exists(const char *path);

// Joins a directory and a file name with the platform's separator. An empty
// directory gives the bare name (the current directory). False when the
// result would not fit into `capacity` bytes.
bool pf_join_path(char *out, size_t capacity, const char *dir, const char *name);

} // namespace quill

#if defined(QUILL_TEST_HOOKS)
extern "C" {
// Makes the n-th call of `op` (a quill::FileOp value) from now on fail;
// 0 switches it off. All counters restart.
void qi_test_fail_file_op(int op, int64_t nth);
// Files currently open through the platform layer.
int64_t qi_test_open_files(void);
}
#endif

#endif
