// qtk pack, scanning the tree.
#include "pack/scan.h"

#include <algorithm>
#include <climits>

#include "archive.h"
#include "text/text.h"

namespace qtk {
namespace {

// The stub forms "<work dir><dir>/<name>". With a temporary directory of up
// to 100 characters, a path below it of at most 159 keeps the whole within
// Windows' 259-character limit for file names (and far within the stub's
// 1023-character buffers).
constexpr std::size_t kRelPathLimit = 159;

// COM0 and LPT0 are reserved names on Windows as well, with or without an
// extension, although the stub can create them on the systems it was made for.
bool reserved_zero_device(const std::string& name) {
  std::size_t base = name.find('.');
  if (base == std::string::npos) base = name.size();
  while (base > 0 && name[base - 1] == ' ') --base;
  const std::string b = fold_case(name.substr(0, base));
  return b == "COM0" || b == "LPT0";
}

}  // namespace

SfxRecordOut member_record(const Member& m, unsigned codepage, std::uint32_t crc) {
  SfxRecordOut r;
  if (m.udir != m.dir) r.dir = m.udir.c_str();
  if (m.uname != m.name) r.name = m.uname.c_str();
  r.codepage = codepage;
  r.crc = crc;
  return r;
}

void check_fit(const Member& m, unsigned codepage) {
  const SfxRecordOut r = member_record(m, codepage, 0);
  const std::size_t need = m.dir.size() + 1 + m.name.size() + 1 + sfx_record_size(r) + 4;
  if (m.dir.size() >= SFX_DIR_FIELD || m.name.size() >= SFX_NAME_FIELD || need > SFX_MEMBER_HEADER_SIZE)
    fail(m.shown + ": its names and member record need " + std::to_string(need) +
         " bytes of the member header, which holds " + std::to_string(SFX_MEMBER_HEADER_SIZE) +
         " (a directory field of " + std::to_string(SFX_DIR_FIELD) + ", a name field of " +
         std::to_string(SFX_NAME_FIELD) + ", the time 4)");
}

void TreeScan::leave_out_outputs(const std::string& output) {
  std::string name = output;
  for (int v = 1; v < 1000; ++v) {
    FileInfo st;
    if (!file_info(name, true, st)) break;
    skip_.insert(st.id);
    char next[4096];
    if (sfx_next_volume_name(name.c_str(), v, next, sizeof next) != SFX_OK) break;
    name = next;
  }
}

void TreeScan::open_root(const std::string& dir) {
  if (!file_info(dir, true, root_st_) || root_st_.kind != FileInfo::kDir) fail(printable(dir) + ": not a directory");
  if (!real_path(dir, root_real_)) fail(printable(dir) + ": " + errno_text());
  root_ = dir;
}

void TreeScan::scan() {
  ancestors_.push_back(root_st_.id);
  walk(root_, "", ".", ".", root_st_);
  ancestors_.pop_back();
}

void TreeScan::add_generated(Member m) {
  auto pos = members_.begin();
  while (pos != members_.end() && pos->dir == "." && pos->name < m.name) ++pos;
  note_name(m.udir, m.uname, m.shown);
  fields_.insert(path_key(cp_, m.dir + "\\" + m.name));
  members_.insert(pos, std::move(m));
}

// A name's part of the header's fields, below the fields' directory dir_cp:
// what the code page makes of it, unique among the fields' paths as
// Windows compares them (a '_' more before the extension where another
// name came out the same), and such that a reader that judges the bytes as
// they stand takes it.
std::string TreeScan::field(const std::string& dir_cp, const std::string& u, const std::string& shown) {
  std::string f = cp_.field(u);
  const auto refused = [&](const std::string& x) {
    return sfx_member_path_check(dir_cp.c_str(), x.c_str()) != nullptr ||
           (dir_cp == "." ? x.size() : dir_cp.size() + 1 + x.size()) >= SFX_DIR_FIELD;
  };
  if (refused(f)) f = cp_.field(u, true);
  for (;;) {
    if (refused(f)) fail(shown + ": the name cannot be written in the fields of code page " + std::to_string(cp_.number()));
    if (!fields_.count(path_key(cp_, dir_cp + "\\" + f))) break;
    std::size_t dot = f.rfind('.');
    if (dot == std::string::npos || dot == 0) dot = f.size();
    f.insert(dot, "_");
  }
  fields_.insert(path_key(cp_, dir_cp + "\\" + f));
  return f;
}

void TreeScan::note_name(const std::string& udir, const std::string& uname, const std::string& shown) {
  std::string key;
  for (const std::string& p : path_parts(udir + "/" + uname)) key += fold_text(p) + '\0';
  auto [it, fresh] = seen_.emplace(key, shown);
  if (!fresh)
    fail(shown + ": differs from " + it->second +
         " only in letter case; on Windows the two are the same file");
}

// A name as a member or folder name: what Windows and the installer take.
void TreeScan::check_name(const std::string& n, const std::string& shown) const {
  if (n.find('\\') != std::string::npos)
    fail(shown + ": the name holds '\\', which Windows reads as a folder separator");
  if (reserved_zero_device(n)) fail(shown + ": the name is a reserved device name on Windows");
  if (const char* why = decoded_path_problem(".", n))
    fail(shown + ": the installer would refuse this name: " + why);
}

// A symbolic link is packed as the file or folder it names, when that
// lies inside DIR; a link that leads out of DIR is refused.
void TreeScan::check_link(const std::string& full, const std::string& shown) const {
  std::string target;
  if (!real_path(full, target)) fail(shown + ": a symbolic link that cannot be followed: " + errno_text());
  const bool inside = target.size() > root_real_.size() && target.compare(0, root_real_.size(), root_real_) == 0 &&
                      (root_real_.back() == '/' || target[root_real_.size()] == '/');
  if (!inside && target != root_real_)
    fail(shown + ": a symbolic link that leads out of the folder being packed (to " + printable(target) +
         "); copy what it names into the folder, or remove the link");
}

void TreeScan::walk(const std::string& path, const std::string& rel, const std::string& dir_cp,
                    const std::string& udir, const FileInfo& expect) {
  std::vector<std::string> names;
  FileId opened;
  if (!list_dir(path, names, opened)) fail(printable(path) + ": cannot read the directory: " + errno_text());
  if (opened != expect.id) fail(printable(path) + ": the directory changed while it was being packed");
  dirs_.push_back(path);
  std::sort(names.begin(), names.end());
  std::vector<std::pair<std::string, FileInfo>> subdirs;
  for (const std::string& n : names) {
    check_interrupted();
    const std::string full = path + "/" + n;
    const std::string shown = rel.empty() ? printable(n) : rel + "/" + printable(n);
    if (n[0] == '.' && n.find(".qtk-") != std::string::npos && n.size() > 5 &&
        n.compare(n.size() - 5, 5, ".part") == 0) {
      con_.warn(shown + ": an unfinished output of an earlier pack; left out");
      continue;
    }
    FileInfo st;
    if (!file_info(full, false, st)) fail(shown + ": " + errno_text());
    if (st.link) {
      if (!file_info(full, true, st)) fail(shown + ": broken symbolic link");
      check_link(full, shown);
    }
    if (skip_.count(st.id)) {
      con_.warn(shown + ": is the output of this run; left out");
      continue;
    }
    if (st.kind == FileInfo::kDir) {
      subdirs.emplace_back(n, st);
      continue;
    }
    if (st.kind != FileInfo::kFile) {
      con_.warn(shown + ": not a regular file; left out");
      continue;
    }
    add_file(full, shown, dir_cp, udir, n, st);
  }
  for (auto& [n, st] : subdirs) {
    const std::string shown = rel.empty() ? printable(n) : rel + "/" + printable(n);
    for (const FileId& a : ancestors_)
      if (a == st.id)
        fail(shown + ": directory loop (a link back to an enclosing directory)");
    check_name(n, shown);
    const std::string sub_u = udir == "." ? n : udir + "/" + n;
    if (const char* why = sfx_member_path_check(sub_u.c_str(), "x"))
      fail(shown + ": the installer would refuse this directory name: " + why);
    note_name(udir, n, shown);
    const std::string n_cp = field(dir_cp, n, shown);
    const std::string sub_cp = dir_cp == "." ? n_cp : dir_cp + "/" + n_cp;
    const std::size_t before = members_.size();
    ancestors_.push_back(st.id);
    walk(path + "/" + n, shown, sub_cp, sub_u, st);
    ancestors_.pop_back();
    if (members_.size() == before)
      con_.warn(shown + ": holds no files; the archive keeps files only, so it is left out");
  }
}

void TreeScan::add_file(const std::string& full, const std::string& shown, const std::string& dir_cp,
                        const std::string& udir, const std::string& name, const FileInfo& st) {
  Member m;
  m.src = full;
  m.shown = shown;
  m.udir = udir;
  m.uname = name;
  check_name(name, shown);
  if (const char* why = sfx_member_path_check(udir.c_str(), name.c_str()))
    fail(shown + ": the installer would refuse this name: " + why);
  const std::size_t chars = utf16_length(udir) + 1 + utf16_length(name);
  if (chars > kRelPathLimit)
    fail(shown + ": path too long for the installer (" + std::to_string(chars) +
         " characters below the work directory, at most " + std::to_string(kRelPathLimit) + ")");
  if (st.size > 0x7FFFFFFFu)
    fail(shown + ": too large for the installer (at most 2 GiB - 1 bytes per file)");
  note_name(udir, name, shown);
  m.dir = dir_cp;
  m.name = field(dir_cp, name, shown);
  check_fit(m, cp_.number());
  m.size = st.size;
  m.mtime_ns = st.mtime_ns;
  m.id = st.id;
  std::int64_t t = st.mtime;
  if (time_limit_ >= 0 && t > time_limit_) t = time_limit_;
  if (t < INT32_MIN || t > INT32_MAX) {
    m.time = t < 0 ? INT32_MIN : INT32_MAX;
    con_.warn(shown + ": modification time " + std::to_string(t) +
             " lies outside what the installer can store; set to " + format_time(m.time));
  } else {
    m.time = static_cast<std::int32_t>(t);
  }
  members_.push_back(std::move(m));
}

}  // namespace qtk
