// The installer's control file, read as the stub reads it: through the
// services library's configuration reader.
#include <memory>

#include "fs_code.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

bool control_file_run(const std::string& content, std::string& run) {
  const std::unique_ptr<fs_ini_entry, void (*)(fs_ini_entry*)> table(fs_ini_parse(content.data(), content.size()),
                                                                      fs_ini_free);
  if (!table) throw std::bad_alloc();
  const fs_ini_entry* e = fs_ini_find(table.get(), "system", "run");
  if (!e) return false;
  run = e->value;
  return true;
}

}  // namespace qtk
