// The reader's calls to the operating system (POSIX).
#include "sys/read_os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qtk.h"
#include "text/text.h"

namespace qtk {

std::FILE* open_volume(const std::string& name, std::uint64_t& size) {
  std::FILE* f = open_read(name);
  if (!f) return nullptr;
  struct stat st{};
  fstat(fileno(f), &st);
  size = static_cast<std::uint64_t>(st.st_size);
  return f;
}

bool file_size(const std::string& name, std::uint64_t& size) {
  struct stat st{};
  if (stat(name.c_str(), &st) != 0) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

int open_output_dir(const std::string& dir) {
  mkdir(dir.c_str(), 0777);
  return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

void close_output_dir(int fd) { close(fd); }

int create_output_file(int root, const std::vector<std::string>& parts, std::string& error) {
  int fd = dup(root);
  for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
    if (mkdirat(fd, parts[k].c_str(), 0777) != 0 && errno != EEXIST) {
      error = "cannot create directory " + printable(parts[k]) + ": " + errno_text();
      close(fd);
      return -1;
    }
    const int sub = openat(fd, parts[k].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    if (sub < 0) {
      error = "cannot enter directory " + printable(parts[k]) + " (a symbolic link or not a directory)";
      return -1;
    }
    fd = sub;
  }
  // Replaced, not written through.
  if (unlinkat(fd, parts.back().c_str(), 0) != 0 && errno != ENOENT && errno != EISDIR) {
    error = "cannot replace the existing file: " + errno_text();
    close(fd);
    return -1;
  }
  const int out = openat(fd, parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (out < 0) error = "cannot create the file: " + errno_text();
  close(fd);
  return out;
}

bool write_output(int fd, const std::uint8_t* p, std::size_t n, std::string& error) {
  while (n) {
    const ssize_t w = write(fd, p, n);
    if (w <= 0) {
      error = "write failed: " + errno_text();
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool set_output_time(int fd, std::int32_t t, std::string& error) {
  const struct timespec ts[2] = {{t, 0}, {t, 0}};
  if (futimens(fd, ts) == 0) return true;
  error = errno_text();
  return false;
}

bool close_output(int fd, std::string& error) {
  if (close(fd) == 0) return true;
  error = "write failed: " + errno_text();
  return false;
}

}  // namespace qtk
