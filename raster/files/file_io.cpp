/*
 * file_io.cpp - bounded input files, buffered output files, extensions.
 */
#include "file_io.h"

#include <string.h>

namespace quill {

namespace {
constexpr size_t kOutputBuffer = 64 * 1024;
constexpr size_t kLongestName = 255;
} // namespace

bool InputFile::open(const char *path) {
    close();
    if (!path)
        return false;
    file_ = pf_open(path, FileMode::Read);
    if (!file_)
        return false;
    int64_t length = pf_length(file_);
    if (length < 0) {
        close();
        return false;
    }
    length_ = static_cast<uint64_t>(length);
    return true;
}

void InputFile::close() {
    if (file_)
        pf_close(file_);
    file_ = nullptr;
    length_ = 0;
}

bool InputFile::read(uint64_t offset, void *out, size_t n) {
    if (!file_ || !holds(offset, n))
        return false;
    if (n == 0)
        return true;
    return pf_read_at(file_, offset, out, n);
}

bool OutputFile::create(const char *path, bool exclusive) {
    abandon();
    if (!path || strlen(path) >= sizeof path_)
        return false;
    if (!buffer_.allocate(kOutputBuffer))
        return false;
    file_ = pf_open(path, exclusive ? FileMode::CreateExclusive : FileMode::ReadWrite);
    if (!file_)
        return false;
    strcpy(path_, path);
    buffered_ = 0;
    flushed_ = position_ = 0;
    failed_ = false;
    return true;
}

bool OutputFile::flush() {
    if (buffered_ == 0)
        return !failed_;
    if (!failed_ && !pf_write_at(file_, flushed_, buffer_.get(), buffered_))
        failed_ = true;
    flushed_ += buffered_;
    buffered_ = 0;
    return !failed_;
}

bool OutputFile::write(const void *data, size_t n) {
    if (!file_ || failed_)
        return false;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    position_ += n;
    while (n > 0) {
        if (buffered_ == kOutputBuffer && !flush())
            return false;
        size_t take = kOutputBuffer - buffered_;
        if (take > n)
            take = n;
        memcpy(buffer_.get() + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        n -= take;
    }
    return true;
}

bool OutputFile::write_u16(uint16_t value) {
    uint8_t b[2];
    put_u16le(b, value);
    return write(b, 2);
}

bool OutputFile::write_u32(uint32_t value) {
    uint8_t b[4];
    put_u32le(b, value);
    return write(b, 4);
}

bool OutputFile::patch(uint64_t offset, const void *data, size_t n) {
    if (!file_ || failed_ || offset > position_ || n > position_ - offset)
        return false;
    if (!flush())
        return false;
    if (!pf_write_at(file_, offset, data, n))
        failed_ = true;
    return !failed_;
}

bool OutputFile::commit() {
    if (!file_)
        return false;
    bool ok = flush();
    ok = pf_close(file_) && ok;
    file_ = nullptr;
    buffer_.reset();
    if (!ok)
        pf_delete(path_);
    return ok;
}

void OutputFile::abandon() {
    if (!file_)
        return;
    pf_close(file_);
    file_ = nullptr;
    pf_delete(path_);
    buffer_.reset();
}

bool file_extension(const char *name, char *out, size_t capacity) {
    if (capacity == 0)
        return false;
    out[0] = 0;
    if (!name || strlen(name) > kLongestName)
        return false;
    const char *dot = strrchr(name, '.');
    if (!dot || strpbrk(dot, "\\/:"))
        return true;
    size_t n = strlen(dot + 1);
    if (n >= capacity)
        return true; // longer than any known extension: unrecognised
    for (size_t i = 0; i <= n; ++i) {
        char c = dot[1 + i];
        out[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return true;
}

} // namespace quill
