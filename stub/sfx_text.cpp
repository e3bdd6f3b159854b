// Bounded texts, the progress percentage, the lock list and the start of
// the setup program: the flow's pure helpers.
#include <cstring>

#include "sfx.h"

namespace {
void copy_out(char* out, std::size_t cap, std::size_t& n, bool& cut, const char* s) {
  for (; *s; ++s) {
    if (n + 1 >= cap) {
      cut = true;
      return;
    }
    out[n++] = *s;
  }
}
}  // namespace

bool sfx_format(char* out, std::size_t cap, const char* tmpl, const char* arg) {
  if (cap == 0) return false;
  std::size_t n = 0;
  bool cut = false;
  bool used = false;
  char one[2] = {0, 0};
  for (const char* t = tmpl; *t && !cut; ++t) {
    if (t[0] == '%' && t[1] == 's' && !used) {
      copy_out(out, cap, n, cut, arg ? arg : "");
      used = true;
      ++t;
    } else if (t[0] == '%' && t[1] == '%') {
      one[0] = '%';
      copy_out(out, cap, n, cut, one);
      ++t;
    } else {
      one[0] = *t;
      copy_out(out, cap, n, cut, one);
    }
  }
  out[n] = 0;
  if (cut && n >= 3) std::memcpy(out + n - 3, "...", 3);  // show that the text goes on
  return !cut;
}

bool sfx_join(char* out, std::size_t cap, const char* a, const char* b, const char* c,
              const char* d) {
  const std::size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c),
                    ld = std::strlen(d);
  if (cap == 0) return false;
  if (la + lb + lc + ld + 1 > cap) {
    out[0] = 0;
    return false;
  }
  // The parts may not overlap out, except that a may be out itself.
  std::memmove(out, a, la);
  std::memcpy(out + la, b, lb);
  std::memcpy(out + la + lb, c, lc);
  std::memcpy(out + la + lb + lc, d, ld);
  out[la + lb + lc + ld] = 0;
  return true;
}

int sfx_percent(std::int64_t position, std::int64_t base, std::int64_t end) {
  const std::int64_t span = end - base;
  // An empty span (a later volume of size 0) is a volume read in full.
  if (span <= 0) return 100;
  const std::int64_t p = (position - base) * 100 / span;
  if (p < 0) return 0;
  if (p > 100) return 100;
  return static_cast<int>(p);
}


bool sfx_list_has(const char* list, const char* key) {
  const std::size_t n = std::strlen(key);
  if (!list || n == 0) return false;
  for (const char* p = list;;) {
    const char* e = std::strchr(p, ';');
    const std::size_t len = e ? static_cast<std::size_t>(e - p) : std::strlen(p);
    if (len == n && std::memcmp(p, key, n) == 0) return true;
    if (!e) return false;
    p = e + 1;
  }
}

bool sfx_start_setup(const void* program, sfx_start_fn direct, sfx_start_fn shell, int* code) {
  const unsigned long error = direct(program, code);
  if (error == SFX_ELEVATION_REQUIRED) return shell(program, code) == 0;
  return error == 0;
}
