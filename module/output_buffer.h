// The output area of one compressobj: written from its first byte by every
// call, grown before a call to the most that call can write, never shrunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vek {

class OutputBuffer {
public:
    // A new object's buffer has room for 15 bytes, though none is reserved yet.
    static constexpr size_t initial_room = 15;

    OutputBuffer() : bytes_(std::make_unique_for_overwrite<uint8_t[]>(initial_room)) {}

    // Throws std::bad_alloc (MemoryError) and leaves the buffer as it was when
    // it cannot grow. Nothing in it is kept: each call writes from the start.
    void reserve(size_t needed) {
        if (reserved_ >= needed) return;
        // Below `needed` the capacity is the initial room or the last reservation.
        if (needed > initial_room) bytes_ = std::make_unique_for_overwrite<uint8_t[]>(needed);
        reserved_ = needed;
    }

    uint8_t* data() { return bytes_.get(); }
    size_t reserved() const { return reserved_; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t reserved_ = 0;  // the largest size requested so far
};

}  // namespace vek
