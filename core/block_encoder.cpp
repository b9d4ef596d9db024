#include "block_encoder.h"

#include <algorithm>
#include <bit>

#include "code_tables.h"
#include "stored.h"
#include "stream.h"

namespace vek {
namespace {

inline constexpr uint32_t match_table_bits = MatchTable::slot_bits;
inline constexpr uint32_t hash_multiplier = 0x8003F;
inline constexpr uint32_t wide_literal_first = 0x90;  // literals from here on cost 9 bits

// Each call's positions start this far past the previous call's end, so the
// distance test refuses every entry of an earlier call; an emptied (zero)
// table needs the same margin before the first position.
inline constexpr uint32_t bias_gap = max_distance + 1;

// Prepares the table for a call of `len` bytes and returns the value of
// position 0. The table is emptied only when it is new or the biased
// positions would run out of 32 bits.
uint32_t start_call(MatchTable& table, uint32_t len) {
    if (table.bias < bias_gap || table.bias > UINT32_MAX - len - bias_gap) {
        std::fill(std::begin(table.position), std::end(table.position), 0u);
        table.bias = bias_gap;
    }
    const uint32_t base = table.bias;
    table.bias = base + len + bias_gap;
    return base;
}

inline uint32_t hash_index(uint32_t word) {
    return (word * hash_multiplier) >> (32 - match_table_bits);
}

// Counts equal bytes of a and b, at most `limit`, eight at a time; the first
// differing byte is the XOR's trailing zero count over 8.
inline uint32_t count_equal(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t n = 0;
    for (; n + 8 <= limit; n += 8) {
        const uint64_t x = load_le64(a + n) ^ load_le64(b + n);
        if (x != 0) return n + uint32_t(std::countr_zero(x)) / 8;
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

    // Three literals (at most 27 bits) per append: the same bits in the same
    // order, with a third of the spill tests.
    void literals(const uint8_t* run, uint32_t length) {
        uint32_t i = 0;
        for (; i + 3 <= length; i += 3) {
            const uint32_t a = literal_codes[run[i]];
            const uint32_t b = literal_codes[run[i + 1]];
            const uint32_t c = literal_codes[run[i + 2]];
            const uint32_t na = a & 15, nb = b & 15, nc = c & 15;
            queue_bits(q, (a >> 4) | (b >> 4) << na | (c >> 4) << (na + nb), na + nb + nc);
        }
        for (; i < length; ++i) {
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

void compress_block(DeflateStream& s, MatchTable& table, const uint8_t* in, int32_t len,
                    int32_t more) {
    // A slot holds base + offset of the latest probe that hashed to it. The
    // four bytes there are read back from the input only once the distance
    // is within the window, which keeps the table to 32 KiB.
    const uint32_t base = start_call(table, uint32_t(len));
    BlockWriter w(s);
    uint32_t pos = 0;
    int32_t remaining = len;
    uint32_t run_length = 0;
    uint32_t wide_count = 0;

    while (remaining >= 4) {
        const uint32_t word = load_le32(in + pos);
        uint32_t& slot = table.position[hash_index(word)];
        const uint32_t candidate = slot;
        slot = base + pos;
        // The distance base + pos - candidate must be 1..32768.
        const uint32_t distance_index = base + pos - candidate - 1;
        if (distance_index < max_distance) {
            const uint32_t from = pos - 1 - distance_index;
            if (load_le32(in + from) == word) {
                const uint32_t limit = std::min(uint32_t(remaining), max_match_length);
                const uint32_t extension = count_equal(in + from + 4, in + pos + 4, limit - 4);
                const uint32_t length = 4 + extension;
                const uint32_t e_len = length_codes[length];
                const uint32_t e_dist = distance_codes[distance_index];
                // While the run is bound for a stored block, a 4- or 5-byte
                // match would only cut it; otherwise take the match when its
                // codes cost fewer bits than the literals it replaces.
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
