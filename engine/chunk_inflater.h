// A raw DEFLATE inflater over zlib that can say where it stopped: whether
// the input it was given ended exactly at a block boundary, on a byte
// boundary, outside the final block. That is what proves a chunk of an
// indexed file: a fresh inflater that starts where the stream is at such a
// boundary and ends at one, having refused any match reaching before its
// start, decodes what a sequential reader decodes there. Python's zlib
// does not expose the state (zlib's data_type), hence this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vek {

class ChunkInflater {
public:
    enum class Status { more, stream_end, bad_data };
    struct Step {
        size_t consumed = 0;
        size_t produced = 0;
        Status status = Status::more;
    };

    // std::bad_alloc when zlib cannot have its state.
    ChunkInflater();
    ~ChunkInflater();
    ChunkInflater(const ChunkInflater&) = delete;
    ChunkInflater& operator=(const ChunkInflater&) = delete;

    // Inflates from `in` into `out` until either runs out or the stream
    // ends; after bad_data every later step is bad_data too.
    Step inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

    // Whether the last step left the decoder between blocks, with no bit of
    // its input unread, and not after the final block.
    bool at_byte_aligned_block_boundary() const;

    // zlib's words for bad data ("invalid distance too far back", ...).
    const std::string& error() const { return error_; }

private:
    // zlib's state, out of this header: zlib.h renames functions of other
    // libraries (crc32_combine) in every file that includes it.
    struct State;
    std::unique_ptr<State> state_;
    bool failed_ = false;
    bool ended_ = false;
    std::string error_;
};

}  // namespace vek
