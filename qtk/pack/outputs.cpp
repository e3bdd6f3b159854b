// qtk pack, the output files.
#include "pack/outputs.h"

#include "archive.h"
#include "sys/os.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

OutputSet::OutputSet(std::string first, bool executable) : executable_(executable) {
  names_.push_back(std::move(first));
}

OutputSet::~OutputSet() {
  if (first_) std::fclose(first_);
  if (!committed_)
    for (auto& f : files_) remove_file(f.first);
}

std::FILE* OutputSet::create(const std::string& final_path, bool executable) {
  std::string tmp;
  std::FILE* f = create_temp(final_path, executable, tmp);
  if (f) files_.emplace_back(tmp, final_path);
  return f;
}

std::FILE* OutputSet::create_first() {
  first_ = create(names_[0], executable_);
  if (!first_) fail(printable(names_[0]) + ": cannot create: " + errno_text());
  return first_;
}

std::FILE* OutputSet::create_next() {
  char next[4096];
  if (sfx_next_volume_name(names_.back().c_str(), static_cast<int>(names_.size()), next, sizeof next) != SFX_OK)
    return nullptr;
  names_.push_back(next);
  return create(next, false);
}

void OutputSet::close_first() {
  if (!flush_to_disk(first_)) fail(printable(names_[0]) + ": write failed: " + errno_text());
  std::FILE* f = first_;
  first_ = nullptr;
  if (std::fclose(f) != 0) fail(printable(names_[0]) + ": write failed: " + errno_text());
}

void OutputSet::commit() {
  // Should a rename fail, the volumes already in place go again: they are
  // this run's and would only look like part of an installer.
  for (std::size_t k = files_.size(); k-- > 0;) {
    const auto& [t, f] = files_[k];
    if (!rename_over(t, f)) {
      const std::string why = errno_text();
      for (std::size_t j = k + 1; j < files_.size(); ++j) remove_file(files_[j].second);
      fail(printable(f) + ": cannot rename into place: " + why);
    }
  }
  committed_ = true;
}

}  // namespace qtk
