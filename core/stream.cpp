// Raw DEFLATE stream: initialisation and the finish that closes the last block.
#include "stream.h"
#include "vek_core.h"

namespace vek {

// Rewrites the level and format bits together with the other fields that a
// new stream starts from; `out` has no meaning between calls and is left alone.
void reset_stream(DeflateStream& s, int32_t level, StreamFormat format, StreamState state,
                  uint32_t checksum) {
    s.bit_queue = 0;
    s.bit_count = 0;
    s.state = state;
    s.level = uint8_t(level & 1);
    s.format = format;
    s.checksum = checksum;
    s.input_length = 0;
}

int32_t init_deflate(DeflateStream* stream, int32_t level) {
    reset_stream(*stream, level, format_deflate, StreamState::BlockBoundary, 0);
    return 0;
}

int32_t finish_deflate(DeflateStream* stream, uint8_t* out) {
    DeflateStream& s = *stream;
    s.out = out;
    if (s.state == StreamState::FixedBlock || s.state == StreamState::LastFixedBlock) {
        queue_end_of_block(s);
        s.state = s.state == StreamState::LastFixedBlock ? StreamState::Done
                                                         : StreamState::BlockBoundary;
    }
    if (s.state != StreamState::Done) {
        // An empty final fixed block, so that every stream ends with BFINAL set.
        queue_bits(s, header_fixed_final, block_header_bits);
        queue_end_of_block(s);
        s.state = StreamState::Done;
    }
    align_to_byte(s);
    return int32_t(s.out - out);
}

}  // namespace vek
