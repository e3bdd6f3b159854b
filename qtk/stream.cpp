// qtk compress / qtk decompress: one raw compressed stream (the size header
// and the coded bits) to and from a file, for looking at the codec alone.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "sys/os.h"
#include "qtk.h"

namespace qtk {
namespace {

std::vector<std::uint8_t> read_whole(const std::string& path) {
  std::FILE* f = open_read(path);
  if (!f) fail(path + ": " + errno_text());
  std::vector<std::uint8_t> data;
  std::uint8_t buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  const bool bad = std::ferror(f) != 0;
  std::fclose(f);
  if (bad) fail(path + ": read error");
  return data;
}

// Writes `path` through a temporary file beside it, renamed into place only
// when `fill` has written all of it, so a failed, refused or interrupted run
// leaves no partial output. `fill(f)` returns false on a short write, and
// may end the command itself.
template <class Fill>
void write_through_temp(const std::string& path, Fill&& fill) {
  std::string tmp;
  std::FILE* f = create_temp(path, false, tmp);
  if (!f) fail(path + ": " + errno_text());
  bool ok = false;
  try {
    ok = fill(f);
    check_interrupted();
  } catch (...) {
    std::fclose(f);
    remove_file(tmp);
    throw;
  }
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || !rename_over(tmp, path)) {
    const std::string reason = errno_text();
    remove_file(tmp);
    fail(path + ": " + reason);
  }
}

}  // namespace

int compress_file(const std::string& in, const std::string& out) {
  const std::vector<std::uint8_t> data = read_whole(in);
  // The stream's size header and the compressor's room both count in 32 bits.
  if (data.size() > 0xE0000000u) fail(in + ": too large for one stream (3.5 GiB at most)");
  const auto n = static_cast<std::uint32_t>(data.size());
  // Data that does not compress grows by well under one percent.
  std::vector<std::uint8_t> packed(codec_compress_bound(n));
  std::uint32_t len = 0;
  if (codec_compress(data.data(), packed.data(), n, static_cast<std::uint32_t>(packed.size()), &len) != 0)
    fail(in + ": the compressor failed");
  write_through_temp(out, [&](std::FILE* f) { return len == 0 || std::fwrite(packed.data(), 1, len, f) == len; });
  return kExitOk;
}

int decompress_file(const std::string& in, const std::string& out) {
  const std::vector<std::uint8_t> data = read_whole(in);
  if (data.size() < 4) fail(in + ": not a compressed stream (shorter than its 4-byte size header)");
  if (data.size() > 0xFFFFFFFFu) fail(in + ": too large for one stream");
  const auto n = static_cast<std::uint32_t>(data.size());
  std::uint32_t size = 0;
  codec_stream_size(data.data(), n, &size);
  // A coded byte costs at least 1/73 of a bit (the most likely of the 314
  // codes is never likelier than 32454/32767), so no stream expands by more
  // than 584 times; a header that claims more is damage, not data.
  if (static_cast<std::uint64_t>(size) > (static_cast<std::uint64_t>(n) + 2) * 8 * 73)
    fail(in + ": damaged stream (its header claims " + std::to_string(size) + " bytes from " +
         std::to_string(n) + ")");
  // One pass, written out piece by piece to the temporary file: memory
  // stays the same whatever the header claims, and a stream that runs past
  // its last byte is refused at the piece that gets there.
  const std::unique_ptr<CodecStreamDecoder, void (*)(CodecStreamDecoder*)> dec(
      codec_stream_decoder_new(data.data(), n), codec_stream_decoder_free);
  if (!dec) fail("out of memory");
  write_through_temp(out, [&](std::FILE* f) {
    std::vector<std::uint8_t> piece(1u << 16);
    bool ok = true;
    for (;;) {
      const std::uint32_t got = codec_stream_decode(dec.get(), piece.data(), static_cast<std::uint32_t>(piece.size()));
      // A whole stream is read to its last byte and at most two bytes beyond.
      if (codec_stream_decoder_stats(dec.get()).overread > 2)
        fail(in + ": damaged or cut-off stream (it ends too early)");
      if (got == 0) break;
      ok = ok && std::fwrite(piece.data(), 1, got, f) == got;
      check_interrupted();
    }
    const CodecDecodeStats st = codec_stream_decoder_stats(dec.get());
    // The coder's end fixes the stream's last byte: not even one may follow.
    const bool whole = st.length == n;
    if (st.produced != size || !whole) fail(in + ": damaged stream (bytes follow its end)");
    return ok;
  });
  return kExitOk;
}

}  // namespace qtk
