/*
 * packbits.cpp - PackBits decoding of TIFF strips (packbits.h).
 *
 * Every copy is checked against the input left: a hostile strip cannot make
 * the decoder read past its end, and every control byte either produces
 * output or consumes input, so a read ends within the strip's bytes.
 */
#include "packbits.h"

#include <string.h>

namespace quill {

void PackBitsDecoder::start(const uint8_t *data, size_t size) {
    data_ = data;
    size_ = size;
    position_ = 0;
    pending_ = 0;
    pendingCopy_ = false;
    runByte_ = 0;
}

bool PackBitsDecoder::read(uint8_t *out, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (pending_ == 0) {
            if (position_ >= size_)
                return false;
            uint8_t control = data_[position_++];
            if (control == 128)
                continue;
            if (control < 128) {
                pending_ = static_cast<size_t>(control) + 1;
                pendingCopy_ = true;
                if (pending_ > size_ - position_)
                    return false; // the copy runs past the strip
            } else {
                if (position_ >= size_)
                    return false;
                pending_ = 257 - static_cast<size_t>(control);
                pendingCopy_ = false;
                runByte_ = data_[position_++];
            }
        }
        size_t take = n - done < pending_ ? n - done : pending_;
        if (pendingCopy_) {
            memcpy(out + done, data_ + position_, take);
            position_ += take;
        } else {
            memset(out + done, runByte_, take);
        }
        done += take;
        pending_ -= take;
    }
    return true;
}

} // namespace quill
