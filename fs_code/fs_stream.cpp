// Text-mode file streams that behave the same on every platform: files are
// opened untranslated and the CR LF / Ctrl-Z rules are applied here.
#include <cstring>

#include "fs_internal.h"

bool fs_stream_open(fs_stream* s, const char* path, fs_stream_mode mode) {
  s->file = fs_plat_fopen(path, mode == FS_READ_TEXT ? "rb" : "wb");
  s->text = mode != FS_WRITE_BINARY;
  s->ended = false;
  return s->file != nullptr;
}

// Next character after translation, or EOF.
static int next_char(fs_stream* s) {
  if (s->ended) return EOF;
  int c = std::getc(s->file);
  if (c == 26 || c == EOF) {
    s->ended = true;
    return EOF;
  }
  if (c == '\r') {
    const int d = std::getc(s->file);
    if (d == '\n') return '\n';
    if (d != EOF) std::ungetc(d, s->file);
  }
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

void fs_stream_write(fs_stream* s, const char* data, std::size_t n) {
  if (!s->text) {
    std::fwrite(data, 1, n, s->file);
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (data[i] != '\n') continue;
    std::fwrite(data + start, 1, i - start, s->file);
    std::fwrite("\r\n", 1, 2, s->file);
    start = i + 1;
  }
  std::fwrite(data + start, 1, n - start, s->file);
}

void fs_stream_puts(fs_stream* s, const char* text) { fs_stream_write(s, text, std::strlen(text)); }

void fs_stream_rewind(fs_stream* s) {
  std::rewind(s->file);
  s->ended = false;
}

void fs_stream_close(fs_stream* s) {
  if (s->file) std::fclose(s->file);
  s->file = nullptr;
}
