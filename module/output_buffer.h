// The output area of one compressobj: written from its first byte by every
// call, grown before a call to the most that call can write, never shrunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vek {

class OutputBuffer {
public:
    // Throws std::bad_alloc (MemoryError) and leaves the buffer as it was when
    // it cannot grow. Nothing in it is kept: each call writes from the start.
    void reserve(size_t needed) {
        if (reserved_ >= needed) return;
        bytes_ = std::make_unique_for_overwrite<uint8_t[]>(needed);
        reserved_ = needed;
    }

    uint8_t* data() { return bytes_.get(); }
    size_t reserved() const { return reserved_; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t reserved_ = 0;  // the largest size requested so far
};

}  // namespace vek
