// Inputs longer than the core's 32-bit lengths, shared by both extensions:
// they go to the core in pieces, each with more = 1, so nothing is refused
// and both give the same bytes for the same input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vek_core.h"

namespace vek {

inline constexpr size_t max_piece = size_t(1) << 30;

// The most that encoding n bytes piece by piece can write: the container's
// header only with the first piece.
inline size_t pieces_room(const DeflateStream& stream, size_t n) {
    size_t room = max_encode_output(stream, std::min(n, max_piece));
    DeflateStream later = stream;
    later.state = StreamState::BlockBoundary;
    for (size_t offset = max_piece; offset < n; offset += max_piece)
        room += max_encode_output(later, std::min(n - offset, max_piece));
    return room;
}

// All n bytes at `out` (room for pieces_room(n) bytes); the bytes written.
inline size_t encode_pieces(DeflateStream& stream, uint8_t* out, const uint8_t* data, size_t n,
                            MatchTable& table) {
    size_t count = 0;
    size_t offset = 0;
    do {
        const size_t piece = std::min(n - offset, max_piece);
        count += size_t(encode_stream(&stream, out + count, data + offset, int32_t(piece), 1, &table));
        offset += piece;
    } while (offset < n);
    return count;
}

}  // namespace vek
