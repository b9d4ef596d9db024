#include "reference_encoder.h"

#include <algorithm>
#include <array>

#include "support.h"

namespace vek::test {
namespace {

struct Writer {
    ReferenceStream& s;
    std::vector<uint8_t>& out;

    void bits(uint32_t value, uint32_t n) {
        s.queue |= uint64_t(value) << s.count;
        s.count += n;
        if (s.count >= 32) {
            for (int i = 0; i < 4; ++i) out.push_back(uint8_t(s.queue >> (8 * i)));
            s.queue >>= 32;
            s.count -= 32;
        }
    }
    void align() {
        for (uint32_t i = 0; i < (s.count + 7) / 8; ++i) out.push_back(uint8_t(s.queue >> (8 * i)));
        s.queue = 0;
        s.count = 0;
    }
};

// RFC 1951's fixed code for a literal/length symbol, bit-reversed for LSB-first output.
uint32_t reversed(uint32_t code, uint32_t n) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < n; ++i) r |= ((code >> i) & 1) << (n - 1 - i);
    return r;
}
void symbol(Writer& w, uint32_t sym) {
    if (sym < 144) w.bits(reversed(0x30 + sym, 8), 8);
    else if (sym < 256) w.bits(reversed(0x190 + sym - 144, 9), 9);
    else if (sym < 280) w.bits(reversed(sym - 256, 7), 7);
    else w.bits(reversed(0xC0 + sym - 280, 8), 8);
}
uint32_t symbol_bits(uint32_t sym) { return sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8; }

struct Code {
    uint32_t index, extra_bits, extra;
};
Code length_code(uint32_t length) {
    uint32_t i = 28;
    while (rfc_length_base[i] > length) --i;
    return {i, rfc_length_extra[i], length - rfc_length_base[i]};
}
Code distance_code(uint32_t distance) {
    uint32_t i = 29;
    while (rfc_distance_base[i] > distance) --i;
    return {i, rfc_distance_extra[i], distance - rfc_distance_base[i]};
}

void stored(Writer& w, const uint8_t* in, uint32_t len, int more) {
    uint32_t left = len;
    do {
        const uint32_t chunk = std::min<uint32_t>(left, 65535);
        left -= chunk;
        if (w.s.state != StreamState::BlockBoundary) w.bits(0, 7);
        const bool last = more == 0 && left == 0;
        w.s.state = last ? StreamState::Done : StreamState::BlockBoundary;
        w.bits(last ? 1 : 0, 3);
        w.align();
        for (uint32_t v : {chunk & 0xFF, chunk >> 8, ~chunk & 0xFF, (~chunk >> 8) & 0xFF}) w.out.push_back(uint8_t(v));
        w.out.insert(w.out.end(), in, in + chunk);
        in += chunk;
    } while (left > 0);
}

void literals(Writer& w, const uint8_t* run, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) symbol(w, run[i]);
}

uint32_t load_word(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

}  // namespace

std::vector<uint8_t> reference_compress(ReferenceStream& s, const std::vector<uint8_t>& in, int more) {
    std::vector<uint8_t> out;
    Writer w{s, out};
    struct Entry {
        uint32_t position, word;
    };
    static std::array<Entry, 8192> table;
    table.fill({0xFFFF7FFFu, 0xFFFFFFFFu});
    const uint32_t len = uint32_t(in.size());
    uint32_t pos = 0, run = 0, wide = 0;
    while (len - pos >= 4) {
        const uint32_t word = load_word(&in[pos]);
        Entry& e = table[(word * 0x8003Fu) >> 19];
        const Entry candidate = e;
        e = {pos, word};
        if (candidate.word == word && pos - candidate.position - 1 <= 32767) {
            const uint32_t from = candidate.position;
            const uint32_t limit = std::min(len - pos, 258u);
            uint32_t length = 4;
            while (length < limit && in[from + length] == in[pos + length]) ++length;
            const uint32_t distance = pos - from;
            const Code lc = length_code(length), dc = distance_code(distance);
            const uint32_t cost = symbol_bits(257 + lc.index) + lc.extra_bits + 5 + dc.extra_bits;
            if ((wide < 52 || length >= 6) && cost + 8 < wide + 8 * length) {
                if (run > 0) {
                    if (wide >= 52) {
                        stored(w, &in[pos - run], run, 1);
                    } else {
                        if (s.state == StreamState::BlockBoundary) {
                            w.bits(2, 3);
                            s.state = StreamState::FixedBlock;
                        }
                        literals(w, &in[pos - run], run);
                    }
                }
                if (s.state == StreamState::BlockBoundary) {
                    w.bits(2, 3);
                    s.state = StreamState::FixedBlock;
                }
                symbol(w, 257 + lc.index);
                w.bits(lc.extra, lc.extra_bits);
                w.bits(reversed(dc.index, 5), 5);
                w.bits(dc.extra, dc.extra_bits);
                pos += length;
                run = wide = 0;
                continue;
            }
        }
        wide += in[pos] >= 0x90;
        ++run;
        ++pos;
    }
    for (; pos < len; ++pos, ++run) wide += in[pos] >= 0x90;
    if (run > 0) {
        if (wide >= 52) {
            stored(w, &in[len - run], run, more);
        } else {
            if (s.state == StreamState::BlockBoundary) {
                w.bits(more ? 2 : 3, 3);
            } else if (!more) {
                w.bits(0, 7);
                w.bits(3, 3);
            }
            if (!more) s.state = StreamState::LastFixedBlock;
            else if (s.state == StreamState::BlockBoundary) s.state = StreamState::FixedBlock;
            literals(w, &in[len - run], run);
        }
    }
    return out;
}

}  // namespace vek::test
