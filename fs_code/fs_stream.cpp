// Text-mode file streams that behave the same on every platform: files are
// opened untranslated and the CR LF / Ctrl-Z rules are applied here.
#include <cstring>

#include "fs_internal.h"

bool fs_stream_open(fs_stream* s, const char* path, fs_stream_mode mode) {
  *s = fs_stream{};
  s->file = fs_plat_fopen(path, mode == FS_READ_TEXT ? "rb" : "wb");
  s->text = mode != FS_WRITE_BINARY;
  return s->file != nullptr;
}

void fs_stream_open_text(fs_stream* s, const char* text, std::size_t len) {
  *s = fs_stream{};
  s->text = true;
  s->mem = text;
  s->mem_len = text ? len : 0;
}

// Next byte of the file or the text, or EOF; `peek` leaves it unread.
static int next_byte(fs_stream* s, bool peek = false) {
  if (s->file) {
    const int c = std::getc(s->file);
    if (peek && c != EOF) std::ungetc(c, s->file);
    return c;
  }
  if (s->mem_pos >= s->mem_len) return EOF;
  const auto c = static_cast<unsigned char>(s->mem[s->mem_pos]);
  if (!peek) ++s->mem_pos;
  return c;
}

// Next character after translation, or EOF.
static int next_char(fs_stream* s) {
  if (s->ended) return EOF;
  const int c = next_byte(s);
  if (c == 26 || c == EOF) {
    s->ended = true;
    return EOF;
  }
  if (c == '\r' && next_byte(s, true) == '\n') return next_byte(s);
  return c;
}

char* fs_stream_gets(char* buf, int size, fs_stream* s) {
  if (size <= 0) return nullptr;
  int n = 0;
  while (n < size - 1) {
    const int c = next_char(s);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[n] = '\0';
  return n ? buf : nullptr;
}

// Writes n bytes; a short write marks the stream failed.
static void put(fs_stream* s, const char* data, std::size_t n) {
  if (!s->failed && n && std::fwrite(data, 1, n, s->file) != n) s->failed = true;
}

void fs_stream_write(fs_stream* s, const char* data, std::size_t n) {
  if (!s->text) {
    put(s, data, n);
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (data[i] != '\n') continue;
    put(s, data + start, i - start);
    put(s, "\r\n", 2);
    start = i + 1;
  }
  put(s, data + start, n - start);
}

void fs_stream_puts(fs_stream* s, const char* text) { fs_stream_write(s, text, std::strlen(text)); }

void fs_stream_rewind(fs_stream* s) {
  if (s->file) std::rewind(s->file);
  s->mem_pos = 0;
  s->ended = false;
}

bool fs_stream_close(fs_stream* s) {
  bool ok = !s->failed;
  if (s->file && std::fclose(s->file) != 0) ok = false;
  s->file = nullptr;
  return ok;
}
