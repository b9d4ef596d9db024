// The vek encoder core: a DEFLATE compressor that keeps no history between
// calls, writes only fixed-Huffman and stored blocks, and wraps the stream in
// a gzip member, a zlib stream or nothing.
//
// The core is plain procedural code over a record and buffers that belong to
// the caller. It never allocates, never fails and reports nothing: the caller
// provides at least max_encode_output() / max_finish_output() bytes of room.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

enum class StreamState : uint16_t {
    Init = 0,            // nothing written; the gzip or zlib header is still due
    BlockBoundary = 1,   // no block open; the next output opens one
    FixedBlock = 2,      // a non-final fixed-code block is open
    LastFixedBlock = 3,  // the final fixed-code block is open
    Done = 4,            // final block closed, output padded to a byte
    End = 5,             // gzip or zlib trailer written
};

enum StreamFormat : uint8_t {
    format_gzip = 0,
    format_zlib = 1,
    format_deflate = 2,
};

// Everything that survives from one call to the next. It owns nothing, so a
// plain copy is a complete snapshot of the stream.
struct DeflateStream {
    uint64_t bit_queue;     // pending output bits, bit 0 first; bits >= bit_count are zero
    uint32_t bit_count;     // valid bits in bit_queue, 0..31 between calls
    uint8_t* out;           // next output byte of the call in progress
    StreamState state;
    uint8_t level : 1;      // 0 store, 1 compress
    uint8_t format : 2;     // StreamFormat
    uint32_t checksum;      // CRC-32 (gzip) or Adler-32 (zlib)
    uint32_t input_length;  // bytes handed to encode_deflate, modulo 2^32
};

// The match finder's table: for each hash slot the latest probed position,
// offset by `bias`, and the eight input bytes there (only four near the end
// of an input), so that the word test and the length of a short match need
// no read of the input at the candidate. Without one, a compressing call
// empties 96 KiB of table on its stack. A caller that keeps one (any thread,
// any stream; zero-initialised) saves that: each call moves `bias` past
// every earlier call's positions and window, so old entries are as unusable
// as empty ones and the output is the same.
struct MatchTable {
    static constexpr uint32_t slot_bits = 13;
    // Packed: 12 bytes an entry measured faster than 16 (less cache).
    struct [[gnu::packed]] Entry {
        uint32_t position;
        uint64_t bytes;
    };
    Entry entry[1u << slot_bits];
    uint32_t bias;  // below 32769 (0 in a new table): to be emptied before use
};

// Raw DEFLATE.
int32_t init_deflate(DeflateStream* stream, int32_t level);
int32_t encode_deflate(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                       int32_t more, MatchTable* table = nullptr);
int32_t finish_deflate(DeflateStream* stream, uint8_t* out);

// gzip member (RFC 1952) around the raw stream.
int32_t init_gzip(DeflateStream* stream, int32_t level);
int32_t write_gzip_header(DeflateStream* stream, uint8_t* out);
int32_t encode_gzip(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                    int32_t more, MatchTable* table = nullptr);
int32_t finish_gzip(DeflateStream* stream, uint8_t* out);

// zlib stream (RFC 1950) around the raw stream.
int32_t init_zlib(DeflateStream* stream, int32_t level);
int32_t write_zlib_header(DeflateStream* stream, uint8_t* out);
int32_t encode_zlib(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                    int32_t more, MatchTable* table = nullptr);
int32_t finish_zlib(DeflateStream* stream, uint8_t* out);

// Dispatch on the record's format: 0 gzip, 1 zlib, anything else raw.
int32_t init_stream(DeflateStream* stream, int32_t level, int32_t format);
int32_t encode_stream(DeflateStream* stream, uint8_t* out, const uint8_t* in, int32_t len,
                      int32_t more, MatchTable* table = nullptr);
int32_t finish_stream(DeflateStream* stream, uint8_t* out);

// The most bytes that one encode call of `len` bytes (len < 2^31) can write
// on this record, container header included when it is still due.
size_t max_encode_output(const DeflateStream& stream, size_t len);
// The most bytes that the finish operation of this record's format can write,
// and the most for any record.
size_t max_finish_output(const DeflateStream& stream);
inline constexpr size_t finish_output_limit = 20;

// Checksums. The running values are finished checksums that chain like
// zlib's crc32(previous, data) and adler32(previous, data).
uint32_t crc32_update(uint32_t crc, const uint8_t* in, int32_t len);
uint32_t crc32_update_bytewise(uint32_t crc, const uint8_t* in, int32_t len);
uint32_t adler32_update(uint32_t adler, const uint8_t* in, int32_t len);
uint32_t adler32_update_bytewise(uint32_t adler, const uint8_t* in, int32_t len);

}  // namespace vek
