// Bounded text helpers shared by the services.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "fs_internal.h"

int fs_build(char* out, std::size_t room, ...) {
  if (room == 0) return 1;
  std::size_t len = 0;
  int cut = 0;
  std::va_list ap;
  va_start(ap, room);
  for (const char* part = va_arg(ap, const char*); part; part = va_arg(ap, const char*)) {
    std::size_t n = std::strlen(part);
    if (n > room - 1 - len) {
      n = room - 1 - len;
      cut = 1;
    }
    std::memcpy(out + len, part, n);
    len += n;
  }
  va_end(ap);
  out[len] = '\0';
  return cut;
}

void fs_copy(char* out, std::size_t room, const char* text) {
  if (room == 0) return;
  std::size_t n = text ? std::strlen(text) : 0;
  if (n > room - 1) n = room - 1;
  if (n) std::memcpy(out, text, n);
  out[n] = '\0';
}

int fs_decimal(char* out, unsigned v, int min_digits) {
  char digits[12];
  int n = 0;
  for (; v != 0 || n < min_digits || n == 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  for (int k = 0; k < n; ++k) out[k] = digits[n - 1 - k];
  out[n] = '\0';
  return n;
}

int fs_casecmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const int ca = fs_upper(static_cast<unsigned char>(*a));
    const int cb = fs_upper(static_cast<unsigned char>(*b));
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

char* fs_strdup(const char* text) {
  const std::size_t n = std::strlen(text) + 1;
  char* p = static_cast<char*>(std::malloc(n));
  if (p) std::memcpy(p, text, n);
  return p;
}
