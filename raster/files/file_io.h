/*
 * file_io.h - the files of the image formats: a bounded reader and a
 * buffered writer over the platform file layer, and byte-order helpers.
 *
 * Every image file is hostile input. An InputFile knows its length once
 * opened and refuses any read that would reach past it, so a reader that
 * checks each offset and length from a header against length() before it
 * allocates can never allocate without bound or read outside the file.
 *
 * An OutputFile appends through a 64 KB buffer (row-sized writes would
 * otherwise cost a system call each), can patch bytes already written, and
 * deletes the file unless commit() succeeds: a failed save leaves nothing.
 */
#ifndef QUILL_RASTER_FILES_FILE_IO_H
#define QUILL_RASTER_FILES_FILE_IO_H
#include "../../base/holder.h"
#include "../core/platform_file.h"

#include <stddef.h>
#include <stdint.h>

namespace quill {

class InputFile {
public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    // Opens an existing file for reading; false when it cannot be opened or
    // its length cannot be found.
    bool open(const char *path);
    void close();
    uint64_t length() const { return length_; }
    // True when n bytes at offset lie inside the file (no overflow).
    bool holds(uint64_t offset, uint64_t n) const { return offset <= length_ && n <= length_ - offset; }
    // Reads exactly n bytes at offset; false when they are not all inside
    // the file or the read fails.
    bool read(uint64_t offset, void *out, size_t n);

private:
    PlatformFile *file_ = nullptr;
    uint64_t length_ = 0;
};

class OutputFile {
public:
    OutputFile() = default;
    // Closes and deletes the file unless commit() succeeded.
    ~OutputFile() { abandon(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    // Creates the file (truncating an existing one; with `exclusive`,
    // failing when one exists, which is then left alone); false when it
    // cannot be created or memory runs out.
    bool create(const char *path, bool exclusive = false);
    // Appends n bytes; false when a write fails (the file is then doomed).
    bool write(const void *data, size_t n);
    bool write_u16(uint16_t value); // little-endian
    bool write_u32(uint32_t value); // little-endian
    // Overwrites n bytes at an offset already written.
    bool patch(uint64_t offset, const void *data, size_t n);
    // Bytes appended so far.
    uint64_t position() const { return position_; }
    // Writes what is buffered and closes the file; false (the file deleted)
    // when anything failed on the way.
    bool commit();
    // Closes and deletes the file now.
    void abandon();

private:
    bool flush();
    PlatformFile *file_ = nullptr;
    HeapBlock<uint8_t> buffer_;
    size_t buffered_ = 0;
    uint64_t flushed_ = 0;  // bytes already in the file
    uint64_t position_ = 0; // bytes appended
    bool failed_ = false;
    char path_[512] = {};
};

inline uint16_t get_u16le(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t get_u32le(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline uint16_t get_u16be(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t get_u32be(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}
inline void put_u16le(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32le(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// The extension of a file name: what follows its last "." when no "/",
// "\" or ":" follows that dot, upper-cased into `out` (room for `capacity`
// bytes); empty otherwise. False (out empty) when the name is null or
// longer than 255 characters.
bool file_extension(const char *name, char *out, size_t capacity);

} // namespace quill

#endif
