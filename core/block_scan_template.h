// The level-1 scan, written once and instantiated per instruction set: a
// Scan over a miss probe, which tells how many positions from the current one
// find nothing in the table, several at a time. Every instantiation writes
// the bytes of the scalar one (ScalarMisses, which probes nothing ahead and
// leaves every position to the scalar loop, the reference and the fallback).
// Included only by block_encoder*.cpp, each of which compiles the whole scan
// for its instruction set; everything here has internal linkage, so that no
// copy compiled for one set can stand in for another's.
#pragma once

#include <algorithm>
#include <bit>

#include "block_encoder.h"
#include "code_tables.h"
#include "stored.h"
#include "stream.h"

namespace vek::block_scan {
namespace {

inline constexpr uint32_t match_table_bits = MatchTable::slot_bits;
inline constexpr uint32_t hash_multiplier = 0x8003F;

// Each call's positions start this far past the previous call's end, so the
// distance test refuses every entry of an earlier call; an emptied (zero)
// table needs the same margin before the first position.
inline constexpr uint32_t bias_gap = max_distance + 1;

// Prepares the table for a call of `len` bytes and returns the value of
// position 0. The table is emptied only when it is new or the biased
// positions would run out of 32 bits.
inline uint32_t start_call(MatchTable& table, uint32_t len) {
    if (table.bias < bias_gap || table.bias > UINT32_MAX - len - bias_gap) {
        std::fill(std::begin(table.entry), std::end(table.entry), MatchTable::Entry{0, 0});
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

// Hides a value from the optimiser, which would otherwise split a test
// written as one branch back into the two it combines.
inline uint32_t opaque(uint32_t value) {
    asm("" : "+r"(value));
    return value;
}

// The window is a power of two, so a distance index outside it is one with
// a bit above the window's set: a mask tests it (one andn with BMI), where
// a comparison costs a compare, a set and a zeroing.
inline constexpr uint32_t outside_window = ~(max_distance - 1);
static_assert(std::has_single_bit(max_distance));

// A probe finds a candidate when its distance index lies in the window and
// the first four bytes agree: one branch for both.
inline bool finds_candidate(uint32_t distance_index, uint64_t diff) {
    return (opaque(distance_index & outside_window) | uint32_t(diff)) == 0;
}

// The scan's bit writer keeps fewer than 8 bits between codes: a flush
// stores eight bytes and steps over the whole ones, with no branch. The
// record's writer spills 32 bits at a time instead; the call hands back
// exactly what that writer would keep pending (see hand_back).
struct ByteWriter {
    uint64_t queue;  // bits >= count are zero
    uint32_t count;  // below 8 after a flush; at most 7 + 36 (four literals) before one
    uint8_t* out;

    void put(uint32_t bits, uint32_t n) {
        queue |= uint64_t(bits) << count;
        count += n;
    }
    void flush() {
        store_le64(out, queue);
        out += count >> 3;
        queue >>= count & 56;
        count &= 7;
    }
};

// How a literal of the pending run is written.
enum class RunMode : uint8_t {
    Direct,    // at once, into the open fixed block
    Header,    // at once, after opening a fixed block (none is open)
    Counting,  // not at all: the run holds 52 wide bytes and will go out stored
};

// Where the pending run began, for the rare paths that rewrite it.
struct RunStart {
    ByteWriter writer;
    StreamState state;
    const uint8_t* at;
};

// literal_codes laid out for four literals at a time: the length in the low
// six bits, the code above. A sum of entries then holds the sum of their
// lengths in its low six bits, which are all that a 64-bit shift reads of
// its count: the codes' offsets need no masking.
inline constexpr uint32_t literal_code_shift = 6;
inline constexpr std::array<uint32_t, 256> literal_entries = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte)
        table[byte] = uint32_t(literal_codes[byte] >> 4) << literal_code_shift | (literal_codes[byte] & 15);
    return table;
}();
// Four lengths of at most 9 never carry out of the six bits.
static_assert(4 * 9 < 1u << literal_code_shift);
static_assert(literal_entries[0] == (0x0C << 6 | 8) && literal_entries[255] == (0x1FF << 6 | 9));

#define VEK_HOT [[gnu::always_inline]] inline

// The probe of the scalar scan: nothing ahead.
struct ScalarMisses {
    static constexpr uint32_t lanes = 1;
};

// A batched probe has `lanes` > 1 and a static
//   uint32_t count(const void* slots, const uint8_t* p, uint32_t here, uint32_t* slot_of)
// that tells how many positions from p on (0 to lanes) find nothing, each
// judged on the table as the scalar probes before it would have left it,
// and stores each position's slot index in slot_of. `here` is p's value in
// the table's numbering. It reads up to probe_read_span bytes from p.
inline constexpr uint32_t probe_read_span = 32;

// Batches are tried only inside a run of literals, from this many on.
inline constexpr uint32_t probe_after_literals = 8;

// One compressing call. Literals are written as they are met rather than
// when the run ends, so a match costs no loop over its run. A run is known
// to go out stored only once its 52nd wide byte is met; the writer then
// goes back to where the run began and the rest of the run is only counted.
// The scan walks a pointer, and a slot's value is the pointer's low 32 bits
// plus a per-call offset, so that few values stay live in the loop.
template <class Misses>
class Scan {
public:
    Scan(DeflateStream& s, MatchTable& table, const uint8_t* in, uint32_t len)
        : stream_(s), slots_(table.entry), in_(in), in_end_(in + len),
          slot_offset_(start_call(table, len) - uint32_t(reinterpret_cast<uintptr_t>(in))),
          w_{s.bit_queue, s.bit_count, s.out}, state_(s.state), grid_(s.out), p_(in) {
        w_.flush();
        mode_ = state_ == StreamState::BlockBoundary ? RunMode::Header : RunMode::Direct;
        mark_run_start();
    }

    VEK_HOT void run(int32_t more) {
        const size_t len = size_t(in_end_ - in_);
        // Eight bytes are read at every probe while that stays inside the
        // input; the last positions that still hold a word take the careful path.
        scan<false>(len >= 8 ? in_end_ - 7 : in_);
        scan<true>(len >= 4 ? in_end_ - 3 : in_);
        // The last 0..3 bytes are never probed; they join the run.
        while (p_ < in_end_) literal();
        end_run(more);
        hand_back();
    }

private:
    // Probes every position before `end` that no match covers.
    template <bool near_end>
    VEK_HOT void scan(const uint8_t* end) {
        while (p_ < end) {
            if constexpr (!near_end && Misses::lanes > 1) {
                if (uint32_t(p_ - run_start_.at) >= probe_after_literals && in_end_ - p_ >= probe_read_span) {
                    if (skip_misses()) continue;
                }
            }
            if constexpr (!near_end && Misses::lanes == 1) {
                if (mode_ == RunMode::Direct && end - p_ >= group) [[likely]] {
                    direct_rounds(end);
                    continue;
                }
            }
            const uint64_t ahead = near_end ? load_le32(p_) : load_le64(p_);
            const uint32_t word = uint32_t(ahead);
            MatchTable::Entry& slot = slots_[hash_index(word)];
            const uint32_t here = uint32_t(reinterpret_cast<uintptr_t>(p_)) + slot_offset_;
            // The distance here - candidate must be 1..32768.
            const uint32_t distance_index = here - slot.position - 1;
            const uint64_t diff = slot.bytes ^ ahead;
            slot = {here, ahead};
            if (finds_candidate(distance_index, diff)) [[unlikely]] {
                const uint8_t* from = p_ - distance_index - 1;
                if (near_end) {
                    const uint32_t length = 4 + count_equal(from + 4, p_ + 4, uint32_t(in_end_ - p_) - 4);
                    if (take_match(length, distance_index)) continue;
                } else {
                    if (take_match(match_length(from, diff), distance_index)) continue;
                }
            }
            literal();
        }
    }

    // Four positions probed in order, as the loop below would probe them;
    // when all four find nothing their literals go out with one flush.
    static constexpr uint32_t group = 4;

    // Probes the position at `at` (eight bytes readable there), writing its
    // slot; true when the word there and the distance allow a match, whose
    // distance index and XOR of eight bytes it leaves behind.
    VEK_HOT bool probe(const uint8_t* at, uint32_t& distance_index, uint64_t& diff) {
        const uint64_t ahead = load_le64(at);
        MatchTable::Entry& slot = slots_[hash_index(uint32_t(ahead))];
        const uint32_t here = uint32_t(reinterpret_cast<uintptr_t>(at)) + slot_offset_;
        distance_index = here - slot.position - 1;
        diff = slot.bytes ^ ahead;
        slot = {here, ahead};
        return finds_candidate(distance_index, diff);
    }

    // A probe whose loads are issued ahead of the work before it: the eight
    // bytes at its position, its slot and the entry there.
    struct Ahead {
        uint64_t bytes;
        MatchTable::Entry* slot;
        uint32_t position;
        uint64_t entry_bytes;
    };

    VEK_HOT Ahead load_ahead(const uint8_t* at) const {
        const uint64_t bytes = load_le64(at);
        MatchTable::Entry* slot = &slots_[hash_index(uint32_t(bytes))];
        return {bytes, slot, slot->position, slot->bytes};
    }

    // More often than not the probe right after a match finds one too. The
    // end of that match, if it is short, is known as soon as the entry is
    // in, before the branch on it resolves (mispredicted as often as not):
    // fetching the slot there then overlaps the refill after that branch.
    // Reads at most 11 bytes from `at`; changes nothing.
    VEK_HOT void fetch_slot_past_match(const Ahead& a, const uint8_t* at) const {
        const uint64_t diff = (a.entry_bytes ^ a.bytes) | uint64_t(1) << 63;
        const uint32_t short_length = uint32_t(__builtin_ctzll(diff)) / 8;
        __builtin_prefetch(&slots_[hash_index(load_le32(at + short_length))]);
    }

    // Completes the probe of p from its loads: the same test as probe().
    VEK_HOT bool resolve(const Ahead& a, uint32_t& distance_index, uint64_t& diff) {
        const uint32_t here = uint32_t(reinterpret_cast<uintptr_t>(p_)) + slot_offset_;
        distance_index = here - a.position - 1;
        diff = a.entry_bytes ^ a.bytes;
        *a.slot = {here, a.bytes};
        return finds_candidate(distance_index, diff);
    }

    // Rounds of `group` positions in an open block with the run written as
    // it goes, while at least `group` positions remain before `end`. The
    // first probe of each round is loaded as soon as its position is known,
    // ahead of the codes still to write for the match before it; nothing
    // between writes a slot, so it reads what the probe in place would read.
    VEK_HOT void direct_rounds(const uint8_t* end) {
        // The last position a round may start at (the caller made sure of
        // one): one comparison a round instead of a subtraction and one.
        const uint8_t* const last_start = end - group;
        Ahead next = load_ahead(p_);
        for (;;) {
            uint32_t distance_index;
            uint64_t diff;
            uint32_t misses = 0;
            if (!resolve(next, distance_index, diff)) [[likely]] {
                misses = 1;
                if (!probe(p_ + 1, distance_index, diff)) [[likely]] {
                    misses = 2;
                    if (!probe(p_ + 2, distance_index, diff)) [[likely]] {
                        misses = 3;
                        if (!probe(p_ + 3, distance_index, diff)) [[likely]] {
                            write_four_literals();
                            if (mode_ != RunMode::Direct || p_ > last_start) [[unlikely]] return;
                            next = load_ahead(p_);
                            continue;
                        }
                    }
                }
            }
            for (uint32_t i = 0; i < misses; ++i) literal();
            const uint8_t* from = p_ - distance_index - 1;
            const uint32_t length = match_length(from, diff);
            if (accept_match(length, distance_index)) {
                const uint8_t* after = p_ + length;
                if (after > last_start) {
                    write_match(length, distance_index);
                    return;
                }
                next = load_ahead(after);
                fetch_slot_past_match(next, after);
                write_match(length, distance_index);
                continue;
            }
            literal();
            if (mode_ != RunMode::Direct || p_ > last_start) return;
            next = load_ahead(p_);
        }
    }

    // The literals of p .. p + 3 in one put: at most 36 bits onto fewer than 8.
    // A run that reaches its 52nd wide byte among them is rewound as literal()
    // would have rewound it there; the literals after that one only counted.
    VEK_HOT void write_four_literals() {
        const uint64_t e0 = literal_entries[p_[0]], e1 = literal_entries[p_[1]];
        const uint64_t e2 = literal_entries[p_[2]], e3 = literal_entries[p_[3]];
        const uint64_t at1 = e0, at2 = at1 + e1, at3 = at2 + e2;
        const uint32_t n3 = uint32_t(at3 + e3) & 63;
        const uint64_t bits = e0 >> literal_code_shift | (e1 >> literal_code_shift) << (at1 & 63) |
                              (e2 >> literal_code_shift) << (at2 & 63) | (e3 >> literal_code_shift) << (at3 & 63);
        w_.queue |= bits << w_.count;
        w_.count += n3;
        w_.flush();
        p_ += group;
        wide_count_ += n3 - 8 * group;
        if (wide_count_ >= stored_run_wide_bytes) [[unlikely]] begin_stored_run();
    }

    // Positions that find nothing, several at a time: their slots written in
    // order, as the scalar probes write them, and each taken as a literal.
    // False when the first position finds something (the scalar probe then
    // decides whether to take it).
    VEK_HOT bool skip_misses() {
        uint32_t slot_of[Misses::lanes];
        const uint32_t here = uint32_t(reinterpret_cast<uintptr_t>(p_)) + slot_offset_;
        const uint32_t misses = Misses::count(slots_, p_, here, slot_of);
        for (uint32_t i = 0; i < misses; ++i) {
            slots_[slot_of[i]] = {here + i, load_le64(p_)};
            literal();
        }
        return misses > 0;
    }

    // The length of the match at `from` (4 to 258 bytes), given the XOR of
    // the eight bytes there and at p: the first differing byte is the XOR's
    // trailing zero count over 8, so most matches need no loop.
    VEK_HOT uint32_t match_length(const uint8_t* from, uint64_t diff) const {
        // The limit matters only past the first eight bytes.
        if (diff != 0) return uint32_t(std::countr_zero(diff)) / 8;
        const uint32_t limit = uint32_t(std::min<size_t>(size_t(in_end_ - p_), max_match_length));
        uint32_t n = 0;
        while (diff == 0) {
            n += 8;
            if (n + 8 > limit) return n + count_equal(from + n, p_ + n, limit - n);
            diff = load_le64(from + n) ^ load_le64(p_ + n);
        }
        return n + uint32_t(std::countr_zero(diff)) / 8;
    }

    // Takes the match when the acceptance rules allow it: while the run is
    // bound for a stored block, a 4- or 5-byte match would only cut it;
    // otherwise it is taken when its codes cost fewer bits than the literals
    // it replaces.
    VEK_HOT bool take_match(uint32_t length, uint32_t distance_index) {
        if (!accept_match(length, distance_index)) return false;
        write_match(length, distance_index);
        return true;
    }

    // The rules of take_match, and the stored run or block header that
    // must go before the match's codes.
    VEK_HOT bool accept_match(uint32_t length, uint32_t distance_index) {
        if (!match_pays_off(length, distance_index, wide_count_)) return false;
        if (mode_ != RunMode::Direct) [[unlikely]] {
            if (mode_ == RunMode::Counting) {
                if (length < 6) return false;
                emit_run_stored(1);
            }
            open_fixed_block();
        }
        return true;
    }

    VEK_HOT void write_match(uint32_t length, uint32_t distance_index) {
        const uint32_t e_len = length_codes[length];
        const uint32_t e_dist = distance_codes[distance_index];
        w_.put(e_len & 0xFFFF, e_len >> 16);
        w_.put(e_dist >> 5, e_dist & 31);
        w_.flush();
        p_ += length;
        wide_count_ = 0;
        mode_ = RunMode::Direct;
        mark_run_start();
    }

    VEK_HOT void literal() {
        const uint32_t e = literal_codes[*p_++];
        wide_count_ += (e & 15) - 8;  // 9-bit codes are the wide bytes
        if (mode_ == RunMode::Direct) [[likely]] {
            write_literal(e);
            if (wide_count_ >= stored_run_wide_bytes) [[unlikely]] begin_stored_run();
        } else if (mode_ == RunMode::Header) {
            open_fixed_block();
            mode_ = RunMode::Direct;
            write_literal(e);
        }
    }

    // `e` is the byte's literal_codes entry.
    VEK_HOT void write_literal(uint32_t e) {
        w_.put(e >> 4, e & 15);
        w_.flush();
    }

    // Only BlockBoundary means "no block open"; any other state continues
    // the block it stands for.
    VEK_HOT void open_fixed_block() {
        if (state_ != StreamState::BlockBoundary) return;
        w_.put(header_fixed, block_header_bits);
        state_ = StreamState::FixedBlock;
    }

    VEK_HOT void mark_run_start() { run_start_ = {w_, state_, p_}; }

    VEK_HOT void rewind_to_run_start() {
        w_ = run_start_.writer;
        state_ = run_start_.state;
    }

    VEK_HOT void begin_stored_run() {
        rewind_to_run_start();
        mode_ = RunMode::Counting;
    }

    // The run goes through the record's own writer as stored blocks.
    VEK_HOT void emit_run_stored(int32_t more) {
        stream_.bit_queue = w_.queue;
        stream_.bit_count = w_.count;
        stream_.out = w_.out;
        stream_.state = state_;
        emit_stored(stream_, run_start_.at, int32_t(p_ - run_start_.at), more);
        w_ = {stream_.bit_queue, stream_.bit_count, stream_.out};
        state_ = stream_.state;
        grid_ = stream_.out;  // emit_stored ends byte-aligned with nothing pending
    }

    // The run at the end of the input. Its literals are already written into
    // the open block unless it is stored; with more == 0 it must close the
    // stream's last block instead, so it is written again after ending the
    // open non-final block and opening a final one.
    VEK_HOT void end_run(int32_t more) {
        if (p_ == run_start_.at) return;
        if (mode_ == RunMode::Counting) {
            emit_run_stored(more);
            return;
        }
        if (more) return;
        rewind_to_run_start();
        if (state_ != StreamState::BlockBoundary) w_.put(0, end_of_block_bits);
        w_.put(header_fixed_final, block_header_bits);
        w_.flush();
        state_ = StreamState::LastFixedBlock;
        for (const uint8_t* at = run_start_.at; at < in_end_; ++at) write_literal(literal_codes[*at]);
    }

    // The record's writer spills 32 bits at a time from the last byte
    // alignment (the call's start, or the end of a stored block), so the
    // bytes written past the last whole 32 bits go back into the queue.
    VEK_HOT void hand_back() {
        const uint32_t spare = uint32_t(w_.out - grid_) & 3;
        w_.out -= spare;
        uint64_t spare_bits = 0;
        for (uint32_t i = 0; i < spare; ++i) spare_bits |= uint64_t(w_.out[i]) << (8 * i);
        stream_.bit_queue = spare_bits | w_.queue << (8 * spare);
        stream_.bit_count = w_.count + 8 * spare;
        stream_.out = w_.out;
        stream_.state = state_;
    }

    DeflateStream& stream_;
    MatchTable::Entry* const slots_;
    const uint8_t* const in_;
    const uint8_t* const in_end_;
    // Added to a pointer's low 32 bits, the position's value in the table's
    // biased numbering.
    const uint32_t slot_offset_;
    ByteWriter w_;
    StreamState state_;
    uint8_t* grid_;
    RunMode mode_;
    RunStart run_start_;
    const uint8_t* p_;         // the next byte to code; the run is run_start_.at..p_
    uint32_t wide_count_ = 0;  // how many bytes of the run are 0x90 or above
};

}  // namespace
}  // namespace vek::block_scan
