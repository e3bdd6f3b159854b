// The work directory's lock as both builds take it: going on below a
// holder up the chain, waiting for another installer, saying why after a
// while. What a lock is (a descriptor, a handle) is the platform's.
#include "sfx.h"

namespace {

// Hexadecimal digits of text up to end or stop; false when there are none
// or too many.
bool hex(const char*& p, const char* end, char stop, unsigned long* out) {
  unsigned long v = 0;
  int digits = 0;
  for (; p < end && *p != stop; ++p, ++digits) {
    const char c = *p;
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0 || digits == 2 * static_cast<int>(sizeof v)) return false;
    v = v << 4 | static_cast<unsigned long>(d);
  }
  *out = v;
  return digits > 0;
}

}  // namespace

void sfx_lock_entry(char* out, unsigned long pid, unsigned long lock) {
  const unsigned long parts[2] = {pid, lock};
  for (int k = 0; k < 2; ++k) {
    int shift = 0;
    while (shift + 4 < static_cast<int>(8 * sizeof(unsigned long)) && parts[k] >> (shift + 4)) shift += 4;
    for (; shift >= 0; shift -= 4) *out++ = "0123456789abcdef"[(parts[k] >> shift) & 15];
    *out++ = k == 0 ? '.' : 0;
  }
}

int sfx_lock_answer(unsigned long error) {
  return error == 0 ? SFX_LOCK_TAKEN : error == 32 ? SFX_LOCK_BUSY : SFX_LOCK_NONE;
}

int sfx_lock_wait(const char* held, const SfxLockSeam& seam) {
  // An installer below the holder's setup program: waiting would never end.
  for (const char* p = held; p && *p;) {
    const char* end = p;
    while (*end && *end != ';') ++end;
    unsigned long pid = 0, lock = 0;
    const char* q = p;
    if (hex(q, end, '.', &pid) && q < end && hex(++q, end, ';', &lock) &&
        seam.held_above(seam.ctx, pid, lock))
      return SFX_LOCK_HELD_ABOVE;
    p = *end ? end + 1 : end;
  }
  std::int64_t since = 0;
  bool waited = false, told = false;
  for (;;) {
    const int r = seam.take(seam.ctx);
    if (r != SFX_LOCK_BUSY) return r;
    const std::int64_t now = seam.now();
    if (!waited) {
      waited = true;
      since = now;
      seam.waiting(seam.ctx);
    } else if (!told && now - since >= SFX_LOCK_NOTICE_SECONDS) {
      told = true;
      seam.notice(seam.ctx);
    }
    seam.sleep(200);
  }
}
