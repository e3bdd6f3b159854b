// qtk pack, the output files.
#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive.h"
#include "qtk.h"

namespace qtk {

OutputSet::OutputSet(std::string first, bool executable) : executable_(executable) {
  mask_ = umask(0);
  umask(mask_);
  names_.push_back(std::move(first));
}

OutputSet::~OutputSet() {
  if (first_) std::fclose(first_);
  if (!committed_)
    for (auto& f : files_) std::remove(f.first.c_str());
}

// Creates a temporary file beside final_path, under a name no one can
// foresee, and exclusively: a file or link planted there is never written
// through. Null with errno set on failure.
std::FILE* OutputSet::create(const std::string& final_path, mode_t mode) {
  const std::size_t slash = final_path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  std::string tmp = dir + "." + base + ".qtk-XXXXXX.part";
  const int fd = mkstemps(tmp.data(), 5);
  if (fd < 0) return nullptr;
  std::FILE* f = fchmod(fd, mode & ~mask_) == 0 ? fdopen(fd, "wb") : nullptr;
  if (!f) {
    const int e = errno;
    close(fd);
    unlink(tmp.c_str());
    errno = e;
    return nullptr;
  }
  files_.emplace_back(tmp, final_path);
  return f;
}

std::FILE* OutputSet::create_first() {
  first_ = create(names_[0], executable_ ? 0777 : 0666);
  if (!first_) fail(printable(names_[0]) + ": cannot create: " + std::strerror(errno));
  return first_;
}

std::FILE* OutputSet::create_next() {
  char next[4096];
  if (sfx_next_volume_name(names_.back().c_str(), static_cast<int>(names_.size()), next, sizeof next) != SFX_OK)
    return nullptr;
  names_.push_back(next);
  return create(next, 0666);
}

void OutputSet::close_first() {
  if (std::fflush(first_) != 0 || fsync(fileno(first_)) != 0)
    fail(printable(names_[0]) + ": write failed: " + std::strerror(errno));
  std::FILE* f = first_;
  first_ = nullptr;
  if (std::fclose(f) != 0) fail(printable(names_[0]) + ": write failed: " + std::strerror(errno));
}

void OutputSet::commit() {
  // Should a rename fail, the volumes already in place go again: they are
  // this run's and would only look like part of an installer.
  for (std::size_t k = files_.size(); k-- > 0;) {
    const auto& [t, f] = files_[k];
    if (std::rename(t.c_str(), f.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      for (std::size_t j = k + 1; j < files_.size(); ++j) std::remove(files_[j].second.c_str());
      fail(printable(f) + ": cannot rename into place: " + why);
    }
  }
  committed_ = true;
}

}  // namespace qtk

