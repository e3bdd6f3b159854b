// The console: interruption, warnings and the progress bar.
#include <algorithm>
#include <cstdio>
#include <ostream>

#include "sys/os.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

std::atomic<bool> g_interrupted{false};

void check_interrupted() {
  if (g_interrupted.load()) fail("interrupted");
}

void Console::warn(const std::string& m) const {
  if (!quiet) err << "qtk: warning: " << m << '\n';
}

// ---- progress ------------------------------------------------------------------

Progress::Progress(const Console& con, std::string label, std::uint64_t total)
    : con_(con), label_(std::move(label)), total_(total) {
  start_ = last_ = std::chrono::steady_clock::now();
}

Progress::~Progress() {
  if (shown_ && !finished_) con_.err << '\n' << std::flush;
}

void Progress::add(std::uint64_t n) {
  done_ += n;
  if (!con_.progress) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  draw(false);
}

void Progress::done() {
  if (con_.progress && shown_ && !finished_) {
    draw(true);
    con_.err << '\n' << std::flush;
  }
  finished_ = true;
}

void Progress::draw(bool last) {
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = secs > 0 ? static_cast<double>(done_) / secs : 0;
  const double frac =
      total_ ? std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_)) : 1.0;
  constexpr int kWidth = 24;
  const int fill = static_cast<int>(frac * kWidth);
  std::string bar(static_cast<std::size_t>(fill), '#');
  bar.resize(kWidth, '.');
  char eta[32] = "";
  if (!last && rate > 0 && total_ > done_) {
    const auto left = static_cast<long>((static_cast<double>(total_ - done_)) / rate);
    std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
  }
  char line[200];
  std::snprintf(line, sizeof line, "%-8s [%s] %3d%%  %s / %s  %s/s%s", label_.c_str(), bar.c_str(),
                static_cast<int>(frac * 100), human_bytes(done_).c_str(), human_bytes(total_).c_str(),
                human_bytes(static_cast<std::uint64_t>(rate)).c_str(), eta);
  // Within the terminal's width, or the line would wrap and not be redrawn
  // in place.
  std::string text = line;
  if (const int columns = stderr_columns(); columns > 1 && text.size() >= static_cast<std::size_t>(columns))
    text.resize(static_cast<std::size_t>(columns - 1));
  con_.err << '\r' << text << "\033[K" << std::flush;
  shown_ = true;
}

}  // namespace qtk
