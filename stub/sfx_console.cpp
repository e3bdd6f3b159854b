// The console build of the stub: the same flow on a terminal. Message boxes
// and the status box are printed, a box waits for a line on standard input
// (as the user's OK; with boxes of both threads open, lines answer them in
// the order in which they were shown), Ctrl+C is the progress window's
// Cancel button.
//
// For the tests: QTKSFX_SYSTEM_DIR stands in for the Windows directory,
// QTKSFX_NO_WINDOW=1 keeps the "window" from ever appearing,
// QTKSFX_NO_PROGRESS_BAR=1 makes its progress bar fail, and
// QTKSFX_FAST_CLOCK=1 lets one second pass per look at the clock.
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/file.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs_code.h"
#include "sfx.h"
#include "sfx_platform.h"
#include "sfx_texts.h"

extern char** environ;

namespace {

int g_language = -1;    // 0 English, 1 Czech
int g_last_percent = -1;
bool g_stdin_ended = false;

// Boxes take turns at standard input: each takes a ticket when it is shown,
// and the box whose ticket is being served reads the next line.
pthread_mutex_t g_box_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_box_turn = PTHREAD_COND_INITIALIZER;
unsigned g_box_next = 0;
unsigned g_box_serving = 0;

// Windows takes `\` for a separator as well as `/`: below the work
// directory (a member's directory such as ".\DATA", the setup program's
// path) it becomes `/` here. The work directory is the system's own and
// keeps its bytes.
const char* host_path(const char* path, char (&out)[SFX_PATH_ROOM]) {
  const std::size_t base = std::strlen(sfx_work_dir);
  if (std::strncmp(path, sfx_work_dir, base) != 0 || std::strlen(path) >= sizeof out) return path;
  std::strcpy(out, path);
  for (char* p = out + base; *p; ++p)
    if (*p == '\\') *p = '/';
  return out;
}

bool env_set(const char* name) {
  const char* v = std::getenv(name);
  return v && v[0] && std::strcmp(v, "0") != 0;
}

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

void print_line(const char* a, const char* b, const char* c, const char* d) {
  char line[4 * SFX_PATH_ROOM];
  std::size_t n = 0;
  append(line, sizeof line, n, a);
  append(line, sizeof line, n, b);
  append(line, sizeof line, n, c);
  append(line, sizeof line, n, d);
  if (n + 1 < sizeof line) line[n++] = '\n';
  write_all(1, line, n);  // one write, so that the two threads' lines never mix
}

int language() {
  if (g_language < 0) {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    g_language = 0;
    for (const char* name : names) {
      const char* v = std::getenv(name);
      if (v && v[0]) {
        g_language = (v[0] == 'c' && v[1] == 's') ? 1 : 0;
        break;
      }
    }
  }
  return g_language;
}

// The "UI thread": shows the window, then waits for Ctrl+C.
void* ui_thread(void*) {
  if (env_set("QTKSFX_NO_WINDOW")) return nullptr;
  sfx_dialog = reinterpret_cast<void*>(1);
  print_line("window: ", sfx_dialog_texts[language()][0], "", "");
  if (env_set("QTKSFX_NO_PROGRESS_BAR")) {
    sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_NO_WINDOW, "", false);
    sfx_show_message(SFX_CAP_ERROR, SFX_MSG_CLOSING, "", true);
    sfx_platform_exit(1);
  }
  sfx_progress_bar = reinterpret_cast<void*>(1);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) == 0 && sig == SIGINT) sfx_cancel();
  }
}

// The work directories held up the chain, ours last, as the setup
// program's environment gets them ("QTKSFX_WORK_LOCK=key;key"); empty
// while this installer holds no lock.
char g_lock_entry[2 * SFX_PATH_ROOM];

std::size_t from_env(const char* name, char* out, std::size_t cap) {
  const char* v = std::getenv(name);
  if (!v) return 0;
  const std::size_t n = std::strlen(v);
  if (n == 0 || n + 1 > cap) return 0;
  std::memcpy(out, v, n + 1);
  return n;
}

}  // namespace

const bool sfx_platform_names_ignore_case = false;

void sfx_platform_init() {
  // Ctrl+C goes to the UI thread alone (sigwait there).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void sfx_platform_module_path(char* out, std::size_t cap) {
  const ssize_t n = ::readlink("/proc/self/exe", out, cap - 1);
  out[n > 0 ? n : 0] = 0;
}

std::size_t sfx_platform_temp_dir(char* out, std::size_t cap) {
  if (!std::getenv("TMPDIR")) {
    std::strcpy(out, "/tmp/");
    return 5;
  }
  return from_env("TMPDIR", out, cap);
}

std::size_t sfx_platform_windows_dir(char* out, std::size_t cap) {
  return from_env("QTKSFX_SYSTEM_DIR", out, cap);
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
  if (env_set("QTKSFX_FAST_CLOCK")) return ++fake;
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
  print_line(info ? "box information: " : "box error: ", caption, ": ", text);
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
  if (sfx_dialog) print_line("status: ", text, "", "");
}

void sfx_platform_set_progress(int percent) {
  if (!sfx_progress_bar || percent == g_last_percent) return;
  g_last_percent = percent;
  char num[12];
  fs_decimal(num, static_cast<unsigned>(percent), 1);
  print_line("progress: ", num, "%", "");
}

bool sfx_platform_make_dir(const char* path) {
  char host[SFX_PATH_ROOM];
  path = host_path(path, host);
  if (::mkdir(path, 0777) == 0) return true;
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool sfx_platform_is_link(const char* path) {
  char host[SFX_PATH_ROOM];
  path = host_path(path, host);
  struct stat st;
  return ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
}

std::FILE* sfx_platform_create_file(const char* path) {
  char host[SFX_PATH_ROOM];
  path = host_path(path, host);
  // What is not a plain file of its own goes first: a symbolic link, a hard
  // link to a file elsewhere, a pipe. A plain file is overwritten, so that a
  // read-only one is refused, as on Windows.
  struct stat st;
  if (::lstat(path, &st) == 0 && !S_ISDIR(st.st_mode) && !(S_ISREG(st.st_mode) && st.st_nlink == 1))
    ::unlink(path);
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  // A link put there in the meantime is not written through either.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    ::unlink(path);
    fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
  }
  std::FILE* f = ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "wb") : nullptr;
  if (!f) ::close(fd);
  return f;
}

bool sfx_platform_set_file_time(const char* path, std::int32_t seconds) {
  char host[SFX_PATH_ROOM];
  path = host_path(path, host);
  // Opened for reading and writing, as the Win32 program does.
  const int fd = ::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  const bool ok = ::futimens(fd, times) == 0;
  ::close(fd);
  return ok;
}

std::FILE* sfx_platform_open_volume(const char* path) { return std::fopen(path, "rb"); }

bool sfx_platform_name_text(const char* name, char* out, std::size_t cap) {
  if (sfx_join(out, cap, name, "")) return true;
  out[0] = 0;
  return false;
}

void sfx_platform_lock_work_dir(const char* dir) {
  // A lock on the directory itself: nothing is added to it. The key is the
  // directory's identity, whatever path names it.
  const int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return;
  }
  char key[48];
  std::snprintf(key, sizeof key, "%llx-%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  const char* held = std::getenv(SFX_LOCK_VARIABLE);
  if (sfx_list_has(held, key)) {
    ::close(fd);  // our own setup program's installer: the lock is ours already
    return;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  // Held until the process ends; the descriptor is not inherited.
  const char* sep = held && held[0] ? ";" : "";
  if (!sfx_join(g_lock_entry, sizeof g_lock_entry, SFX_LOCK_VARIABLE, "=", held ? held : "", sep) ||
      !sfx_join(g_lock_entry, sizeof g_lock_entry, g_lock_entry, key))
    sfx_join(g_lock_entry, sizeof g_lock_entry, SFX_LOCK_VARIABLE, "=", key);
}

void sfx_platform_change_dir(const char* path) {
  char host[SFX_PATH_ROOM];
  path = host_path(path, host);
  if (::chdir(path) != 0) {
    // Ignored: the setup program then starts in the current directory.
  }
}

bool sfx_platform_run_and_wait(const char* program, int* code) {
  char host[SFX_PATH_ROOM];
  program = host_path(program, host);
  // Extracted files carry no mode bits; the setup program is made runnable
  // for its owner, as it would be on Windows.
  struct stat st;
  if (::stat(program, &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IXUSR))
    ::chmod(program, (st.st_mode & 07777) | S_IXUSR);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  char* argv[2] = {const_cast<char*>(program), nullptr};
  // The inherited environment, and the lock that this installer holds.
  std::size_t n = 0;
  while (environ[n]) ++n;
  char** env = static_cast<char**>(std::calloc(n + 2, sizeof(char*)));
  if (!env) return false;
  std::size_t m = 0;
  const std::size_t name_len = sizeof SFX_LOCK_VARIABLE - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const bool ours = std::strncmp(environ[i], SFX_LOCK_VARIABLE, name_len) == 0 &&
                      environ[i][name_len] == '=';
    if (!(ours && g_lock_entry[0])) env[m++] = environ[i];
  }
  if (g_lock_entry[0]) env[m++] = g_lock_entry;
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program, nullptr, &attr, argv, env);
  posix_spawnattr_destroy(&attr);
  std::free(env);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // A program ended by a signal fails as a shell reports it.
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

unsigned sfx_platform_processors() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 1 ? static_cast<unsigned>(n) : 1u;
}

namespace {
struct ThreadStart {
  void (*run)(void*);
  void* arg;
};
void* thread_main(void* p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  std::free(p);
  start.run(start.arg);
  return nullptr;
}
}  // namespace

bool sfx_platform_start_thread(void (*run)(void*), void* arg) {
  // Started from the main thread, the thread inherits its mask: Ctrl+C
  // stays with the UI thread.
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (!start) return false;
  *start = ThreadStart{run, arg};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_main, start) != 0) {
    std::free(start);
    return false;
  }
  pthread_detach(thread);
  return true;
}

void* sfx_platform_semaphore(unsigned initial) {
  auto* s = static_cast<sem_t*>(std::malloc(sizeof(sem_t)));
  if (s && sem_init(s, 0, initial) != 0) {
    std::free(s);
    s = nullptr;
  }
  return s;
}

void sfx_platform_wait(void* semaphore) {
  while (sem_wait(static_cast<sem_t*>(semaphore)) != 0 && errno == EINTR) {
  }
}

void sfx_platform_post(void* semaphore) { sem_post(static_cast<sem_t*>(semaphore)); }

void sfx_platform_exit(int code) {
  // Open output files are left as far as they got, with their data.
  std::fflush(nullptr);
  ::_exit(code);
}

int main(int argc, char** argv) {
  (void)argc;
  return sfx_run(argv[0]);
}
