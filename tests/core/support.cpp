#include "support.h"

#include <sstream>
#include <stdexcept>

namespace vek::test {
namespace {

class BitReader {
public:
    explicit BitReader(const Bytes& b) : bytes_(b) {}
    uint32_t bits(uint32_t n) {  // LSB-first field
        uint32_t v = 0;
        for (uint32_t i = 0; i < n; ++i) v |= bit() << i;
        return v;
    }
    uint32_t code_bit() { return bit(); }
    void align() { pos_ = (pos_ + 7) / 8 * 8; }
    uint8_t byte() { return uint8_t(bits(8)); }

private:
    uint32_t bit() {
        if (pos_ / 8 >= bytes_.size()) throw std::runtime_error("read past the end");
        const uint32_t b = (bytes_[pos_ / 8] >> (pos_ % 8)) & 1;
        ++pos_;
        return b;
    }
    const Bytes& bytes_;
    size_t pos_ = 0;
};

// The fixed literal/length code, read MSB first: 7-bit codes 0..23 are
// 256..279, 8-bit 48..191 are 0..143 and 192..199 are 280..287, 9-bit
// 400..511 are 144..255.
uint32_t read_fixed_symbol(BitReader& r) {
    uint32_t code = 0;
    for (int i = 0; i < 7; ++i) code = code << 1 | r.code_bit();
    if (code <= 23) return 256 + code;
    code = code << 1 | r.code_bit();
    if (code >= 48 && code <= 191) return code - 48;
    if (code >= 192 && code <= 199) return 280 + code - 192;
    code = code << 1 | r.code_bit();
    return 144 + code - 400;
}

}  // namespace

std::vector<Token> read_tokens(const Bytes& raw) {
    BitReader r(raw);
    std::vector<Token> tokens;
    for (bool last = false; !last;) {
        last = r.bits(1) == 1;
        const uint32_t type = r.bits(2);
        if (type == 0) {
            r.align();
            const uint32_t len = r.bits(16);
            if ((r.bits(16) ^ len) != 0xFFFF) throw std::runtime_error("bad NLEN");
            for (uint32_t i = 0; i < len; ++i) r.byte();
            tokens.push_back(stored_block(last, len));
            continue;
        }
        if (type != 1) throw std::runtime_error("not a fixed or stored block");
        tokens.push_back(fixed_header(last));
        for (;;) {
            const uint32_t symbol = read_fixed_symbol(r);
            if (symbol < 256) {
                tokens.push_back(literal(symbol));
            } else if (symbol == 256) {
                tokens.push_back(end_of_block());
                break;
            } else {
                const uint32_t li = symbol - 257;
                const uint32_t length = rfc_length_base[li] + r.bits(rfc_length_extra[li]);
                uint32_t dcode = 0;
                for (int i = 0; i < 5; ++i) dcode = dcode << 1 | r.code_bit();
                const uint32_t distance = rfc_distance_base[dcode] + r.bits(rfc_distance_extra[dcode]);
                tokens.push_back(match(length, distance));
            }
        }
    }
    return tokens;
}

std::vector<Token> literals_of(const Bytes& bytes) {
    std::vector<Token> tokens;
    for (uint8_t b : bytes) tokens.push_back(literal(b));
    return tokens;
}

std::string describe(const std::vector<Token>& tokens) {
    std::ostringstream s;
    for (const Token& t : tokens) {
        switch (t.kind) {
            case Token::FixedHeader: s << (t.final_block ? "[fixed final] " : "[fixed] "); break;
            case Token::StoredBlock: s << "[stored" << (t.final_block ? " final " : " ") << t.value << "] "; break;
            case Token::Literal: s << "L" << t.value << " "; break;
            case Token::Match: s << "M(" << t.length << "," << t.distance << ") "; break;
            case Token::EndOfBlock: s << "[eob] "; break;
        }
    }
    return s.str();
}

}  // namespace vek::test
