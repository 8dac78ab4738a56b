/*
 * platform_file.cpp - POSIX (and Windows CRT) files behind platform_file.h.
 *
 * Positioned reads and writes (pread/pwrite) are used rather than buffered
 * streams: the tile store reads a 4-byte header and then its record at known
 * offsets, and a swap-file write must fail at the call that made it so that
 * the tile it carried is the only one lost.
 */
#include "platform_file.h"

#include "../../base/holder.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>

#if defined(_WIN32)
#include <io.h>
#include <fcntl.h>
#define QUILL_PATH_SEPARATOR '\\'
#else
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#define QUILL_PATH_SEPARATOR '/'
#endif

namespace quill {

struct PlatformFile {
    int fd;
};

#if defined(QUILL_TEST_HOOKS)
namespace {
int64_t g_failAt[static_cast<int>(FileOp::Count)];
int64_t g_calls[static_cast<int>(FileOp::Count)];
int64_t g_open = 0;

bool op_fails(FileOp op) {
    int i = static_cast<int>(op);
    ++g_calls[i];
    if (g_failAt[i] > 0 && g_calls[i] == g_failAt[i]) {
        g_failAt[i] = 0;
        return true;
    }
    return false;
}
} // namespace
#define QUILL_OP_FAILS(op) op_fails(op)
#define QUILL_OPEN_COUNT(n) (g_open += (n))
#else
#define QUILL_OP_FAILS(op) false
#define QUILL_OPEN_COUNT(n) ((void)0)
#endif

namespace {
int open_flags(FileMode mode) {
    int binary = 0;
#if defined(_WIN32)
    binary = O_BINARY;
#endif
    switch (mode) {
    case FileMode::Read:
        return O_RDONLY | binary;
    case FileMode::ReadWrite:
        return O_RDWR | O_CREAT | O_TRUNC | binary;
    case FileMode::CreateExclusive:
        return O_RDWR | O_CREAT | O_EXCL | binary;
    case FileMode::Update:
        return O_RDWR | binary;
    }
    return O_RDONLY;
}

#if defined(_WIN32)
// The CRT has no positioned I/O; seek and transfer are one step for us since
// the library is single-threaded.
ssize_t pread(int fd, void *buf, size_t n, uint64_t off) {
    if (_lseeki64(fd, static_cast<__int64>(off), SEEK_SET) < 0)
        return -1;
    return _read(fd, buf, static_cast<unsigned>(n));
}
ssize_t pwrite(int fd, const void *buf, size_t n, uint64_t off) {
    if (_lseeki64(fd, static_cast<__int64>(off), SEEK_SET) < 0)
        return -1;
    return _write(fd, buf, static_cast<unsigned>(n));
}
#endif

// Moves all n bytes at offset with `transfer` (pread or pwrite), resuming
// after short or interrupted transfers; false on an error or at the end of
// the file.
template <typename Byte, typename Transfer>
bool transfer_fully(int fd, uint64_t offset, Byte *bytes, size_t n, Transfer transfer) {
    while (n > 0) {
        ssize_t done = transfer(fd, bytes, n, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        offset += static_cast<uint64_t>(done);
        n -= static_cast<size_t>(done);
    }
    return true;
}

bool read_fully(int fd, uint64_t offset, uint8_t *out, size_t n) {
    return transfer_fully(fd, offset, out, n, [](int f, uint8_t *b, size_t k, off_t o) { return pread(f, b, k, o); });
}

bool write_fully(int fd, uint64_t offset, const uint8_t *data, size_t n) {
    return transfer_fully(fd, offset, data, n,
                          [](int f, const uint8_t *b, size_t k, off_t o) { return pwrite(f, b, k, o); });
}
} // namespace

PlatformFile *pf_open(const char *path, FileMode mode) {
    if (!path || QUILL_OP_FAILS(FileOp::Open))
        return nullptr;
    HeapBlock<PlatformFile> file(1);
    if (!file)
        return nullptr;
    int fd;
    do {
        fd = open(path, open_flags(mode), 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    file[0].fd = fd;
    QUILL_OPEN_COUNT(1);
    return file.release();
}

bool pf_close(PlatformFile *file) {
    if (!file)
        return true;
    bool ok = close(file->fd) == 0;
    QUILL_OPEN_COUNT(-1);
    heap_release(file);
    return ok;
}

bool pf_read_at(PlatformFile *file, uint64_t offset, void *part1, size_t n1, void *part2, size_t n2) {
    if (QUILL_OP_FAILS(FileOp::Read))
        return false;
#if !defined(_WIN32)
    if (n1 > 0 && n2 > 0) {
        // Header and record in one request.
        struct iovec parts[2] = {{part1, n1}, {part2, n2}};
        ssize_t done = preadv(file->fd, parts, 2, static_cast<off_t>(offset));
        if (done == static_cast<ssize_t>(n1 + n2))
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        // Short or interrupted: read piece by piece below.
    }
#endif
    return read_fully(file->fd, offset, static_cast<uint8_t *>(part1), n1) &&
           read_fully(file->fd, offset + n1, static_cast<uint8_t *>(part2), n2);
}

bool pf_write_at(PlatformFile *file, uint64_t offset, const void *part1, size_t n1,
                 const void *part2, size_t n2) {
    if (QUILL_OP_FAILS(FileOp::Write))
        return false;
#if !defined(_WIN32)
    if (n1 > 0 && n2 > 0) {
        // One request for header and record: half the system calls.
        struct iovec parts[2] = {{const_cast<void *>(part1), n1},
                                 {const_cast<void *>(part2), n2}};
        ssize_t done = pwritev(file->fd, parts, 2, static_cast<off_t>(offset));
        if (done == static_cast<ssize_t>(n1 + n2))
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        // A short or interrupted write: finish piece by piece below.
    }
#endif
    return write_fully(file->fd, offset, static_cast<const uint8_t *>(part1), n1) &&
           write_fully(file->fd, offset + n1, static_cast<const uint8_t *>(part2), n2);
}

bool pf_set_length(PlatformFile *file, uint64_t length) {
    if (QUILL_OP_FAILS(FileOp::SetLength))
        return false;
#if defined(_WIN32)
    return _chsize_s(file->fd, static_cast<__int64>(length)) == 0;
#else
    return ftruncate(file->fd, static_cast<off_t>(length)) == 0;
#endif
}

int64_t pf_length(PlatformFile *file) {
    struct stat info;
    if (fstat(file->fd, &info) != 0)
        return -1;
    return static_cast<int64_t>(info.st_size);
}

bool pf_delete(const char *path) {
    if (QUILL_OP_FAILS(FileOp::Delete))
        return false;
    return unlink(path) == 0;
}

bool pf_rename(const char *from, const char *to) {
    if (!from || !to || QUILL_OP_FAILS(FileOp::Rename))
        return false;
#if defined(_WIN32)
    // The CRT's rename refuses an existing target; dropping the old file
    // first leaves a moment without one, which a reader takes as "no file".
    _unlink(to);
#endif
    return rename(from, to) == 0;
}

bool pf_exists(const char *path) {
    struct stat info;
    return stat(path, &info) == 0;
}

bool pf_join_path(char *out, size_t capacity, const char *dir, const char *name) {
    size_t dirLength = dir ? strlen(dir) : 0;
    size_t nameLength = strlen(name);
    bool needSeparator = dirLength > 0 && dir[dirLength - 1] != QUILL_PATH_SEPARATOR &&
                         dir[dirLength - 1] != '/';
    size_t total = dirLength + (needSeparator ? 1 : 0) + nameLength;
    if (total + 1 > capacity)
        return false;
    if (dirLength > 0)
        memcpy(out, dir, dirLength);
    size_t at = dirLength;
    if (needSeparator)
        out[at++] = QUILL_PATH_SEPARATOR;
    memcpy(out + at, name, nameLength + 1);
    return true;
}

} // namespace quill

#if defined(QUILL_TEST_HOOKS)
extern "C" void qi_test_fail_file_op(int op, int64_t nth) {
    for (int i = 0; i < static_cast<int>(quill::FileOp::Count); ++i) {
        quill::g_calls[i] = 0;
        if (i == op)
            quill::g_failAt[i] = nth;
    }
}
extern "C" int64_t qi_test_open_files(void) { return quill::g_open; }
#endif
