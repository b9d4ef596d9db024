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
    // Where the call in progress first aligned to a byte (ahead of a stored
    // block's LEN): the output position then and the bits pending there;
    // nullptr until it does. Read by encode_fragment, ignored otherwise.
    uint8_t* first_alignment;
    uint32_t bits_before_alignment;
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

// A sync point, as zlib's sync flush writes one: the open block is ended
// and an empty non-final stored block aligns the output to a byte, so that
// everything so far can be inflated now; the header goes first when still
// due. For a stream that is not finished. At most sync_output_limit bytes:
// a gzip header, 31 pending bits, an end-of-block and a block header, LEN
// and NLEN.
int32_t sync_stream(DeflateStream* stream, uint8_t* out);
// The gzip or zlib header when it is still due (leaving the state at
// BlockBoundary for every format); returns the bytes written.
int32_t write_header_due(DeflateStream* stream, uint8_t* out);
inline constexpr size_t sync_output_limit = 20;

// The most bytes that one encode call of `len` bytes (len < 2^31) can write
// on this record, container header included when it is still due.
size_t max_encode_output(const DeflateStream& stream, size_t len);
// The most bytes that the finish operation of this record's format can write,
// and the most for any record.
size_t max_finish_output(const DeflateStream& stream);
inline constexpr size_t finish_output_limit = 20;

// A chunk of a stream encoded on its own (on any thread, in any order), as
// if the stream were at a block boundary with nothing pending. Appending it
// later to the stream, at the state the stream has then, writes exactly the
// bits that encoding the chunk there would have written: the entry state
// changes only the opening (a fixed block's 3-bit header is dropped when a
// block is already open; a 7-bit end-of-block goes before a stored block
// when one is open) and the shift of the bits before the first byte
// alignment, after which everything is byte-aligned as it stands.
enum class FragmentOpening : uint8_t { Nothing, FixedBlock, StoredBlock };

struct Fragment {
    uint32_t size;            // bytes written at the fragment's buffer
    uint32_t head_bits;       // bits before the first byte alignment; 8 * size when none
    uint32_t aligned_at;      // the byte where the aligned part starts; size when none
    bool aligned;             // whether a stored block aligned the output
    FragmentOpening opening;  // what the first bits are
    StreamState end_state;    // BlockBoundary or FixedBlock (unused for Nothing)
    uint64_t tail_queue;      // bits pending at the end, in the record's 32-bit grid
    uint32_t tail_count;
    uint32_t checksum;        // of the chunk alone: CRC-32 (gzip), Adler-32 (zlib), else 0
    uint32_t input_length;    // the chunk's length
};

// Encodes `len` bytes as a fragment of a stream of the given level and
// format; returns the bytes written at `out` (room: max_fragment_output).
int32_t encode_fragment(Fragment* fragment, int32_t level, int32_t format, uint8_t* out,
                        const uint8_t* in, int32_t len, MatchTable* table = nullptr);
// Appends a fragment (its bytes at `bytes`) to a stream in a compressing
// state (Init, BlockBoundary or FixedBlock) as encode_stream would have
// written its chunk there, header included when still due; returns the
// bytes written at `out` (room: max_append_output).
int32_t append_fragment(DeflateStream* stream, uint8_t* out, const Fragment& fragment,
                        const uint8_t* bytes);
// The fragment's buffer: what one encode call can write, and 8 bytes that
// append_fragment may read past the last one while it shifts bits.
size_t max_fragment_output(int32_t level, size_t len);
size_t max_append_output(const DeflateStream& stream, const Fragment& fragment);

// Checksums. The running values are finished checksums that chain like
// zlib's crc32(previous, data) and adler32(previous, data).
uint32_t crc32_update(uint32_t crc, const uint8_t* in, int32_t len);
uint32_t crc32_update_bytewise(uint32_t crc, const uint8_t* in, int32_t len);
uint32_t adler32_update(uint32_t adler, const uint8_t* in, int32_t len);
uint32_t adler32_update_bytewise(uint32_t adler, const uint8_t* in, int32_t len);
// The checksum of a followed by b, from the checksums of each and b's length.
uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b);
uint32_t adler32_combine(uint32_t adler_a, uint32_t adler_b, uint64_t len_b);

}  // namespace vek
