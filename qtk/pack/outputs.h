// qtk pack, the output files: volume 1 and the later volumes, each written
// into a temporary file beside its name and renamed into place only when
// the whole set is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace qtk {

class OutputSet {
 public:
  // `first` is volume 1's name; `executable`: volume 1 is made executable
  // (where files have such a mark, as far as the umask allows), the later
  // volumes never are.
  OutputSet(std::string first, bool executable);
  ~OutputSet();  // removes the temporary files unless committed
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Volume 1's file, which the set keeps; fails the pack when it cannot be
  // created.
  std::FILE* create_first();
  // The file of the next volume, named after the one before it; null (errno
  // set) when it cannot be created.
  std::FILE* create_next();
  // Makes volume 1 durable and closes it; fails on error.
  void close_first();
  // Renames the temporary files into place: the later volumes first and
  // volume 1 last, so that only a complete set looks like an installer.
  void commit();

  // The volumes' names, volume 1 first.
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::FILE* create(const std::string& final_path, bool executable);

  bool executable_;
  std::FILE* first_ = nullptr;
  std::vector<std::string> names_;
  std::vector<std::pair<std::string, std::string>> files_;  // temporary, final
  bool committed_ = false;
};

}  // namespace qtk
