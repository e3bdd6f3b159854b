// Sizes and times: parsed from options, formatted for people.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "qtk.h"
#include "text/text.h"

namespace qtk {

std::uint64_t parse_size(const std::string& text) {
  std::string t = fold_case(text);
  // The usual diskettes, by their common names.
  static const struct { const char* name; std::uint64_t bytes; } disks[] = {
      {"360K", 368640}, {"720K", 737280}, {"1.2M", 1228800}, {"1.2MB", 1228800},
      {"1.44M", 1474560}, {"1.44MB", 1474560}, {"DMF", 1720320}, {"1.68M", 1720320},
      {"2.88M", 2949120}, {"2.88MB", 2949120}, {"FLOPPY", 1474560}, {"DISKETTE", 1474560},
  };
  for (const auto& d : disks)
    if (t == d.name) return d.bytes;
  std::size_t digits = 0;
  while (digits < t.size() && t[digits] >= '0' && t[digits] <= '9') ++digits;
  if (digits == 0 || digits > 15) usage_error("bad size '" + text + "'");
  const std::uint64_t n = std::stoull(t.substr(0, digits));
  const std::string unit = t.substr(digits);
  std::uint64_t mul = 1;
  if (unit.empty() || unit == "B") mul = 1;
  else if (unit == "K" || unit == "KB" || unit == "KIB") mul = 1024;
  else if (unit == "M" || unit == "MB" || unit == "MIB") mul = 1024 * 1024;
  else if (unit == "G" || unit == "GB" || unit == "GIB") mul = 1024ull * 1024 * 1024;
  else usage_error("bad size '" + text + "' (use bytes, or K, M, G, or 360K, 720K, 1.2M, 1.44M, DMF, 2.88M)");
  // A product past 64 bits would wrap round to some other, smaller size.
  if (n > UINT64_MAX / mul) usage_error("size '" + text + "' is too large");
  return n * mul;
}

unsigned parse_count(const std::string& text, const char* option, unsigned lo, unsigned hi) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || text[0] == '-' || v < lo || v > hi)
    usage_error(std::string(option) + " takes a number from " + std::to_string(lo) + " to " +
                std::to_string(hi) + ", not '" + text + "'");
  return static_cast<unsigned>(v);
}

std::string human_bytes(std::uint64_t n) {
  char b[32];
  if (n < 1024) std::snprintf(b, sizeof b, "%" PRIu64 " B", n);
  else if (n < 1024 * 1024) std::snprintf(b, sizeof b, "%.1f KiB", static_cast<double>(n) / 1024);
  else if (n < 1024ull * 1024 * 1024)
    std::snprintf(b, sizeof b, "%.1f MiB", static_cast<double>(n) / (1024.0 * 1024));
  else std::snprintf(b, sizeof b, "%.2f GiB", static_cast<double>(n) / (1024.0 * 1024 * 1024));
  return b;
}

std::string format_time(std::int64_t t) {
  // The proleptic Gregorian calendar by arithmetic alone, the same on every
  // platform and for times before 1970: days since 1970-01-01 to a date in
  // eras of 400 years (146097 days) that begin on 1 March.
  const std::int64_t secs_of_day = ((t % 86400) + 86400) % 86400;
  const std::int64_t days = (t - secs_of_day) / 86400 + 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;                                // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);               // [0, 365]
  const std::int64_t mp = (5 * doy + 2) / 153;                                    // [0, 11], March first
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2);
  char b[96];
  std::snprintf(b, sizeof b, "%" PRId64 "-%02d-%02d %02d:%02d:%02d", year, static_cast<int>(month),
                static_cast<int>(day), static_cast<int>(secs_of_day / 3600), static_cast<int>(secs_of_day / 60 % 60),
                static_cast<int>(secs_of_day % 60));
  return b;
}

}  // namespace qtk
