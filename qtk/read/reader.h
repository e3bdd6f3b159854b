// The reader behind qtk list, test and extract: one walk over an
// installer's archive (read.cpp), and what it does with each member and
// with the archive's end (read_members.cpp).
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <utility>

#include "archive.h"
#include "checksum.h"
#include "record.h"
#include "qtk.h"
#include "read/faults.h"
#include "read/read_ahead.h"
#include "sys/read_os.h"
#include "text/text.h"

namespace qtk {

// A packet status in words.
std::string packet_status_text(int st);
// The fault code of a packet status.
FaultCode packet_fault_code(int st);

// A member directory and name as one path: `/` between parts, the top
// directory left out. display_path escapes whatever cannot be shown.
std::string joined_path(const std::string& dir, const std::string& name);
std::string display_path(const std::string& dir, const std::string& name);

// What the stub in front of the archive asks Windows for.
struct StubInfo {
  bool windows = false;   // the stub is a Windows program
  bool manifest = false;  // with an application manifest
  std::string level;      // the manifest's execution level; empty: none
};

// What --json reports (read_json.cpp writes the document).
struct ReportMember {
  bool named = false;  // the header could be read
  std::string path;    // joined_path as UTF-8 text, when `exact`
  std::string bytes;   // joined_path in the stored bytes (code page)
  bool exact = false;  // the stored bytes are text in the code page
  std::int32_t time = 0;
  std::uint64_t size = 0, stored = 0;
  std::uint32_t packets = 0;
  bool ok = false;
};
struct ReportFault {
  FaultCode code;
  std::string message;
  bool located = false;  // at a volume and offset
  std::string volume;
  long offset = 0;
  long long member = -1;  // index into the members, or -1
  ReportMember member_path;  // that member's path (named: it has one)
};
struct Report {
  StubInfo stub;
  std::vector<std::pair<std::string, std::uint64_t>> volumes;  // name, bytes
  std::uint64_t signed_bytes = 0;
  std::vector<ReportMember> members;
  std::vector<ReportFault> faults;
  std::vector<std::string> warnings;
  bool complete = false;  // the walk reached the archive end
  bool stopped = false;   // a fault or failure ended the command
};
void write_json(std::ostream& out, ReadMode mode, const ReadOptions& opt, unsigned codepage, const Report& r);

class Reader {
 public:
  Reader(ReadMode mode, const ReadOptions& opt, const Console& con)
      : mode_(mode), opt_(opt), con_(con), cp_(opt.codepage) {}
  ~Reader() {
    source_.reset();  // its threads stop before the packets go
    std::string ignored;
    if (out_fd_ >= 0) close_output(out_fd_, ignored);
    if (root_fd_ >= 0) close_output_dir(root_fd_);
    packet_free(packet_);
  }

  int run();
  // With --json: the document, after run() returned or threw `stopped`.
  void write_report(const Error* stopped);

 private:
  // A fault: where it is, its code and what. The test command goes on
  // after faults that leave the packet boundaries intact; list and extract
  // stop.
  void fault(FaultCode code, const std::string& what) {
    ++faults_;
    std::ostringstream s;
    s << printable(volume_name_) << " offset " << offset_;
    if (!member_shown_.empty()) s << ", member " << member_shown_;
    s << ": " << what;
    con_.err << "qtk: " << s.str() << '\n';
    if (!member_shown_.empty()) ++member_faults_;
    note_fault(code, what, true);
    if (mode_ != ReadMode::kTest) throw Error(kExitFailed, "");
  }
  void warn(const std::string& what) {
    const std::string m = printable(volume_name_) + " offset " + std::to_string(offset_) + ": " + what;
    con_.warn(m);
    if (opt_.json) report_.warnings.push_back(m);
  }
  // A fault of the archive as a whole: a fault in test, a warning in extract.
  void archive_fault(FaultCode code, const std::string& what) {
    if (mode_ == ReadMode::kExtract) {
      con_.warn(printable(opt_.archive) + ": " + what);
      return;
    }
    ++faults_;
    con_.err << "qtk: " << printable(opt_.archive) << ": " << what << '\n';
    note_fault(code, what, false);
  }
  // A failure that ends the command before or between the packets (the
  // installer or a volume cannot be opened): the message as qtk prints it.
  [[noreturn]] void stop(FaultCode code, const std::string& what) {
    note_fault(code, what, false);
    throw Error(kExitFailed, what);
  }
  // The fault for --json: its member is the one being read, if any.
  void note_fault(FaultCode code, const std::string& what, bool located) {
    if (!opt_.json) return;
    ReportFault f{code, what, located, volume_name_, offset_, -1, {}};
    if (!member_shown_.empty()) {
      f.member = static_cast<long long>(members_);
      f.member_path = member_report_;
    }
    report_.faults.push_back(std::move(f));
  }

  // The walker's callbacks. Nothing may be thrown through the walk: what
  // they throw waits in thrown_ until the walk returns.
  static int read_cb(void* ctx, Packet* packet, const sfx_walk* walk);
  static int next_volume_cb(void* ctx);
  int read(const sfx_walk* walk);
  void next_volume();
  void rethrow();
  // The fault that reading the current packet found, when it has not been
  // reported yet.
  void report_read_fault() {
    if (!read_fault_.empty()) fault(read_fault_code_, std::exchange(read_fault_, std::string()));
  }
  bool walk_failed(int step);

  std::FILE* open_first();
  void check_reach(const std::string& name, std::uint64_t size);
  void begin_member();
  void data();
  void end_member();
  void archive_end();
  void note_member(const std::string& dir_u, const std::string& name_u);
  void check_control_file();
  std::uint64_t volume_bytes_total();

  ReadMode mode_;
  const ReadOptions& opt_;
  const Console& con_;
  CodePage cp_;
  Packet* packet_ = nullptr;
  std::unique_ptr<PacketSource> source_;
  sfx_walker walker_{};
  std::exception_ptr thrown_;
  PacketRecord record_;        // of the packet in packet_
  std::string read_fault_;     // what reading it found, not yet reported
  FaultCode read_fault_code_ = FaultCode::kPacketRead;
  bool damaged_data_ = false;  // a data packet whose lengths are intact but nothing else
  bool was_member_ = false;    // the walk stood inside a member when it was read
  bool replay_ = false;        // the next read hands the same packet again
  std::string volume_name_;
  int changes_ = 0;
  long offset_ = 0;
  std::uint32_t first_packet_ = 0;
  std::uint64_t volume_size_ = 0;
  std::uint64_t signed_bytes_ = 0;  // a signature's padding and certificate table after volume 1's trailer
  std::unique_ptr<Progress> bar_;
  long bar_pos_ = 0;
  int faults_ = 0;
  Report report_;  // for --json
  std::uint64_t members_ = 0, bytes_ = 0;

  // The member being read.
  std::string member_shown_;
  std::string member_dir_, member_name_;
  // The member's path for --json, taken where member_shown_ is made.
  ReportMember member_report_;
  int member_faults_ = 0;
  std::int32_t member_time_ = 0;
  bool member_ok_ = false;
  std::uint64_t member_size_ = 0, member_stored_ = 0;
  std::uint32_t member_packets_ = 0;
  bool member_has_crc_ = false;  // its record carries a checksum of its content
  std::uint32_t member_crc_want_ = 0, member_crc_ = 0;
  int out_fd_ = -1, root_fd_ = -1;

  // What the stub meets after the archive end: each member path as Windows
  // compares it, the folders members create, and the control file.
  std::map<std::string, std::string> member_keys_;  // key -> shown path
  std::map<std::string, std::string> dir_keys_;     // key of a folder -> a member below it
  bool member_is_control_ = false, control_seen_ = false;
  std::string control_run_u_;  // the control file's run= in UTF-8, as the stub takes it
  std::string control_;
};

}  // namespace qtk
