// QTK packet codec: LZSS over a 4096-byte ring coded by an adaptive
// arithmetic coder, and the packet framing with its two check bytes.
//
// The public calls work on process-wide state (one work buffer, one
// encoder), as the stub uses them. The packer compresses packets in
// parallel; for that, CodecEncoder carries a private copy of the encoder
// state and packet_encode/packet_emit split packet_write in two.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- statuses --------------------------------------------------------------
enum : int {
  CODEC_OK = 0,
  CODEC_BAD_HEADER = 1,        // codec_decompress: input shorter than its size header
  CODEC_OUTPUT_FULL = 2,       // codec_compress: output did not fit
  CODEC_NO_MEMORY = 3,         // codec_init
  PACKET_SHORT = 2,            // packet_read: end of file inside header or payload
  PACKET_WRITE_FAILED = 1,     // packet_write: a write failed
  PACKET_NO_CODEC = 4,         // packet_read/packet_write before codec_init
  PACKET_BAD_CHECK = 5,        // packet_read: check bytes disagree
  PACKET_DECODE_FAILED = 6,    // packet_read: the decompressor failed
  PACKET_COMPRESS_FAILED = 7,  // packet_write: the compressor failed
  PACKET_TOO_LONG = 8,         // packet_read: a header length exceeds the packet size
  PACKET_BAD_LENGTHS = 9,      // packet_read: the payload does not give the unpacked length
  PACKET_EOF = 999,            // packet_read: end of file where a packet would start
};

// Stored-form flag in the packet type byte.
constexpr std::uint8_t PACKET_STORED = 0x80;
// Bytes of a packet header on disk.
constexpr std::uint32_t PACKET_HEADER_SIZE = 11;

// The in-memory packet record.
struct Packet {
  std::uint8_t type;           // bit 7 set: payload stored as is (cleared after a read)
  std::uint32_t stored_len;    // payload bytes in the stream
  std::uint32_t unpacked_len;  // data bytes after decompression
  std::uint8_t check_sum;      // additive check byte
  std::uint8_t check_xor;      // exclusive-or check byte
  std::uint8_t* data;          // owned buffer of `capacity` bytes
  std::uint32_t capacity;      // packet size + 10
};

// ---- codec error reports ---------------------------------------------------
// The codec's one way to tell the user something went wrong inside it.
// It forwards the code to the hook the host installed (the stub shows
// message 23; the packer prints the code); without a hook it only records.
using codec_error_hook = void (*)(int code);
void codec_set_error_hook(codec_error_hook hook);
int sfx_report_codec_error(int code);
// The number of reports made so far and the last code (for the tests).
int codec_error_count();
int codec_last_error();

// ---- streams ---------------------------------------------------------------
// Decodes one compressed stream (size header first). Status 0, or 1 for an
// input shorter than the size header. Never stores more than output_cap bytes.
int codec_decompress(const std::uint8_t* input, std::uint8_t* output,
                     std::uint32_t input_len, std::uint32_t output_cap);

// What one decompression did, for tests and tools.
struct CodecDecodeStats {
  std::uint32_t produced;   // bytes the stream produced (may exceed output_cap)
  std::uint32_t overread;   // bytes read past the end of the input
};
int codec_decompress_ex(const std::uint8_t* input, std::uint8_t* output,
                        std::uint32_t input_len, std::uint32_t output_cap,
                        CodecDecodeStats* stats);

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
// no more than the 2 bytes past its end that a valid stream may.
int packet_read(Packet* packet, std::FILE* in);

// Check bytes over a header (type as on disk, both lengths) and a payload.
void packet_check_bytes(std::uint8_t type, std::uint32_t stored_len, std::uint32_t unpacked_len,
                        const std::uint8_t* payload, std::uint32_t payload_len,
                        std::uint8_t* check_sum, std::uint8_t* check_xor);

// ---- compressor (writing side; not linked into the stub) --------------------
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

// Decodes a stream only to list its tokens: fn(ctx, code, position) for every
// character code (0-255 literal, 256-313 match of length code - 253).
using codec_token_fn = void (*)(void* ctx, unsigned code, unsigned position);
int codec_trace(const std::uint8_t* input, std::uint32_t input_len, codec_token_fn fn, void* ctx);
