// qtk list, test and extract: walks an installer's archive the way the
// stub does, across volumes, with the walk the stub uses. The packets come
// from a PacketSource, which test and extract let decode on several
// threads; everything the walk meets is judged, written and reported here,
// in archive order, so the results do not depend on the number of threads.
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
#include "qtk.h"
#include "read_ahead.h"
#include "read_os.h"

namespace qtk {
namespace {

std::string packet_status_text(int st) {
  switch (st) {
    case PACKET_SHORT: return "the packet is cut short (end of file inside it)";
    case PACKET_BAD_CHECK: return "check bytes disagree";
    case PACKET_DECODE_FAILED: return "compressed payload cannot be decoded";
    case PACKET_TOO_LONG: return "packet length exceeds 100000 bytes";
    case PACKET_BAD_LENGTHS: return "the payload does not give the packet's unpacked length";
    case PACKET_EOF: return "the archive ends without an archive-end packet";
    default: return "packet read failed (status " + std::to_string(st) + ")";
  }
}

constexpr const char* kControlFile = "qtksfx.ini";

// A member directory and name for display: `/` between parts, the top
// directory left out, whatever cannot be shown escaped.
std::string display_path(const std::string& dir, const std::string& name) {
  std::string s;
  for (const std::string& p : path_parts(dir)) s += p + "/";
  for (char c : name) s += c == '\\' ? '/' : c;
  return printable(s);
}

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

 private:
  // A fault: where it is and what. The test command goes on after faults
  // that leave the packet boundaries intact; list and extract stop.
  void fault(const std::string& what) {
    ++faults_;
    std::ostringstream s;
    s << printable(volume_name_) << " offset " << offset_;
    if (!member_shown_.empty()) s << ", member " << member_shown_;
    s << ": " << what;
    con_.err << "qtk: " << s.str() << '\n';
    if (mode_ != ReadMode::kTest) throw Error(kExitFailed, "");
  }
  void warn(const std::string& what) {
    con_.warn(printable(volume_name_) + " offset " + std::to_string(offset_) + ": " + what);
  }
  // A fault of the archive as a whole: a fault in test, a warning in extract.
  void archive_fault(const std::string& what) {
    if (mode_ == ReadMode::kExtract) {
      con_.warn(printable(opt_.archive) + ": " + what);
      return;
    }
    ++faults_;
    con_.err << "qtk: " << printable(opt_.archive) << ": " << what << '\n';
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
    if (!read_fault_.empty()) fault(std::exchange(read_fault_, std::string()));
  }
  bool walk_failed(int step);

  std::FILE* open_first();
  void begin_member();
  void data();
  void end_member();
  void archive_end();
  void note_member(const std::string& dir, const std::string& name);
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
  std::uint64_t members_ = 0, bytes_ = 0;

  // The member being read.
  std::string member_shown_;
  std::string member_dir_, member_name_;
  std::int32_t member_time_ = 0;
  bool member_ok_ = false;
  std::uint64_t member_size_ = 0, member_stored_ = 0;
  std::uint32_t member_packets_ = 0;
  int out_fd_ = -1, root_fd_ = -1;

  // What the stub meets after the archive end: each member path as Windows
  // compares it, the folders members create, and the control file.
  std::map<std::string, std::string> member_keys_;  // key -> shown path
  std::map<std::string, std::string> dir_keys_;     // key of a folder -> a member below it
  bool member_is_control_ = false, control_seen_ = false;
  std::string control_;
};

std::FILE* Reader::open_first() {
  volume_name_ = opt_.archive;
  std::FILE* f = open_volume(volume_name_, volume_size_);
  if (!f) fail(volume_name_ + ": " + errno_text());
  long end = 0;
  const int t = sfx_trailer_read(f, &first_packet_, &end);
  if (t != SFX_OK) std::fclose(f);
  if (t == SFX_E_SIGNATURE || t == SFX_E_SEEK)
    fail(volume_name_ + ": not an installer (" + std::string(sfx_status_text(t)) + ")");
  if (t != SFX_OK) fail(volume_name_ + ": damaged trailer: " + sfx_status_text(t));
  // A signed installer: the certificate table after the trailer is not the
  // archive's; volume 1 ends where its trailer does.
  const std::uint64_t archive_end = static_cast<std::uint64_t>(end) + 4;
  signed_bytes_ = volume_size_ - archive_end;
  volume_size_ = archive_end;
  return f;
}

std::uint64_t Reader::volume_bytes_total() {
  std::uint64_t total = 0;
  std::string name = opt_.archive;
  for (int v = 0; v < 1000; ++v) {
    std::uint64_t size = 0;
    if (!file_size(name, size)) break;
    total += size;
    char next[4096];
    if (sfx_next_volume_name(name.c_str(), v + 1, next, sizeof next) != SFX_OK) break;
    name = next;
  }
  return total;
}

int Reader::read_cb(void* ctx, Packet*, const sfx_walk* walk) {
  Reader* r = static_cast<Reader*>(ctx);
  try {
    return r->read(walk);
  } catch (...) {
    r->thrown_ = std::current_exception();
    return PACKET_EOF;
  }
}

int Reader::next_volume_cb(void* ctx) {
  Reader* r = static_cast<Reader*>(ctx);
  try {
    r->next_volume();
    return 0;
  } catch (...) {
    r->thrown_ = std::current_exception();
    return 1;
  }
}

void Reader::rethrow() {
  if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
}

// The next packet for the walk. A packet whose lengths are intact but whose
// check bytes, payload or decoding fail is a fault that the test goes on
// after: a data packet inside a member still counts where it stood (the
// walk takes it, the member is marked damaged), anything else is left out.
int Reader::read(const sfx_walk* walk) {
  if (replay_) {
    replay_ = false;
    damaged_data_ = false;
    return PACKET_OK;
  }
  check_interrupted();
  record_ = source_->next(packet_);
  offset_ = record_.offset;
  if (bar_) {
    bar_->add(static_cast<std::uint64_t>(offset_ - bar_pos_));
    bar_pos_ = offset_;
  }
  was_member_ = walk->in_member != 0;
  damaged_data_ = false;
  const int st = record_.status;
  const std::uint8_t type = packet_->wire_type & 0x7F;
  if (st == PACKET_OK && record_.reports) {
    read_fault_ = "the decoder reported error " + std::to_string(record_.last_report) + " (packet type " +
                  std::to_string(type) + ")";
  } else if (packet_status_recoverable(st)) {
    read_fault_ = packet_status_text(st) + " (packet type " + std::to_string(type) + ")";
  } else {
    return st;  // 0, or the end of reading
  }
  damaged_data_ = type == SFX_MEMBER_DATA && walk->in_member;
  return damaged_data_ ? PACKET_OK : st;
}

// A volume end: the source has gone on to the next volume already (or found
// that it cannot); the names and sizes of the messages follow it here.
void Reader::next_volume() {
  report_read_fault();
  ++changes_;
  if (!record_.open_error.empty()) fail(record_.open_error);
  volume_name_ = record_.next_name;
  volume_size_ = record_.next_size;
  bar_pos_ = 0;
}

// A step that broke the packet order. Inside a member, the member ends
// there; a member header that stood inside one begins a member of its own.
bool Reader::walk_failed(int step) {
  if (step == SFX_E_READ) {
    const int st = walker_.read_status;
    if (packet_status_recoverable(st)) {
      report_read_fault();
      return true;
    }
    if (changes_ == 0 && static_cast<std::uint64_t>(offset_) + SFX_TRAILER_SIZE >= volume_size_)
      fault(packet_status_text(PACKET_EOF) + " (the packets run into the trailer)");
    else
      fault(packet_status_text(st));
    return false;
  }
  if (step == SFX_E_UNEXPECTED)
    fault("packet type " + std::to_string(packet_->type) + " may not stand " +
          (was_member_ ? "inside a member" : "at the top level"));
  else
    fault(sfx_status_text(step));
  if (was_member_) {
    end_member();
    if (packet_->type == SFX_MEMBER_HEADER) replay_ = true;
  }
  return true;
}

void Reader::begin_member() {
  sfx_member m{};
  const char* why = nullptr;
  member_size_ = member_stored_ = 0;
  member_packets_ = 0;
  member_ok_ = false;
  member_shown_ = "#" + std::to_string(members_ + 1);
  const int st = sfx_member_check(packet_->data, packet_->unpacked_len, &m, &why);
  if (st == SFX_E_HEADER_SIZE || st == SFX_E_UNTERMINATED) {
    fault(std::string("member header: ") + sfx_status_text(st));
    return;
  }
  member_dir_ = m.dir;
  member_name_ = m.name;
  member_time_ = m.time;
  member_is_control_ = false;
  std::string dir_u, name_u;
  const bool decoded = cp_.decode(member_dir_, dir_u) && cp_.decode(member_name_, name_u);
  if (!decoded) {
    dir_u = member_dir_;
    name_u = member_name_;
  }
  member_shown_ = display_path(dir_u, name_u);
  if (st == SFX_E_UNSAFE_PATH) {
    fault(std::string("member refused: ") + why);
    return;
  }
  if (mode_ == ReadMode::kList) {
    member_ok_ = true;
    return;
  }
  if (!decoded) {
    fault("the name cannot be shown in UTF-8 from code page " + std::to_string(cp_.number()) +
          " (try --codepage)");
    return;
  }
  // The bytes passed; their decoded text must pass as well.
  if (const char* problem = decoded_path_problem(dir_u, name_u)) {
    fault(std::string("member refused: ") + problem + " (decoded from code page " + std::to_string(cp_.number()) +
          ")");
    return;
  }
  member_ok_ = true;
  note_member(member_dir_, member_name_);
  if (mode_ != ReadMode::kExtract) return;
  std::vector<std::string> parts = path_parts(dir_u);
  for (const std::string& p : path_parts(name_u)) parts.push_back(p);
  if (parts.empty()) fault("empty file name");
  std::string error;
  out_fd_ = create_output_file(root_fd_, parts, error);
  if (out_fd_ < 0) fault(error);
}

// Two members that Windows takes for one file, or a file where another
// member needs a folder, would overwrite one another or stop the stub.
void Reader::note_member(const std::string& dir, const std::string& name) {
  std::vector<std::string> parts = path_parts(dir);
  for (const std::string& p : path_parts(name)) parts.push_back(p);
  std::string key;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    key += cp_.fold(parts[k]) + '\0';
    if (k + 1 == parts.size()) break;
    if (const auto f = member_keys_.find(key); f != member_keys_.end())
      archive_fault(member_shown_ + " needs a folder where member " + f->second + " is a file");
    dir_keys_.emplace(key, member_shown_);
  }
  if (const auto f = member_keys_.find(key); f != member_keys_.end())
    archive_fault(member_shown_ + " and member " + f->second +
                  " are one file on Windows (the names differ in letter case at most)");
  else if (const auto d = dir_keys_.find(key); d != dir_keys_.end())
    archive_fault(member_shown_ + " is a file where member " + d->second + " needs a folder");
  member_keys_.emplace(key, member_shown_);
  // The stub opens the control file in its work directory once all is out.
  if (key == path_key(cp_, kControlFile)) {
    member_is_control_ = control_seen_ = true;
    control_.clear();
  }
}

// What the stub does after the archive end: read qtksfx.ini, start the
// program its run= names.
void Reader::check_control_file() {
  if (!control_seen_) {
    archive_fault(std::string("no control file ") + kControlFile +
                  ": the installer would stop after unpacking, with nothing to start");
    return;
  }
  std::string run;
  if (!control_file_run(control_, run)) {
    archive_fault(std::string(kControlFile) + " has no run= entry in its [system] section");
    return;
  }
  if (!member_keys_.count(path_key(cp_, run)))
    archive_fault(std::string(kControlFile) + ": run=" + printable(run) + " names no member");
}

void Reader::data() {
  ++member_packets_;
  member_stored_ += PACKET_HEADER_SIZE + packet_->stored_len;
  member_size_ += packet_->unpacked_len;
  if (member_is_control_ && control_.size() < (1u << 20))
    control_.append(reinterpret_cast<const char*>(packet_->data), packet_->unpacked_len);
  if (out_fd_ < 0) return;
  std::string error;
  if (!write_output(out_fd_, packet_->data, packet_->unpacked_len, error)) fault(error);
  bytes_ += packet_->unpacked_len;
}

void Reader::end_member() {
  ++members_;
  if (out_fd_ >= 0) {
    std::string error;
    if (!set_output_time(out_fd_, member_time_, error)) warn(member_shown_ + ": cannot set the time: " + error);
    const bool closed = close_output(out_fd_, error);
    out_fd_ = -1;
    if (!closed) fault(error);
  }
  if (mode_ == ReadMode::kList && member_ok_) {
    char line[128];
    std::snprintf(line, sizeof line, "%12" PRIu64 "  %s  %5" PRIu32 "  %12" PRIu64 "  ", member_size_,
                  format_time(member_time_).c_str(), member_packets_, member_stored_);
    con_.out << line << member_shown_ << '\n';
  }
  member_shown_.clear();
}

void Reader::archive_end() {
  // The stub reads nothing of the archive end; these are checks of form.
  if (mode_ != ReadMode::kTest) return;
  if (packet_->wire_type != SFX_ARCHIVE_END_TYPE_ON_DISK) warn("archive end is not written in stored form (0x81)");
  if (packet_->unpacked_len != SFX_ARCHIVE_END_UNPACKED || packet_->stored_len != SFX_ARCHIVE_END_STORED) {
    warn("archive end lengths are " + std::to_string(packet_->unpacked_len) + "/" +
         std::to_string(packet_->stored_len) + ", not 12/8");
    return;
  }
  std::uint32_t zero = 0, p = 0;
  sfx_member_end_parse(packet_->data, packet_->stored_len, &zero, &p);
  if (zero != 0 || p != first_packet_)
    warn("archive end payload is not 0 and the first-packet offset " + std::to_string(first_packet_));
  std::uint8_t s = 0, x = 0;
  packet_check_bytes(SFX_ARCHIVE_END_TYPE_ON_DISK, SFX_ARCHIVE_END_STORED, SFX_ARCHIVE_END_UNPACKED, nullptr, 0, &s,
                     &x);
  if (s != packet_->check_sum || x != packet_->check_xor)
    warn("archive end check bytes differ from those of its header");
  if (record_.tail_len != 4 || std::memcmp(record_.tail, SFX_SIGNATURE, 4) != 0)
    warn("no signature after the archive end");
  else if (changes_ == 0 && static_cast<std::uint64_t>(record_.end) + 4 != volume_size_)
    warn("the archive end is not the last packet before the trailer");
}

int Reader::run() {
  if (codec_init(SFX_PACKET_SIZE) != 0 || !(packet_ = packet_alloc(SFX_PACKET_SIZE))) fail("out of memory");
  if (mode_ == ReadMode::kExtract) {
    root_fd_ = open_output_dir(opt_.dir);
    if (root_fd_ < 0) fail(printable(opt_.dir) + ": " + errno_text());
  }
  const std::uint64_t total = mode_ == ReadMode::kList ? 0 : volume_bytes_total();
  source_ = std::make_unique<PacketSource>(open_first(), volume_name_, mode_ == ReadMode::kList ? 1 : opt_.jobs);
  if (mode_ != ReadMode::kList)
    bar_ = std::make_unique<Progress>(con_, mode_ == ReadMode::kTest ? "test" : "extract", total);
  if (mode_ == ReadMode::kList)
    con_.out << "        size  modified (UTC)       packets    compressed  path\n";
  sfx_walker_init(&walker_, packet_, this, read_cb, next_volume_cb);
  for (;;) {
    const int step = sfx_walker_next(&walker_);
    rethrow();
    if (step == SFX_E_READ) {
      if (walk_failed(step)) continue;
      break;
    }
    report_read_fault();
    if (damaged_data_) {
      // The lengths are intact; the packet counts where it stood.
      ++member_packets_;
      member_size_ += packet_->unpacked_len;
      member_ok_ = false;
      continue;
    }
    if (step < 0) {
      walk_failed(step);
      continue;
    }
    switch (step) {
      case SFX_STEP_MEMBER: begin_member(); break;
      case SFX_STEP_DATA: data(); break;
      case SFX_STEP_MEMBER_DONE: end_member(); break;
      case SFX_STEP_END:
        archive_end();
        if (mode_ != ReadMode::kList) check_control_file();
        break;
    }
    if (step == SFX_STEP_END) break;
  }
  if (bar_) bar_->done();
  if (faults_) {
    con_.err << "qtk: " << printable(opt_.archive) << ": " << faults_ << (faults_ == 1 ? " fault" : " faults")
             << '\n';
    return kExitFailed;
  }
  if (!con_.quiet && mode_ == ReadMode::kTest)
    con_.out << printable(opt_.archive) << ": ok, " << members_ << " members in " << (changes_ + 1)
             << (changes_ ? " volumes" : " volume") << '\n';
  if (!con_.quiet && mode_ == ReadMode::kTest && signed_bytes_)
    con_.out << opt_.archive << ": signed: " << signed_bytes_
             << " bytes of signature follow the archive (not checked here)\n";
  if (!con_.quiet && mode_ == ReadMode::kExtract)
    con_.out << printable(opt_.archive) << ": " << members_ << " members, " << human_bytes(bytes_)
             << " extracted into " << printable(opt_.dir) << '\n';
  return kExitOk;
}

}  // namespace

int read_archive(ReadMode mode, const ReadOptions& opt, const Console& con) {
  Reader r(mode, opt, con);
  return r.run();
}

}  // namespace qtk
