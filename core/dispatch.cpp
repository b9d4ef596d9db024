// Choosing the container operations by format, and the output bounds of each.
#include <algorithm>

#include "block_encoder.h"
#include "stored.h"
#include "vek_core.h"

namespace vek {
namespace {

inline constexpr size_t gzip_header_size = 10;
inline constexpr size_t gzip_trailer_size = 8;
inline constexpr size_t zlib_header_size = 2;
inline constexpr size_t zlib_trailer_size = 4;
// Up to 31 pending bits, end-of-block 7, final header 3, end-of-block 7.
inline constexpr size_t finish_deflate_bound = 6;
inline constexpr size_t empty_final_block_size = 2;

static_assert(gzip_header_size + empty_final_block_size + gzip_trailer_size <= finish_output_limit);
static_assert(finish_deflate_bound + gzip_trailer_size <= finish_output_limit);

size_t header_due(const DeflateStream& s) {
    if (s.state != StreamState::Init) return 0;
    switch (s.format) {
        case format_gzip: return gzip_header_size;
        case format_zlib: return zlib_header_size;
        default: return 0;
    }
}

}  // namespace

int32_t init_stream(DeflateStream* stream, int32_t level, int32_t format) {
    switch (format) {
        case format_gzip: return init_gzip(stream, level);
        case format_zlib: return init_zlib(stream, level);
        default: return init_deflate(stream, level);
    }
}

int32_t encode_stream(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                      int32_t more, MatchTable* table) {
    switch (stream->format) {
        case format_gzip: return encode_gzip(stream, out, in, len, more, table);
        case format_zlib: return encode_zlib(stream, out, in, len, more, table);
        default: return encode_deflate(stream, out, in, len, more, table);
    }
}

int32_t write_header_due(DeflateStream* stream, uint8_t* out) {
    if (stream->state != StreamState::Init) return 0;
    switch (stream->format) {
        case format_gzip: return write_gzip_header(stream, out);
        case format_zlib: return write_zlib_header(stream, out);
        default: stream->state = StreamState::BlockBoundary; return 0;
    }
}

int32_t sync_stream(DeflateStream* stream, uint8_t* out) {
    stream->out = out + write_header_due(stream, out);
    static constexpr uint8_t nothing = 0;
    emit_stored(*stream, &nothing, 0, 1);
    return int32_t(stream->out - out);
}

static_assert(gzip_header_size + (31 + 7 + 3 + 7) / 8 + 4 <= sync_output_limit);

int32_t finish_stream(DeflateStream* stream, uint8_t* out) {
    switch (stream->format) {
        case format_gzip: return finish_gzip(stream, out);
        case format_zlib: return finish_zlib(stream, out);
        default: return finish_deflate(stream, out);
    }
}

size_t max_encode_output(const DeflateStream& stream, size_t len) {
    const size_t body = stream.level == 1 ? compressed_output_bound(len) : stored_output_bound(len);
    return header_due(stream) + body;
}

// append_fragment shifts bits out of a fragment eight bytes at a time.
inline constexpr size_t fragment_read_slack = 8;

size_t max_fragment_output(int32_t level, size_t len) {
    DeflateStream fresh{};
    init_deflate(&fresh, level);
    return max_encode_output(fresh, len) + fragment_read_slack;
}

// Besides the header still due and the fragment's own bytes: up to 31 bits
// pending, 7 of an end-of-block and 7 of padding, or a tail of 31 bits
// ahead of which nothing was aligned: under 12 bytes either way. The bit
// shifting stores eight bytes at a time, up to 8 past its last whole byte
// while at most 3 of those go back into the queue.
inline constexpr size_t append_store_slack = 12;

size_t max_append_output(const DeflateStream& stream, const Fragment& fragment) {
    return header_due(stream) + fragment.size + 12 + append_store_slack;
}

size_t max_finish_output(const DeflateStream& stream) {
    size_t trailer = 0;
    switch (stream.format) {
        case format_gzip: trailer = gzip_trailer_size; break;
        case format_zlib: trailer = zlib_trailer_size; break;
        default: break;
    }
    // A stream still waiting for its header has an empty queue and no open
    // block: the header, then an empty final block of 2 bytes.
    const size_t header = header_due(stream);
    return (header > 0 ? header + empty_final_block_size : finish_deflate_bound) + trailer;
}

}  // namespace vek
