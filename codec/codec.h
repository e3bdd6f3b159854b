// QTK packet codec: LZSS over a 4096-byte ring coded by an adaptive
// arithmetic coder, and the packet framing with its two check bytes.
//
// The public calls work on process-wide state (one work buffer, one
// encoder), as the stub uses them. The packer compresses packets in
// parallel; for that, CodecEncoder carries a private copy of the encoder
// state and packet_encode/packet_emit split packet_write in two. Its
// reader, and the stub's decoding threads, decode in parallel in the same
// way: packet_read_raw and packet_decode split packet_read in two.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- statuses --------------------------------------------------------------
// The stream calls (codec_compress, codec_decompress, codec_init) and the
// packet calls (packet_read, packet_write) each have their own statuses;
// 0 is success for both.
enum CodecStatus : int {
  CODEC_OK = 0,
  CODEC_BAD_HEADER = 1,        // codec_decompress: input shorter than its size header
  CODEC_OUTPUT_FULL = 2,       // codec_compress: output did not fit
  CODEC_NO_MEMORY = 3,         // codec_init, codec_compress: no work buffer or encoder
};

enum PacketStatus : int {
  PACKET_OK = 0,
  PACKET_WRITE_FAILED = 1,     // packet_write: a write failed
  PACKET_SHORT = 2,            // packet_read: end of file inside header or payload
  PACKET_NO_CODEC = 4,         // packet_read/packet_write before codec_init
  PACKET_BAD_CHECK = 5,        // packet_read: check bytes disagree
  PACKET_DECODE_FAILED = 6,    // packet_read: the decompressor failed
  PACKET_COMPRESS_FAILED = 7,  // packet_write: the compressor failed
  PACKET_TOO_LONG = 8,         // packet_read: a header length exceeds the packet size
  PACKET_BAD_LENGTHS = 9,      // packet_read: the payload does not give the unpacked length
  PACKET_EOF = 999,            // packet_read: end of file where a packet would start
};

// ---- byte order ----------------------------------------------------------------
// Every multi-byte integer of the format (stream size header, packet
// header, archive payloads and trailer) is a little-endian 32-bit word.
inline std::uint32_t codec_load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void codec_store_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Stored-form flag in the packet type byte.
constexpr std::uint8_t PACKET_STORED = 0x80;
// Bytes of a packet header on disk: type, unpacked length, stored length,
// the two check bytes.
constexpr std::uint32_t PACKET_HEADER_SIZE = 11;
// Bytes of a compressed stream's size header.
constexpr std::uint32_t CODEC_SIZE_HEADER = 4;

// The in-memory packet record.
struct Packet {
  std::uint8_t type;           // bit 7 set: payload stored as is (cleared after a read)
  std::uint32_t stored_len;    // payload bytes in the stream
  std::uint32_t unpacked_len;  // data bytes after decompression
  std::uint8_t check_sum;      // additive check byte
  std::uint8_t check_xor;      // exclusive-or check byte
  std::uint8_t* data;          // owned buffer of `capacity` bytes
  std::uint32_t capacity;      // packet size + 10
  std::uint8_t wire_type;      // after a read: the type byte as it stood in the stream
};

// ---- codec error reports ---------------------------------------------------
// Besides its statuses, a decode reports what went wrong inside it: code 1
// for a stream shorter than its size header, code 2 for a stream read more
// than 100 bytes past its end. Each decode fills the report its caller
// hands it (none: the report is dropped), and the caller shows it (the
// stub's sfx_report_codec_error, message 23) or counts it (the packer), on
// its own thread and at its own time. One decode makes one report at most.
struct CodecReport {
  int count;  // reports made
  int code;   // the last one's code; 0 without one
};

// ---- streams ---------------------------------------------------------------
// Decodes one compressed stream (size header first). Status 0, or 1 for an
// input shorter than the size header. Never stores more than output_cap bytes.
int codec_decompress(const std::uint8_t* input, std::uint8_t* output,
                     std::uint32_t input_len, std::uint32_t output_cap);

// The size header of a stream: the number of bytes it decodes to. 0, or
// CODEC_BAD_HEADER when `len` is shorter than the header.
int codec_stream_size(const std::uint8_t* stream, std::uint32_t len, std::uint32_t* size);

// What one decompression did, for tests and tools.
struct CodecDecodeStats {
  std::uint32_t produced;   // bytes the stream produced (may exceed output_cap)
  std::uint32_t overread;   // bytes read past the end of the input
  std::uint32_t length;     // bytes that the stream takes up, its size header
                            // included, by where its coder stopped
  CodecReport report;       // what the decode reported
};
int codec_decompress_ex(const std::uint8_t* input, std::uint8_t* output,
                        std::uint32_t input_len, std::uint32_t output_cap,
                        CodecDecodeStats* stats);

// One stream decoded piece by piece, for output that is written out as it
// comes rather than held whole. The decoder keeps its place (the coder, the
// model and the ring) between the calls; the input stays the caller's and
// must outlive it. codec_stream_decoder_new: null when input_len is shorter
// than the size header or memory is short. codec_stream_decode stores the
// next bytes of the stream into output (output_cap at least
// CODEC_STREAM_PIECE_MIN) and returns how many; 0 once the stream has
// produced its size. It makes no report: the stats tell what a damaged
// stream did.
struct CodecStreamDecoder;
constexpr std::uint32_t CODEC_STREAM_PIECE_MIN = 64;
CodecStreamDecoder* codec_stream_decoder_new(const std::uint8_t* input, std::uint32_t input_len);
void codec_stream_decoder_free(CodecStreamDecoder* decoder);
std::uint32_t codec_stream_decode(CodecStreamDecoder* decoder, std::uint8_t* output, std::uint32_t output_cap);
// The bytes produced so far (a damaged stream's last match may pass its
// size) and read past the input's end so far.
CodecDecodeStats codec_stream_decoder_stats(const CodecStreamDecoder* decoder);

// ---- packets (reading side) ------------------------------------------------
// Sets the packet size n: the largest unpacked or stored length that
// packet_read accepts, and a work buffer of 2n bytes. 0, or 3 when there is
// no work buffer afterwards (memory short, or n too small for a stream's
// 4-byte size header or too large).
int codec_init(std::uint32_t packet_size);
Packet* packet_alloc(std::uint32_t packet_size);
void packet_free(Packet* packet);
void packet_check(const Packet* packet, std::uint8_t* check_sum, std::uint8_t* check_xor);
// Reads one packet. Besides the check bytes it holds both lengths to what
// the payload gives: a stored payload is its data (the archive end alone,
// type 0x81 with unpacked length 12 and stored length 8, differs), and a
// compressed one must decode to exactly the unpacked length while reading
// no more than the 2 bytes past its end that a valid stream may. The
// decoder's report, if any, goes to `report` (when given).
int packet_read(Packet* packet, std::FILE* in, CodecReport* report = nullptr);

// packet_read in two halves, for a reader that decodes packets on several
// threads. packet_read_raw reads the header and the payload and holds the
// lengths to the packet size and the check bytes to the header: 0,
// PACKET_EOF, PACKET_SHORT, PACKET_TOO_LONG, PACKET_BAD_CHECK or
// PACKET_NO_CODEC; the type keeps bit 7. packet_decode does the rest from
// memory: it holds both lengths to what the payload gives and decodes a
// compressed payload in place, with `work` (work_cap bytes, at least the
// stored length) as its only scratch space: 0, PACKET_DECODE_FAILED,
// PACKET_BAD_LENGTHS, or PACKET_TOO_LONG when the payload does not fit
// `work` or the unpacked length the record; on 0 bit 7 of the type is
// cleared. It touches no shared state, so packets with work buffers of
// their own decode at the same time; each decode's report goes to its own
// `report` (when given), for the caller to show or count.
int packet_read_raw(Packet* packet, std::FILE* in);
int packet_decode(Packet* packet, std::uint8_t* work, std::uint32_t work_cap,
                  CodecReport* report = nullptr);

// Check bytes over a header (type as on disk, both lengths) and a payload.
void packet_check_bytes(std::uint8_t type, std::uint32_t stored_len, std::uint32_t unpacked_len,
                        const std::uint8_t* payload, std::uint32_t payload_len,
                        std::uint8_t* check_sum, std::uint8_t* check_xor);

// ---- compressor (writing side; not linked into the stub) --------------------
// Room that compressing n bytes may need: incompressible data grows by a
// few percent at most, plus the size header.
constexpr std::uint32_t codec_compress_bound(std::uint32_t n) { return n + n / 8 + 64; }

int codec_compress(const std::uint8_t* input, std::uint8_t* output, std::uint32_t input_len,
                   std::uint32_t output_cap, std::uint32_t* output_len);

struct CodecEncoder;
CodecEncoder* codec_encoder_new();
void codec_encoder_free(CodecEncoder* encoder);
int codec_compress_with(CodecEncoder* encoder, const std::uint8_t* input, std::uint8_t* output,
                        std::uint32_t input_len, std::uint32_t output_cap,
                        std::uint32_t* output_len);

int packet_write(Packet* packet, std::FILE* out);

// packet_write in two halves. packet_encode chooses the form, fills
// type/stored_len/check bytes and points *payload at the bytes to write
// (inside `work` or the record's data); 0 or 7. packet_emit writes the
// header and payload; 0 or 1.
int packet_encode(Packet* packet, CodecEncoder* encoder, std::uint8_t* work,
                  std::uint32_t work_cap, const std::uint8_t** payload);
int packet_emit(const Packet* packet, const std::uint8_t* payload, std::FILE* out);

// The 11 header bytes of a packet as they stand in a stream: type as given
// (bit 7 included), unpacked length, stored length, check sum, check xor.
void packet_header_encode(const Packet* packet, std::uint8_t out[PACKET_HEADER_SIZE]);

// Everything one writer of packets needs, apart from the shared state:
// a private encoder, a packet record and the compressor's work buffer
// (twice the packet size). Fill packet->data, unpacked_len and type, then
// packet_encoder_run; payload then points at the bytes that follow the
// header (in `work` or in the packet's data).
struct PacketEncoder {
  CodecEncoder* encoder;
  Packet* packet;
  std::uint8_t* work;
  std::uint32_t work_cap;  // the compressor's output capacity: 2 * packet size - 1
  const std::uint8_t* payload;
};
// 0, or CODEC_NO_MEMORY (the record is then empty and may be released).
int packet_encoder_init(PacketEncoder* pe, std::uint32_t packet_size);
void packet_encoder_release(PacketEncoder* pe);
// packet_encode with the encoder's own parts: 0 or PACKET_COMPRESS_FAILED.
int packet_encoder_run(PacketEncoder* pe);
