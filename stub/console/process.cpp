// The console build's processes: the work directory's lock, the setup
// program's start and end, the end of the process.
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "sfx_platform.h"

extern char** environ;

char sfx_con_lock_entry[2 * SFX_PATH_ROOM];

namespace {

struct DirLock {
  const char* dir;
  int fd;  // the directory, open
  struct stat id;
};

// The lock is flock(2) on the directory itself: nothing is added to it, and
// the key is the directory's identity, whatever path names it. Its
// descriptor is left open across exec, so that the setup program (the only
// program this process starts) holds the lock with it: the directory stays
// locked until both have ended, after Cancel or a kill as well.
int take(void* ctx) {
  auto* l = static_cast<DirLock*>(ctx);
  if (::flock(l->fd, LOCK_EX | LOCK_NB) == 0) return SFX_LOCK_TAKEN;
  return errno == EWOULDBLOCK || errno == EINTR ? SFX_LOCK_BUSY : SFX_LOCK_NONE;
}

// An inherited descriptor of this directory through which the lock is held
// (flock on it succeeds only so, or when nobody held it: then it is ours
// now). A variable handed down from a holder that has ended names no such
// descriptor in an unrelated process.
bool held_above(void* ctx, unsigned long, unsigned long lock) {
  auto* l = static_cast<DirLock*>(ctx);
  struct stat st;
  const int fd = static_cast<int>(lock);
  return lock < 0x10000 && fd != l->fd && ::fstat(fd, &st) == 0 && st.st_dev == l->id.st_dev &&
         st.st_ino == l->id.st_ino && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

void waiting(void* ctx) {
  sfx_con_print_line("waiting: another installer works in ", static_cast<DirLock*>(ctx)->dir, "", "");
}

void notice(void* ctx) {
  sfx_show_message(SFX_CAP_PROBLEM, SFX_MSG_OPEN_WRITE, static_cast<DirLock*>(ctx)->dir, false);
}

void pause_ms(unsigned ms) { sfx_platform_sleep(ms); }

}  // namespace

void sfx_platform_lock_work_dir(const char* dir) {
  DirLock l{dir, ::open(dir, O_RDONLY | O_DIRECTORY), {}};
  if (l.fd < 0) return;
  if (::fstat(l.fd, &l.id) != 0) {
    ::close(l.fd);
    return;
  }
  const char* held = std::getenv(SFX_LOCK_VARIABLE);
  const SfxLockSeam seam{&l, take, held_above, waiting, sfx_platform_now, pause_ms, notice};
  if (sfx_lock_wait(held, seam) != SFX_LOCK_TAKEN) {
    ::close(l.fd);  // held up the chain already, or no lock to be had
    return;
  }
  // Ours joins the list that the setup program gets.
  char entry[40];
  sfx_lock_entry(entry, static_cast<unsigned long>(::getpid()), static_cast<unsigned long>(l.fd));
  const char* sep = held && held[0] ? ";" : "";
  if (!sfx_join(sfx_con_lock_entry, sizeof sfx_con_lock_entry, SFX_LOCK_VARIABLE, "=", held ? held : "", sep) ||
      !sfx_join(sfx_con_lock_entry, sizeof sfx_con_lock_entry, sfx_con_lock_entry, entry))
    sfx_join(sfx_con_lock_entry, sizeof sfx_con_lock_entry, SFX_LOCK_VARIABLE, "=", entry);
}

bool sfx_platform_run_and_wait(const char* program, int* code) {
  char host[SFX_PATH_ROOM];
  program = sfx_con_host_path(program, host);
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
    if (!(ours && sfx_con_lock_entry[0])) env[m++] = environ[i];
  }
  if (sfx_con_lock_entry[0]) env[m++] = sfx_con_lock_entry;
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

void sfx_platform_exit(int code) {
  // Open output files are left as far as they got, with their data.
  std::fflush(nullptr);
  ::_exit(code);
}

