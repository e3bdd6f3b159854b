// The installer's control file, read as the stub reads it: through the
// services library's configuration reader.
#include <memory>

#include "fs_code.h"
#include "record.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

bool control_file_value(const std::string& content, const char* key, std::string& value) {
  const std::unique_ptr<fs_ini_entry, void (*)(fs_ini_entry*)> table(fs_ini_parse(content.data(), content.size()),
                                                                      fs_ini_free);
  if (!table) throw std::bad_alloc();
  const fs_ini_entry* e = fs_ini_find(table.get(), "system", key);
  if (!e) return false;
  value = e->value;
  return true;
}

bool control_file_run(const std::string& content, std::string& run) {
  return control_file_value(content, "run", run);
}

bool control_file_run_utf8(const std::string& content, std::string& run) {
  return control_file_value(content, SFX_RUN_UTF8_KEY, run) && sfx_utf8_valid(run.data(), run.size());
}

}  // namespace qtk
