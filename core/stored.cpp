// The raw encoder's entry, its switch on level, and stored blocks.
#include "stored.h"

#include <algorithm>
#include <cstring>

#include "stream.h"
#include "block_encoder.h"

namespace vek {

void emit_stored(DeflateStream& s, const uint8_t* in, int32_t len, int32_t more) {
    uint32_t left = uint32_t(len);
    do {
        const uint32_t chunk = std::min(left, max_stored_block);
        left -= chunk;
        // Only BlockBoundary means "no block open"; any other state gets the
        // end-of-block code, as the open block it stands for would need.
        if (s.state != StreamState::BlockBoundary) queue_end_of_block(s);
        const bool final_block = more == 0 && left == 0;
        s.state = final_block ? StreamState::Done : StreamState::BlockBoundary;
        queue_bits(s, final_block ? header_stored_final : header_stored, block_header_bits);
        if (s.first_alignment == nullptr) {
            s.first_alignment = s.out;
            s.bits_before_alignment = s.bit_count;
        }
        align_to_byte(s);
        store_le16(s.out, uint16_t(chunk));
        store_le16(s.out + 2, uint16_t(~chunk));
        if (chunk > 0) std::memcpy(s.out + 4, in, chunk);
        s.out += 4 + chunk;
        in += chunk;
    } while (left > 0);
}

int32_t encode_deflate(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                       int32_t more, MatchTable* table) {
    DeflateStream& s = *stream;
    s.out = out;
    s.first_alignment = nullptr;
    if (s.level == 1) {
        if (table != nullptr) {
            compress_block(s, *table, in, len, more);
        } else {
            MatchTable local;  // emptied by compress_block: bias 0
            local.bias = 0;
            compress_block(s, local, in, len, more);
        }
    } else if (len > 0) {
        emit_stored(s, in, len, more);
    }
    s.input_length += uint32_t(len);
    return int32_t(s.out - out);
}

}  // namespace vek
