#include "chunk_inflater.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

namespace vek {

namespace {

// zlib's data_type after inflate(): the bits it holds unread, plus 64
// while in the final block, plus 128 when it stopped between blocks, plus
// 256 inside a length or a stored copy. Exactly 128: between blocks,
// byte-aligned, not after the final one.
constexpr int between_blocks = 128;
constexpr int in_final_block = 64;

}  // namespace

struct ChunkInflater::State {
    z_stream stream{};
};

ChunkInflater::ChunkInflater() : state_(std::make_unique<State>()) {
    // -15: raw DEFLATE with the whole window, so that only a distance
    // reaching before the chunk's start is refused.
    if (inflateInit2(&state_->stream, -15) != Z_OK) throw std::bad_alloc();
}

ChunkInflater::~ChunkInflater() { inflateEnd(&state_->stream); }

ChunkInflater::Step ChunkInflater::inflate(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
    Step step;
    if (failed_) {
        step.status = Status::bad_data;
        return step;
    }
    if (ended_) {
        step.status = Status::stream_end;
        return step;
    }
    z_stream& stream = state_->stream;
    constexpr size_t most = std::numeric_limits<uInt>::max();
    // Z_BLOCK: zlib stops at each block's end, where data_type tells the
    // boundary as documented. It stops there also after the final block,
    // and goes no further under Z_BLOCK: then a plain call ends the stream.
    int flush = Z_BLOCK;
    while (true) {
        const size_t give_in = std::min(in_size - step.consumed, most);
        const size_t give_out = std::min(out_size - step.produced, most);
        stream.next_in = const_cast<Bytef*>(in + step.consumed);
        stream.avail_in = uInt(give_in);
        stream.next_out = out + step.produced;
        stream.avail_out = uInt(give_out);
        const int result = ::inflate(&stream, flush);
        step.consumed += give_in - stream.avail_in;
        step.produced += give_out - stream.avail_out;
        if (result == Z_STREAM_END) {
            ended_ = true;
            step.status = Status::stream_end;
            return step;
        }
        if (result == Z_DATA_ERROR || result == Z_NEED_DICT || result == Z_STREAM_ERROR) {
            failed_ = true;
            error_ = stream.msg != nullptr ? stream.msg : "invalid DEFLATE data";
            step.status = Status::bad_data;
            return step;
        }
        if (result == Z_MEM_ERROR) throw std::bad_alloc();
        if (flush == Z_BLOCK && (stream.data_type & (between_blocks | in_final_block)) == (between_blocks | in_final_block)) {
            flush = Z_NO_FLUSH;
            continue;
        }
        // Z_OK or Z_BUF_ERROR (no progress possible): go on while both
        // sides have room and the last call moved something.
        const bool moved = give_in != stream.avail_in || give_out != stream.avail_out;
        if (step.consumed == in_size || step.produced == out_size || !moved) return step;
    }
}

bool ChunkInflater::at_byte_aligned_block_boundary() const {
    return !failed_ && !ended_ && state_->stream.data_type == between_blocks;
}

}  // namespace vek
