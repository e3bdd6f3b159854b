// qtk's calls to the operating system: POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sys/os.h"

namespace qtk {

std::string errno_text() {
  char buf[256];
  return strerror_r(errno, buf, sizeof buf);
}

namespace {

void fill(const struct stat& st, FileInfo& info) {
  info.kind = S_ISREG(st.st_mode) ? FileInfo::kFile : S_ISDIR(st.st_mode) ? FileInfo::kDir : FileInfo::kOther;
  info.executable = (st.st_mode & 0111) != 0;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mtime = st.st_mtim.tv_sec;
  info.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

bool file_info(const std::string& path, bool follow, FileInfo& info) {
  struct stat st{};
  if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return false;
  info = FileInfo{};
  fill(st, info);
  info.link = S_ISLNK(st.st_mode);
  return true;
}

bool file_info(std::FILE* f, FileInfo& info) {
  struct stat st{};
  if (fstat(fileno(f), &st) != 0) return false;
  info = FileInfo{};
  fill(st, info);
  return true;
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool real_path(const std::string& path, std::string& out) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return false;
  out = real;
  std::free(real);
  return true;
}

bool list_dir(const std::string& path, std::vector<std::string>& names, FileId& id) {
  DIR* d = opendir(path.c_str());
  if (!d) return false;
  struct stat opened{};
  if (fstat(dirfd(d), &opened) != 0) {
    const int e = errno;
    closedir(d);
    errno = e;
    return false;
  }
  id = {static_cast<std::uint64_t>(opened.st_dev), static_cast<std::uint64_t>(opened.st_ino)};
  names.clear();
  while (dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  return true;
}

std::FILE* open_read(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  // A folder opens for reading here and then reads nothing: say what it is.
  struct stat st{};
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    f = nullptr;
    errno = EISDIR;
  }
  return f;
}

bool seek_to(std::FILE* f, std::uint64_t offset) { return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0; }

std::FILE* create_temp(const std::string& final_path, bool executable, std::string& tmp) {
  static const mode_t mask = [] {
    const mode_t m = umask(0);
    umask(m);
    return m;
  }();
  const std::size_t slash = final_path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  tmp = dir + "." + base + ".qtk-XXXXXX.part";
  const int fd = mkstemps(tmp.data(), 5);
  if (fd < 0) return nullptr;
  std::FILE* f = fchmod(fd, (executable ? 0777 : 0666) & ~mask) == 0 ? fdopen(fd, "wb") : nullptr;
  if (!f) {
    const int e = errno;
    close(fd);
    unlink(tmp.c_str());
    errno = e;
  }
  return f;
}

bool flush_to_disk(std::FILE* f) { return std::fflush(f) == 0 && fsync(fileno(f)) == 0; }

bool rename_over(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0; }

std::vector<std::string> program_args(int argc, char** argv) { return {argv + 1, argv + argc}; }

namespace {
void (*g_handler)() = nullptr;
extern "C" void on_signal(int) {
  if (g_handler) g_handler();
}
}  // namespace

void on_interrupt(void (*handler)()) {
  g_handler = handler;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

int stderr_columns() {
  struct winsize ws {};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

std::string env_text(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace qtk
