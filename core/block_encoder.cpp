#include "block_encoder.h"

#include <algorithm>
#include <bit>

#include "code_tables.h"
#include "stored.h"
#include "stream.h"

namespace vek {
namespace {

inline constexpr uint32_t match_table_bits = 13;
inline constexpr uint32_t match_table_size = 1u << match_table_bits;
inline constexpr uint32_t hash_multiplier = 0x8003F;
inline constexpr uint32_t wide_literal_first = 0x90;  // literals from here on cost 9 bits

struct MatchEntry {
    uint32_t position;  // offset in this call's input of the last probe that hashed here
    uint32_t word;      // the four bytes at position, first byte lowest
};

// An empty entry lies 32769 bytes before the input, one past the window, so
// the distance test refuses it even for a word of four 0xFF bytes.
inline constexpr MatchEntry empty_entry = {uint32_t(-int32_t(max_distance) - 1), 0xFFFFFFFF};

inline uint32_t hash_index(uint32_t word) {
    return (word * hash_multiplier) >> (32 - match_table_bits);
}

// Counts equal bytes of a and b, at most `limit`, eight at a time; the first
// differing byte of a word pair is the XOR's trailing zero count over 8.
inline uint32_t count_equal(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    for (; n + 8 <= limit; n += 8) {
        const uint32_t x0 = load_le32(a + n) ^ load_le32(b + n);
        if (x0 != 0) return n + uint32_t(std::countr_zero(x0)) / 8;
        const uint32_t x1 = load_le32(a + n + 4) ^ load_le32(b + n + 4);
        if (x1 != 0) return n + 4 + uint32_t(std::countr_zero(x1)) / 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

inline bool is_wide(uint8_t byte) { return byte >= wide_literal_first; }

// The scan's view of the record: the queue and state live in locals so that
// the compiler keeps them in registers; stored flushes go through the record.
struct BlockWriter {
    DeflateStream& stream;
    BitQueue q;
    StreamState state;

    explicit BlockWriter(DeflateStream& s) : stream(s), q(BitQueue::of(s)), state(s.state) {}
    void store() {
        q.store_into(stream);
        stream.state = state;
    }

    void open_fixed_block_if_needed() {
        if (state == StreamState::BlockBoundary) {
            queue_bits(q, header_fixed, block_header_bits);
            state = StreamState::FixedBlock;
        }
    }

    void literals(const uint8_t* run, uint32_t length) {
        for (uint32_t i = 0; i < length; ++i) {
            const uint32_t e = literal_codes[run[i]];
            queue_bits(q, e >> 4, e & 15);
        }
    }

    void stored(const uint8_t* run, uint32_t length, int32_t more) {
        store();
        emit_stored(stream, run, int32_t(length), more);
        q = BitQueue::of(stream);
        state = stream.state;
    }

    // A pending run ahead of a match: stored when it holds too many 9-bit
    // literals, else literals in the open (or a new non-final) fixed block.
    void flush_run(const uint8_t* run, uint32_t length, uint32_t wide_count) {
        if (wide_count >= stored_run_wide_bytes) {
            stored(run, length, 1);
        } else {
            open_fixed_block_if_needed();
            literals(run, length);
        }
    }

    void match(uint32_t e_len, uint32_t e_dist) {
        open_fixed_block_if_needed();
        queue_bits(q, e_len & 0xFFFF, e_len >> 16);
        queue_bits(q, e_dist >> 5, e_dist & 31);
    }

    // The run at the end of the input. With more == 0 it closes the stream's
    // last block, so an open non-final block is ended and a final one begun.
    void final_run(const uint8_t* run, uint32_t length, uint32_t wide_count, int32_t more) {
        if (wide_count >= stored_run_wide_bytes) {
            stored(run, length, more);
            return;
        }
        if (state == StreamState::BlockBoundary) {
            queue_bits(q, more ? header_fixed : header_fixed_final, block_header_bits);
        } else if (!more) {
            queue_end_of_block(q);
            queue_bits(q, header_fixed_final, block_header_bits);
        }
        if (!more) {
            state = StreamState::LastFixedBlock;
        } else if (state == StreamState::BlockBoundary) {
            state = StreamState::FixedBlock;
        }
        literals(run, length);
    }
};

}  // namespace

void compress_block(DeflateStream& s, const uint8_t* in, int32_t len, int32_t more) {
    // Emptied at every call, so that no match can refer to an earlier call.
    MatchEntry table[match_table_size];
    std::fill(std::begin(table), std::end(table), empty_entry);

    BlockWriter w(s);
    uint32_t pos = 0;
    int32_t remaining = len;
    uint32_t run_length = 0;
    uint32_t wide_count = 0;

    while (remaining >= 4) {
        const uint32_t word = load_le32(in + pos);
        MatchEntry& entry = table[hash_index(word)];
        const MatchEntry candidate = entry;
        entry = {pos, word};
        // The distance pos - candidate is 1..32768; the words being equal
        // means the first four bytes match without reading the candidate.
        const uint32_t distance_index = pos - candidate.position - 1;
        if (candidate.word == word && distance_index < max_distance) {
            const uint32_t limit = std::min(uint32_t(remaining), max_match_length);
            const uint32_t extension =
                count_equal(in + candidate.position + 4, in + pos + 4, limit - 4);
            const uint32_t length = 4 + extension;
            const uint32_t e_len = length_codes[length];
            const uint32_t e_dist = distance_codes[distance_index];
            // While the run is bound for a stored block, a 4- or 5-byte match
            // would only cut it; otherwise take the match when its codes cost
            // fewer bits than the literals it replaces.
            const bool run_allows = wide_count < stored_run_wide_bytes || extension >= 2;
            if (run_allows && (e_len >> 16) + (e_dist & 31) + 8 < wide_count + 8 * length) {
                if (run_length > 0) w.flush_run(in + pos - run_length, run_length, wide_count);
                w.match(e_len, e_dist);
                pos += length;
                remaining -= int32_t(length);
                run_length = 0;
                wide_count = 0;
                continue;
            }
        }
        wide_count += is_wide(in[pos]);
        ++run_length;
        ++pos;
        --remaining;
    }

    // The last 0..3 bytes are never probed; they join the run.
    for (; remaining > 0; --remaining, ++pos, ++run_length) wide_count += is_wide(in[pos]);

    if (run_length > 0) w.final_run(in + pos - run_length, run_length, wide_count, more);
    w.store();
}

}  // namespace vek
