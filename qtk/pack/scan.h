// qtk pack, scanning the tree: every file below DIR becomes a member, in a
// fixed order, with its name checked as Windows and the installer take it.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive_write.h"
#include "sys/os.h"
#include "qtk.h"
#include "text/text.h"

namespace qtk {

struct Member {
  std::string src;    // file on disk; empty for the generated control file
  std::string shown;  // path below DIR for messages, as on disk but printable
  std::string dir;    // as stored in the header's fields: code page bytes, "." for the top
  std::string name;
  std::string udir;   // as on disk (UTF-8), parts split by '/', "." for the top
  std::string uname;  // the header's record carries these where they differ from the fields
  std::int32_t time = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // to notice a file that changes while it is packed
  FileId id;                  // and one that is swapped for another
  std::string content;        // the generated control file
};

// The member record of m's header: its names where they differ from the
// fields, the code page, the content's checksum.
SfxRecordOut member_record(const Member& m, unsigned codepage, std::uint32_t crc);
// Fails, naming the file and the limit, when m's fields and record do not
// fit in a member header.
void check_fit(const Member& m, unsigned codepage);

// The members of DIR: sorted by name, a directory's files before its
// subdirectories, so that the same folder always gives the same order.
class TreeScan {
 public:
  TreeScan(const CodePage& cp, const Console& con) : cp_(cp), con_(con) {}

  // Member times later than `t` are stored as `t` (SOURCE_DATE_EPOCH).
  void limit_times(std::int64_t t) { time_limit_ = t; }

  // DIR, which must be a directory.
  void open_root(const std::string& dir);
  // Files that already stand at the output's names (SETUP and its later
  // volumes) are left out should they lie inside DIR.
  void leave_out_outputs(const std::string& output);
  // Walks DIR; fails on the first name or file the installer cannot take.
  void scan();
  // A member that is no file of DIR (the control file written from --run),
  // put in sorted place among the files at the top.
  void add_generated(Member m);

  std::vector<Member>& members() { return members_; }
  // Every directory that scan() read, DIR first (for --depfile: a file
  // added or removed changes its directory).
  const std::vector<std::string>& directories() const { return dirs_; }

 private:
  std::string field(const std::string& dir_cp, const std::string& u, const std::string& shown);
  void note_name(const std::string& udir, const std::string& uname, const std::string& shown);
  void check_name(const std::string& n, const std::string& shown) const;
  void check_link(const std::string& full, const std::string& shown) const;
  void walk(const std::string& path, const std::string& rel, const std::string& dir_cp, const std::string& udir,
            const FileInfo& expect);
  void add_file(const std::string& full, const std::string& shown, const std::string& dir_cp,
                const std::string& udir, const std::string& name, const FileInfo& st);

  const CodePage& cp_;
  const Console& con_;
  std::string root_;                        // DIR as given
  FileInfo root_st_;
  std::string root_real_;                   // DIR with every link resolved
  std::set<FileId> skip_;                   // the output itself, if it lies inside DIR
  std::vector<FileId> ancestors_;
  std::vector<Member> members_;
  std::vector<std::string> dirs_;
  std::int64_t time_limit_ = -1;
  std::map<std::string, std::string> seen_;  // path as Windows compares it -> shown path
  std::set<std::string> fields_;            // the header fields' paths as Windows compares them
};

}  // namespace qtk
