// qtk list, test and extract: walks an installer's archive the way the
// stub does, across volumes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>

#include "archive.h"
#include "qtk.h"

namespace qtk {
namespace {

std::string errno_text() { return std::strerror(errno); }

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
    if (f_) std::fclose(f_);
    if (out_fd_ >= 0) close(out_fd_);
    if (root_fd_ >= 0) close(root_fd_);
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

  void open_first();
  void next_volume();
  void begin_member();
  void data();
  void end_member();
  void archive_end(std::uint8_t raw_type);
  void note_member(const std::string& dir, const std::string& name);
  void check_control_file();
  std::uint64_t volume_bytes_total();

  ReadMode mode_;
  const ReadOptions& opt_;
  const Console& con_;
  CodePage cp_;
  Packet* packet_ = nullptr;
  std::FILE* f_ = nullptr;
  std::string volume_name_;
  int changes_ = 0;
  long offset_ = 0;
  std::uint32_t first_packet_ = 0;
  std::uint64_t volume_size_ = 0;
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

void Reader::open_first() {
  volume_name_ = opt_.archive;
  f_ = std::fopen(volume_name_.c_str(), "rb");
  if (!f_) fail(volume_name_ + ": " + errno_text());
  struct stat st{};
  fstat(fileno(f_), &st);
  volume_size_ = static_cast<std::uint64_t>(st.st_size);
  long end = 0;
  const int t = sfx_trailer_read(f_, &first_packet_, &end);
  if (t == SFX_E_SIGNATURE || t == SFX_E_SEEK)
    fail(volume_name_ + ": not an installer (" + std::string(sfx_status_text(t)) + ")");
  if (t != SFX_OK) fail(volume_name_ + ": damaged trailer: " + sfx_status_text(t));
}

void Reader::next_volume() {
  std::fclose(f_);
  f_ = nullptr;
  ++changes_;
  char next[4096];
  if (sfx_next_volume_name(volume_name_.c_str(), changes_, next, sizeof next) != SFX_OK)
    fail(printable(volume_name_) + ": the next volume's name is too long");
  volume_name_ = next;
  f_ = std::fopen(volume_name_.c_str(), "rb");
  if (!f_)
    fail("volume " + std::to_string(changes_ + 1) + " is missing: looked for " + printable(volume_name_) + " (" +
         errno_text() + ")");
  struct stat st{};
  fstat(fileno(f_), &st);
  volume_size_ = static_cast<std::uint64_t>(st.st_size);
  bar_pos_ = 0;
}

std::uint64_t Reader::volume_bytes_total() {
  std::uint64_t total = 0;
  std::string name = opt_.archive;
  for (int v = 0; v < 1000; ++v) {
    struct stat st{};
    if (stat(name.c_str(), &st) != 0) break;
    total += static_cast<std::uint64_t>(st.st_size);
    char next[4096];
    if (sfx_next_volume_name(name.c_str(), v + 1, next, sizeof next) != SFX_OK) break;
    name = next;
  }
  return total;
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
  // Directories below DIR, one by one, never following a symbolic link,
  // so that nothing is written outside DIR.
  std::vector<std::string> parts = path_parts(dir_u);
  for (const std::string& p : path_parts(name_u)) parts.push_back(p);
  if (parts.empty()) fault("empty file name");
  int fd = dup(root_fd_);
  for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
    if (mkdirat(fd, parts[k].c_str(), 0777) != 0 && errno != EEXIST) {
      const std::string why_not = errno_text();
      close(fd);
      fault("cannot create directory " + printable(parts[k]) + ": " + why_not);
    }
    const int sub = openat(fd, parts[k].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    if (sub < 0)
      fault("cannot enter directory " + printable(parts[k]) + " (a symbolic link or not a directory)");
    fd = sub;
  }
  // An existing file is replaced, not written through: it may be a hard
  // link to a file outside DIR.
  if (unlinkat(fd, parts.back().c_str(), 0) != 0 && errno != ENOENT && errno != EISDIR) {
    const int e = errno;
    close(fd);
    errno = e;
    fault("cannot replace the existing file: " + errno_text());
  }
  out_fd_ = openat(fd, parts.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  const int saved = errno;
  close(fd);
  if (out_fd_ < 0) {
    errno = saved;
    fault("cannot create the file: " + errno_text());
  }
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
  const std::uint8_t* p = packet_->data;
  std::size_t left = packet_->unpacked_len;
  while (left) {
    const ssize_t n = write(out_fd_, p, left);
    if (n <= 0) fault("write failed: " + errno_text());
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  bytes_ += packet_->unpacked_len;
}

void Reader::end_member() {
  ++members_;
  if (out_fd_ >= 0) {
    const struct timespec t[2] = {{member_time_, 0}, {member_time_, 0}};
    if (futimens(out_fd_, t) != 0) warn(member_shown_ + ": cannot set the time: " + errno_text());
    const int rc = close(out_fd_);
    out_fd_ = -1;
    if (rc != 0) fault("write failed: " + errno_text());
  }
  if (mode_ == ReadMode::kList && member_ok_) {
    char line[128];
    std::snprintf(line, sizeof line, "%12" PRIu64 "  %s  %5" PRIu32 "  %12" PRIu64 "  ", member_size_,
                  format_time(member_time_).c_str(), member_packets_, member_stored_);
    con_.out << line << member_shown_ << '\n';
  }
  member_shown_.clear();
}

void Reader::archive_end(std::uint8_t raw_type) {
  // The stub reads nothing of the archive end; these are checks of form.
  if (mode_ != ReadMode::kTest) return;
  if (raw_type != SFX_ARCHIVE_END_TYPE_ON_DISK) warn("archive end is not written in stored form (0x81)");
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
  const long here = std::ftell(f_);
  std::uint8_t sig[4];
  if (std::fread(sig, 1, 4, f_) != 4 || std::memcmp(sig, SFX_SIGNATURE, 4) != 0)
    warn("no signature after the archive end");
  else if (changes_ == 0 && static_cast<std::uint64_t>(here) + 4 != volume_size_)
    warn("the archive end is not the last packet before the trailer");
}

int Reader::run() {
  if (codec_init(SFX_PACKET_SIZE) != 0 || !(packet_ = packet_alloc(SFX_PACKET_SIZE))) fail("out of memory");
  // The codec's reports are faults of the packet that raised them, counted
  // below; the stub would show its message for each.
  codec_set_error_hook(nullptr);
  if (mode_ == ReadMode::kExtract) {
    mkdir(opt_.dir.c_str(), 0777);
    root_fd_ = open(opt_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd_ < 0) fail(printable(opt_.dir) + ": " + errno_text());
  }
  const std::uint64_t total = mode_ == ReadMode::kList ? 0 : volume_bytes_total();
  open_first();
  if (mode_ != ReadMode::kList)
    bar_ = std::make_unique<Progress>(con_, mode_ == ReadMode::kTest ? "test" : "extract", total);
  if (mode_ == ReadMode::kList)
    con_.out << "        size  modified (UTC)       packets    compressed  path\n";
  sfx_walk walk;
  sfx_walk_init(&walk);
  for (;;) {
    check_interrupted();
    offset_ = std::ftell(f_);
    if (bar_) {
      bar_->add(static_cast<std::uint64_t>(offset_ - bar_pos_));
      bar_pos_ = offset_;
    }
    const int c = std::fgetc(f_);
    if (c != EOF) std::ungetc(c, f_);
    const auto raw_type = static_cast<std::uint8_t>(c);
    const int reports = codec_error_count();
    const int st = packet_read(packet_, f_);
    if (st == 0 && codec_error_count() != reports) {
      fault("the decoder reported error " + std::to_string(codec_last_error()) + " (packet type " +
            std::to_string(raw_type & 0x7F) + ")");
      // The lengths are intact; the packet counts where it stood.
      if ((raw_type & 0x7F) == SFX_MEMBER_DATA && walk.in_member) {
        sfx_walk_step(&walk, packet_);
        ++member_packets_;
        member_size_ += packet_->unpacked_len;
        member_ok_ = false;
        continue;
      }
    }
    if (st != 0) {
      if (st == PACKET_BAD_CHECK || st == PACKET_DECODE_FAILED || st == PACKET_BAD_LENGTHS) {
        fault(packet_status_text(st) + " (packet type " + std::to_string(raw_type & 0x7F) + ")");
        // The lengths are intact: the walk goes on with the next packet,
        // counting this one where it stood.
        if ((raw_type & 0x7F) == SFX_MEMBER_DATA && walk.in_member) {
          sfx_walk_step(&walk, packet_);
          ++member_packets_;
          member_size_ += packet_->unpacked_len;
          member_ok_ = false;
        }
        continue;
      }
      if (changes_ == 0 && static_cast<std::uint64_t>(offset_) + SFX_TRAILER_SIZE >= volume_size_)
        fault(packet_status_text(PACKET_EOF) + " (the packets run into the trailer)");
      else
        fault(packet_status_text(st));
      break;
    }
    const bool was_member = walk.in_member != 0;
    const int step = sfx_walk_step(&walk, packet_);
    if (step < 0) {
      if (step == SFX_E_UNEXPECTED)
        fault("packet type " + std::to_string(packet_->type) + " may not stand " +
              (was_member ? "inside a member" : "at the top level"));
      else
        fault(sfx_status_text(step));
      if (was_member) {
        end_member();
        // A header that stood inside a member begins one of its own.
        if (packet_->type == SFX_MEMBER_HEADER) {
          sfx_walk_step(&walk, packet_);
          begin_member();
        }
      }
      continue;
    }
    switch (step) {
      case SFX_STEP_MEMBER: begin_member(); break;
      case SFX_STEP_DATA: data(); break;
      case SFX_STEP_MEMBER_DONE: end_member(); break;
      case SFX_STEP_VOLUME: next_volume(); break;
      case SFX_STEP_END:
        archive_end(raw_type);
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
