// The console build's window: the same flow on a terminal. Message boxes
// and the status box are printed, a box waits for a line on standard input
// (as the user's OK; with boxes of both threads open, lines answer them in
// the order in which they were shown), Ctrl+C is the progress window's
// Cancel button.
//
// For the tests: QTKSFX_NO_WINDOW=1 keeps the "window" from ever
// appearing, QTKSFX_NO_PROGRESS_BAR=1 makes its progress bar fail, and
// QTKSFX_FAST_CLOCK=1 lets one second pass per look at the clock.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "fs_code.h"
#include "sfx_platform.h"
#include "sfx_texts.h"

namespace {

// 0 English, 1 Czech: set by sfx_platform_init, before the UI thread starts,
// and only read after that.
int g_language = 0;
int g_last_percent = -1;
bool g_stdin_ended = false;

// Boxes take turns at standard input: each takes a ticket when it is shown,
// and the box whose ticket is being served reads the next line.
pthread_mutex_t g_box_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_box_turn = PTHREAD_COND_INITIALIZER;
unsigned g_box_next = 0;
unsigned g_box_serving = 0;

void write_all(int fd, const char* s, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, s, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    s += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Appends s to buf (room cap, length n), flattening CR LF into " / ".
void append(char* buf, std::size_t cap, std::size_t& n, const char* s) {
  for (; *s && n + 1 < cap; ++s) {
    if (*s == '\r') continue;
    if (*s == '\n') {
      for (const char* r = " / "; *r && n + 1 < cap; ++r) buf[n++] = *r;
      continue;
    }
    buf[n++] = *s;
  }
  buf[n] = 0;
}

}  // namespace

void sfx_con_print_line(const char* a, const char* b, const char* c, const char* d) {
  char line[4 * SFX_PATH_ROOM];
  std::size_t n = 0;
  append(line, sizeof line, n, a);
  append(line, sizeof line, n, b);
  append(line, sizeof line, n, c);
  append(line, sizeof line, n, d);
  if (n + 1 < sizeof line) line[n++] = '\n';
  write_all(1, line, n);  // one write, so that the two threads' lines never mix
}

namespace {

int language() { return g_language; }

// The "UI thread": shows the window, then waits for Ctrl+C.
void* ui_thread(void*) {
  if (sfx_con_env_set("QTKSFX_NO_WINDOW")) return nullptr;
  sfx_dialog.store(reinterpret_cast<void*>(1), std::memory_order_release);
  sfx_con_print_line("window: ", sfx_dialog_texts[language()][0], "", "");
  if (sfx_con_env_set("QTKSFX_NO_PROGRESS_BAR")) {
    sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_NO_WINDOW, "", false);
    sfx_show_message(SFX_CAP_ERROR, SFX_MSG_CLOSING, "", true);
    sfx_platform_exit(1);
  }
  sfx_progress_bar.store(reinterpret_cast<void*>(1), std::memory_order_release);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0 && sig == SIGINT) sfx_cancel();
  }
}

}  // namespace

void sfx_platform_init() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  g_language = 0;
  for (const char* name : names) {
    const char* v = std::getenv(name);
    if (v && v[0]) {
      g_language = (v[0] == 'c' && v[1] == 's') ? 1 : 0;
      break;
    }
  }
  // Ctrl+C goes to the UI thread alone (sigwait there).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool sfx_platform_start_ui() {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ui_thread, nullptr) != 0) return false;
  pthread_detach(thread);
  return true;
}

void sfx_platform_sleep(unsigned milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::int64_t sfx_platform_now() {
  static std::int64_t fake = 0;
  if (sfx_con_env_set("QTKSFX_FAST_CLOCK")) return ++fake;
  return static_cast<std::int64_t>(::time(nullptr));
}

std::size_t sfx_platform_load_string(int id, char* out, std::size_t cap) {
  if (id < 1 || id > 31 || cap == 0) return 0;
  const char* s = sfx_texts[language()][id];
  std::size_t n = std::strlen(s);
  if (n > cap - 1) n = cap - 1;
  std::memcpy(out, s, n);
  out[n] = 0;
  return n;
}

void sfx_platform_message_box(const char* caption, const char* text, bool info) {
  pthread_mutex_lock(&g_box_lock);
  const unsigned ticket = g_box_next++;
  sfx_con_print_line(info ? "box information: " : "box error: ", caption, ": ", text);
  while (ticket != g_box_serving) pthread_cond_wait(&g_box_turn, &g_box_lock);
  pthread_mutex_unlock(&g_box_lock);
  // The user's OK is a line on standard input. Without input left, a box
  // closes at once; repeated boxes then pause so that a prompt loop does not
  // race (Ctrl+C still cancels).
  bool answered = false;
  while (!g_stdin_ended && !answered) {
    char c = 0;
    const ssize_t r = ::read(0, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) g_stdin_ended = true;
    answered = r > 0 && c == '\n';
  }
  if (!answered) sfx_platform_sleep(100);
  pthread_mutex_lock(&g_box_lock);
  ++g_box_serving;
  pthread_cond_broadcast(&g_box_turn);
  pthread_mutex_unlock(&g_box_lock);
}

void sfx_platform_set_status(const char* text) {
  if (sfx_dialog.load(std::memory_order_acquire)) sfx_con_print_line("status: ", text, "", "");
}

void sfx_platform_set_progress(int percent) {
  if (!sfx_progress_bar.load(std::memory_order_acquire) || percent == g_last_percent) return;
  g_last_percent = percent;
  char num[12];
  fs_decimal(num, static_cast<unsigned>(percent), 1);
  sfx_con_print_line("progress: ", num, "%", "");
}

int main(int argc, char** argv) {
  (void)argc;
  return sfx_run(argv[0]);
}
