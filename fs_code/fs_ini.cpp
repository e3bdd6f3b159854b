// Configuration file reader: [section] headers, key=value entries and ';'
// comments, read into one contiguous table of fixed-width entries.
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {

constexpr int kPieceBuffer = 200;  // pieces of at most 198 characters
constexpr int kPieceRead = 199;
constexpr int kOpenAttempts = 11;
constexpr std::size_t kSectionChars = 12;

// A piece that will make an entry: an '=' before any ';'.
bool has_entry(const char* piece) {
  for (; *piece; ++piece) {
    if (*piece == ';') return false;
    if (*piece == '=') return true;
  }
  return false;
}

// Upper-cases and strips blanks up to the first ';', '=' or ']', drops the
// blanks right after an '=', and copies the rest unchanged. The result is
// never longer than the piece.
void clean(const char* in, char* out) {
  std::size_t i = 0, o = 0;
  for (; in[i] && in[i] != ';' && in[i] != '=' && in[i] != ']'; ++i) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c <= 32) continue;
    out[o++] = static_cast<char>(fs_upper(c));
  }
  if (in[i] == '=') {
    out[o++] = '=';
    ++i;
    while (in[i] && static_cast<unsigned char>(in[i]) <= 32) ++i;
  }
  while (in[i]) out[o++] = in[i++];
  out[o] = '\0';
}

void copy_span(char* out, std::size_t width, const char* from, std::size_t n) {
  if (n > width - 1) n = width - 1;
  std::memcpy(out, from, n);
  out[n] = '\0';
}

// A field of the same width, taken up to its zero byte or its width.
void copy_field(char* out, std::size_t width, const char* in) {
  const void* zero = std::memchr(in, 0, width);
  copy_span(out, width, in, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - in) : width - 1);
}

std::size_t count_entries(const fs_ini_entry* table) {
  std::size_t n = 0;
  while (table[n].section[0]) ++n;
  return n;
}

// Both readers: two passes over the stream, one to count the entries and
// one to fill the table. Null only when memory runs out.
fs_ini_entry* parse(fs_stream* in) {
  char piece[kPieceBuffer];
  std::size_t capacity = 0;
  while (fs_stream_gets(piece, kPieceRead, in))
    if (has_entry(piece)) ++capacity;

  auto* table = static_cast<fs_ini_entry*>(std::calloc(capacity + 1, sizeof(fs_ini_entry)));
  if (!table) return nullptr;

  fs_stream_rewind(in);
  char section[kSectionChars + 1] = "ALL";
  char cleaned[kPieceBuffer];
  std::size_t n = 0;
  // The second pass never makes more entries than the first counted, even
  // if the file grows in between.
  while (n < capacity && fs_stream_gets(piece, kPieceRead, in)) {
    clean(piece, cleaned);
    if (cleaned[0] == '[') {
      std::size_t len = 0;
      while (len < kSectionChars && cleaned[1 + len] && cleaned[1 + len] != ']') ++len;
      // An empty name would read as the end of the table; entries under
      // such a header belong to "ALL" like those before any header.
      if (len == 0)
        std::strcpy(section, "ALL");
      else
        copy_span(section, sizeof section, cleaned + 1, len);
      continue;
    }
    const std::size_t stop = std::strcspn(cleaned, ";=");
    if (cleaned[stop] != '=') continue;
    fs_ini_entry& e = table[n++];
    std::strcpy(e.section, section);
    copy_span(e.key, sizeof e.key, cleaned, stop);
    const char* value = cleaned + stop + 1;
    copy_span(e.value, sizeof e.value, value, std::strcspn(value, ";\n"));
  }
  return table;  // calloc left the end entry empty
}

}  // namespace

fs_ini_entry* fs_ini_read(const char* path) {
  FS_TRACE(FS_EV_TRACE_CONFIG, path);
  fs_stream in{};
  for (int attempt = 1; !fs_stream_open(&in, path, FS_READ_TEXT); ++attempt) {
    if (attempt == kOpenAttempts) {
      FS_REPORT(1, FS_EV_OPEN, path);
      return nullptr;
    }
    fs_sleep(10);
  }
  fs_ini_entry* table = parse(&in);
  fs_stream_close(&in);
  if (!table) FS_REPORT(1, FS_EV_NO_MEMORY, "");
  return table;
}

fs_ini_entry* fs_ini_parse(const char* text, std::size_t len) {
  fs_stream in{};
  fs_stream_open_text(&in, text, len);
  return parse(&in);
}

fs_ini_entry* fs_ini_find(fs_ini_entry* table, const char* section, const char* key) {
  if (!table) return nullptr;
  for (fs_ini_entry* e = table; e->section[0]; ++e)
    if (fs_casecmp(e->section, section) == 0 && fs_casecmp(e->key, key) == 0) return e;
  return nullptr;
}

fs_ini_entry* fs_ini_find_last(fs_ini_entry* table, const char* section, const char* key) {
  if (!table) return nullptr;
  for (std::size_t i = count_entries(table); i-- > 0;)
    if (fs_casecmp(table[i].section, section) == 0 && fs_casecmp(table[i].key, key) == 0)
      return &table[i];
  return nullptr;
}

fs_ini_entry* fs_ini_append(fs_ini_entry* table, const fs_ini_entry* entry) {
  const std::size_t n = table ? count_entries(table) : 0;
  auto* grown = static_cast<fs_ini_entry*>(std::calloc(n + 2, sizeof(fs_ini_entry)));
  if (!grown) return nullptr;
  if (n) std::memcpy(grown, table, n * sizeof(fs_ini_entry));
  // Fields are copied within their widths whatever the caller passed.
  copy_field(grown[n].section, sizeof grown[n].section, entry->section);
  copy_field(grown[n].key, sizeof grown[n].key, entry->key);
  copy_field(grown[n].value, sizeof grown[n].value, entry->value);
  std::free(table);
  return grown;
}

void fs_ini_delete(fs_ini_entry* entry) {
  if (entry) std::strcpy(entry->section, "***");
}

int fs_ini_write(const fs_ini_entry* table, const char* path) {
  fs_stream out{};
  if (!fs_stream_open(&out, path, FS_WRITE_BINARY)) return 1;
  for (const fs_ini_entry* e = table; e && e->section[0]; ++e) {
    if (e->section[0] == '*') continue;
    fs_stream_puts(&out, "[");
    fs_stream_puts(&out, e->section);
    fs_stream_puts(&out, "]\n");
    fs_stream_puts(&out, e->key);
    fs_stream_puts(&out, "=");
    fs_stream_puts(&out, e->value);
    fs_stream_puts(&out, "\n");
  }
  // A file that could not be written whole (a full disk) is a failure too.
  return fs_stream_close(&out) ? 0 : 1;
}

void fs_ini_free(fs_ini_entry* table) { std::free(table); }

char* fs_trim(char* text) {
  if (!text || !text[0]) return text;
  std::size_t first = 0;
  while (text[first] == ' ') ++first;
  if (!text[first]) {
    text[0] = '\0';
    return text;
  }
  std::size_t last = std::strlen(text) - 1;
  while (text[last] == ' ') --last;
  const std::size_t len = last - first + 1;
  std::memmove(text, text + first, len);
  text[len] = '\0';
  return text;
}
