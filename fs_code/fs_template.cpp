// Language templates: field tables, field substitution in template lines and
// numbered text catalogues.
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

namespace {

// Every field table is preceded by its capacity, so that adding to a full
// table is refused instead of writing past it.
struct fields_header {
  std::size_t capacity;
  void* align;
};

fields_header* header_of(fs_field* table) {
  return reinterpret_cast<fields_header*>(reinterpret_cast<char*>(table) - sizeof(fields_header));
}

const fs_field* lookup(const fs_field* table, const char* name, std::size_t len) {
  for (const fs_field* f = table; f->name; ++f)
    if (std::strlen(f->name) == len && std::memcmp(f->name, name, len) == 0) return f;
  return nullptr;
}

constexpr std::size_t kNameScan = 14;   // delimiter + up to 12 name characters + end
constexpr std::size_t kWidthChars = 11;

constexpr std::size_t kWork = 10000;       // one catalogue text with its line feeds
constexpr int kFirstPassRead = 9998;       // lines of up to 9,997 characters
constexpr int kPieceRead = 198;            // pieces of up to 197 characters
constexpr int kOpenAttempts = 201;
constexpr int kReopenAttempts = 2001;
constexpr long kMaxNumber = 0x7FFFFFFE;    // slot count stays an int

bool open_with_retries(fs_stream* s, const char* path, int attempts) {
  for (int attempt = 1; !fs_stream_open(s, path, FS_READ_TEXT); ++attempt) {
    if (attempt == attempts) return false;
    fs_sleep(10);
  }
  return true;
}

long marker_number(const char* digits) {
  long n = 0;
  for (; *digits >= '0' && *digits <= '9'; ++digits) {
    n = n * 10 + (*digits - '0');
    if (n > kMaxNumber) n = kMaxNumber;
  }
  return n;
}

}  // namespace

fs_field* fs_fields_new(int capacity) {
  const std::size_t n = capacity < 1 ? 1 : static_cast<std::size_t>(capacity);
  void* block = std::calloc(1, sizeof(fields_header) + n * sizeof(fs_field));
  if (!block) {
    FS_REPORT(1, FS_EV_NO_MEMORY, "");
    return nullptr;
  }
  static_cast<fields_header*>(block)->capacity = n;
  return reinterpret_cast<fs_field*>(static_cast<char*>(block) + sizeof(fields_header));
}

int fs_fields_add(fs_field* table, const char* name, const char* value) {
  if (!table) return -1;
  std::size_t n = 0;
  while (table[n].name) ++n;
  if (n + 1 >= header_of(table)->capacity) return -1;
  char* name_copy = fs_strdup(name);
  char* value_copy = name_copy ? fs_strdup(value) : nullptr;
  if (!value_copy) {
    std::free(name_copy);
    FS_REPORT(1, FS_EV_NO_MEMORY, "");
    return -1;
  }
  table[n].name = name_copy;
  table[n].value = value_copy;
  table[n + 1].name = nullptr;
  table[n + 1].value = nullptr;
  return 0;
}

void fs_fields_free(fs_field* table) {
  if (!table) return;
  for (fs_field* f = table; f->name; ++f) {
    std::free(f->name);
    std::free(f->value);
  }
  std::free(header_of(table));
}

void fs_substitute(const fs_field* table, char delimiter, char width_mark, const char* source,
                   char* out, std::size_t room) {
  if (!out || room == 0) return;
  const std::size_t limit = room - 1;
  std::size_t o = 0;
  auto put = [&](const char* text, std::size_t n) {
    if (n > limit - o) n = limit - o;
    std::memcpy(out + o, text, n);
    o += n;
  };
  auto pad = [&](std::size_t n) {
    if (n > limit - o) n = limit - o;
    std::memset(out + o, ' ', n);
    o += n;
  };

  const std::size_t len = source ? std::strlen(source) : 0;
  std::size_t i = 0;
  while (i < len && o < limit) {
    const char c = source[i];
    if (c != delimiter || !table) {
      out[o++] = c;
      ++i;
      continue;
    }
    std::size_t p = i + 1;
    while (p < len && p < i + kNameScan && source[p] != delimiter && source[p] != width_mark) ++p;
    const fs_field* f = nullptr;
    if (p < len && p < i + kNameScan) f = lookup(table, source + i + 1, p - i - 1);
    if (!f) {
      // Not a reference: the delimiter is copied and the text after it is
      // looked at again, so it may still open a reference.
      out[o++] = c;
      ++i;
      continue;
    }
    const std::size_t n = std::strlen(f->value);
    if (source[p] == delimiter) {
      put(f->value, n);
      i = p + 1;
      continue;
    }
    std::size_t q = p + 1;
    bool right = false;
    if (source[q] == '+') {
      ++q;
    } else if (source[q] == '-') {
      right = true;
      ++q;
    }
    std::size_t j = q;
    while (j < len && source[j] != delimiter && j - q < kWidthChars) ++j;
    std::size_t k = q;
    while (k < j && source[k] == ' ') ++k;
    std::uint64_t width = 0;  // at most 11 digits
    for (; k < j && source[k] >= '0' && source[k] <= '9'; ++k)
      width = width * 10 + static_cast<std::uint64_t>(source[k] - '0');
    if (width >= n) {
      const std::uint64_t spaces = width - n;
      const std::size_t fill = spaces > limit ? limit : static_cast<std::size_t>(spaces);
      if (right) pad(fill);
      put(f->value, n);
      if (!right) pad(fill);
    } else {
      put(f->value, static_cast<std::size_t>(width));
    }
    i = j < len ? j + 1 : j;
  }
  out[o] = '\0';
}

char** fs_catalog_load(const char* path, int* count) {
  if (count) *count = 0;
  FS_TRACE(FS_EV_TRACE_CATALOG, path);
  char* work = static_cast<char*>(std::malloc(kWork));
  if (!work) {
    FS_REPORT(1, FS_EV_NO_MEMORY, "");
    return nullptr;
  }
  fs_stream in{};
  if (!open_with_retries(&in, path, kOpenAttempts)) {
    FS_REPORT(1, FS_EV_OPEN, "");
    std::free(work);
    return nullptr;
  }
  long top = 0;
  std::size_t chars = 0;
  while (fs_stream_gets(work, kFirstPassRead, &in)) {
    chars += std::strlen(work);
    if (work[0] == '@') {
      const long n = marker_number(work + 1);
      if (n > top) top = n;
    }
  }
  fs_stream_close(&in);
  // A file of n characters holds no more than n markers, so numbers up to n
  // cover every catalogue numbered without large gaps. A higher number gets
  // no slot (its text is not stored), so that a few bytes cannot ask for
  // billions of slots.
  if (static_cast<std::size_t>(top) > chars) top = static_cast<long>(chars);

  const std::size_t slots = static_cast<std::size_t>(top) + 1;
  auto* table = static_cast<char**>(std::calloc(slots, sizeof(char*)));
  if (!table) {
    FS_REPORT(1, FS_EV_NO_MEMORY, "");
    std::free(work);
    return nullptr;
  }
  if (!open_with_retries(&in, path, kReopenAttempts)) {
    std::free(table);
    std::free(work);
    return nullptr;
  }

  long current = 0;
  std::size_t pending = 0;
  char piece[200];
  while (fs_stream_gets(piece, kPieceRead, &in)) {
    if (piece[0] == '#') continue;
    if (piece[0] != '@') {
      // A text is kept within the work buffer; what does not fit is cut.
      std::size_t n = std::strlen(piece);
      if (n > kWork - 1 - pending) n = kWork - 1 - pending;
      std::memcpy(work + pending, piece, n);
      pending += n;
      continue;
    }
    if (pending && work[pending - 1] == '\n') --pending;
    work[pending] = '\0';
    if (current <= top) {
      char* text = fs_strdup(work);
      if (!text) {
        FS_REPORT(1, FS_EV_NO_MEMORY, "");
        fs_stream_close(&in);
        fs_catalog_free(table, static_cast<int>(slots));
        std::free(work);
        return nullptr;
      }
      std::free(table[current]);
      table[current] = text;
    }
    current = marker_number(piece + 1);
    pending = 0;
  }
  fs_stream_close(&in);
  std::free(work);
  if (count) *count = static_cast<int>(slots);
  return table;
}

void fs_catalog_free(char** table, int count) {
  if (!table) return;
  for (int i = 0; i < count; ++i) std::free(table[i]);
  std::free(table);
}
