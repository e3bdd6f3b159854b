// What the reader does with each member and with the archive's end: the
// checks of test (names the stub would refuse or take for one file, the
// control file, the archive end's form), the files of extract, the lines
// of list.
#include "read/reader.h"
#include "text/text.h"

namespace qtk {

std::string joined_path(const std::string& dir, const std::string& name) {
  std::string s;
  for (const std::string& p : path_parts(dir)) s += p + "/";
  for (char c : name) s += c == '\\' ? '/' : c;
  return s;
}

std::string display_path(const std::string& dir, const std::string& name) {
  return printable(joined_path(dir, name));
}

void Reader::begin_member() {
  sfx_member m{};
  const char* why = nullptr;
  member_size_ = member_stored_ = 0;
  member_packets_ = 0;
  member_ok_ = false;
  member_faults_ = 0;
  member_report_ = ReportMember{};
  member_shown_ = "#" + std::to_string(members_ + 1);
  const int st = sfx_member_check(packet_->data, packet_->unpacked_len, &m, &why);
  if (st == SFX_E_HEADER_SIZE || st == SFX_E_UNTERMINATED) {
    fault(FaultCode::kMemberHeader, std::string("member header: ") + sfx_status_text(st));
    return;
  }
  member_dir_ = m.dir;
  member_name_ = m.name;
  member_time_ = m.time;
  member_is_control_ = false;
  member_has_crc_ = false;
  member_crc_ = SFX_CRC_EMPTY;
  // The record in the header's spare bytes, when there is one, gives the
  // names in UTF-8 and the checksum of the content.
  sfx_record rec;
  rec.present = false;
  const char* record_why = nullptr;
  const int rst = st == SFX_E_UNSAFE_PATH ? SFX_OK : sfx_record_read(packet_->data, &m, &rec, &record_why);
  std::string dir_u, name_u;
  bool decoded = cp_.decode(member_dir_, dir_u) && cp_.decode(member_name_, name_u);
  if (rec.present) {
    // Names the record does not give are ASCII when pack wrote them; the
    // record says in which code page the fields are written.
    if (rec.codepage && rec.codepage != cp_.number()) {
      try {
        const CodePage page(rec.codepage);
        decoded = page.decode(member_dir_, dir_u) && page.decode(member_name_, name_u);
      } catch (const Error&) {
      }
    }
    if (rec.dir) dir_u.assign(rec.dir, rec.dir_len);
    if (rec.name) name_u.assign(rec.name, rec.name_len);
    decoded = decoded || (rec.dir && rec.name);
    member_has_crc_ = rec.has_crc;
    member_crc_want_ = rec.crc;
  }
  if (!decoded) {
    if (!(rec.present && rec.dir)) dir_u = member_dir_;
    if (!(rec.present && rec.name)) name_u = member_name_;
  }
  // The member's name, shown and in the JSON document: from here alone.
  member_shown_ = display_path(dir_u, name_u);
  member_report_.named = true;
  member_report_.exact = decoded;
  member_report_.path = joined_path(dir_u, name_u);
  member_report_.bytes = joined_path(member_dir_, member_name_);
  member_report_.time = member_time_;
  if (st == SFX_E_UNSAFE_PATH) {
    fault(FaultCode::kUnsafePath, std::string("member refused: ") + why);
    return;
  }
  if (rst != SFX_OK) {
    fault(FaultCode::kMemberRecord, std::string("member refused: ") + record_why);
    return;
  }
  if (mode_ == ReadMode::kList) {
    member_ok_ = true;
    return;
  }
  if (!decoded) {
    fault(FaultCode::kNameNotText, "the name cannot be shown in UTF-8 from code page " + std::to_string(cp_.number()) +
          " (try --codepage)");
    return;
  }
  // The bytes passed; their decoded text must pass as well.
  if (const char* problem = decoded_path_problem(dir_u, name_u)) {
    fault(FaultCode::kUnsafeName, std::string("member refused: ") + problem + " (decoded from code page " + std::to_string(cp_.number()) +
          ")");
    return;
  }
  member_ok_ = true;
  note_member(dir_u, name_u);
  if (mode_ != ReadMode::kExtract) return;
  std::vector<std::string> parts = path_parts(dir_u);
  for (const std::string& p : path_parts(name_u)) parts.push_back(p);
  if (parts.empty()) fault(FaultCode::kUnsafeName, "empty file name");
  std::string error;
  out_fd_ = create_output_file(root_fd_, parts, error);
  if (out_fd_ < 0) fault(FaultCode::kWrite, error);
}

// Two members that Windows takes for one file, or a file where another
// member needs a folder, would overwrite one another or stop the stub.
void Reader::note_member(const std::string& dir_u, const std::string& name_u) {
  std::vector<std::string> parts = path_parts(dir_u);
  for (const std::string& p : path_parts(name_u)) parts.push_back(p);
  std::string key;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    key += fold_text(parts[k]) + '\0';
    if (k + 1 == parts.size()) break;
    if (const auto f = member_keys_.find(key); f != member_keys_.end())
      archive_fault(FaultCode::kFileFolder, member_shown_ + " needs a folder where member " + f->second + " is a file");
    dir_keys_.emplace(key, member_shown_);
  }
  if (const auto f = member_keys_.find(key); f != member_keys_.end())
    archive_fault(FaultCode::kSameFile, member_shown_ + " and member " + f->second +
                  " are one file on Windows (the names differ in letter case at most)");
  else if (const auto d = dir_keys_.find(key); d != dir_keys_.end())
    archive_fault(FaultCode::kFileFolder, member_shown_ + " is a file where member " + d->second + " needs a folder");
  member_keys_.emplace(key, member_shown_);
  // The stub opens the control file in its work directory once all is out.
  if (key == fold_text(kControlFile) + '\0') {
    member_is_control_ = control_seen_ = true;
    control_.clear();
  }
}

// What the stub does after the archive end: read qtksfx.ini, start the
// program its run= names.
void Reader::check_control_file() {
  if (!control_seen_) {
    archive_fault(FaultCode::kNoControlFile, std::string("no control file ") + kControlFile +
                  ": the installer would stop after unpacking, with nothing to start");
    return;
  }
  std::string run, run_u, key;
  const bool utf8 = control_file_run_utf8(control_, run_u);
  if (!control_file_run(control_, run) && !utf8) {
    archive_fault(FaultCode::kNoRun, std::string(kControlFile) + " has no run= entry in its [system] section");
    return;
  }
  // The stub takes run.utf8= first; run= in the code page's bytes.
  if (!utf8 && !cp_.decode(run, run_u)) run_u = run;
  for (const std::string& p : path_parts(run_u)) key += fold_text(p) + '\0';
  if (!member_keys_.count(key))
    archive_fault(FaultCode::kRunNotMember, std::string(kControlFile) + ": " + (utf8 ? std::string(SFX_RUN_UTF8_KEY) : std::string("run")) +
                  "=" + printable(run_u) + " names no member");
}

void Reader::data() {
  ++member_packets_;
  member_stored_ += PACKET_HEADER_SIZE + packet_->stored_len;
  member_size_ += packet_->unpacked_len;
  if (member_has_crc_) member_crc_ = sfx_crc32c(member_crc_, packet_->data, packet_->unpacked_len);
  if (member_is_control_ && control_.size() < (1u << 20))
    control_.append(reinterpret_cast<const char*>(packet_->data), packet_->unpacked_len);
  if (out_fd_ < 0) return;
  std::string error;
  if (!write_output(out_fd_, packet_->data, packet_->unpacked_len, error)) fault(FaultCode::kWrite, error);
  bytes_ += packet_->unpacked_len;
}

void Reader::end_member() {
  ++members_;
  // Content that passed its packets' check bytes but not its checksum.
  if (member_has_crc_ && member_crc_ != member_crc_want_) {
    char text[80];
    std::snprintf(text, sizeof text, "content checksum: CRC-32C %08" PRIx32 ", the record says %08" PRIx32,
                  member_crc_, member_crc_want_);
    fault(FaultCode::kContentChecksum, text);
  }
  if (out_fd_ >= 0) {
    std::string error;
    if (!set_output_time(out_fd_, member_time_, error)) warn(member_shown_ + ": cannot set the time: " + error);
    const bool closed = close_output(out_fd_, error);
    out_fd_ = -1;
    if (!closed) fault(FaultCode::kWrite, error);
  }
  if (opt_.json) {
    ReportMember& m = member_report_;
    m.size = member_size_;
    m.stored = member_stored_;
    m.packets = member_packets_;
    m.ok = member_ok_ && member_faults_ == 0;
    report_.members.push_back(std::move(m));
    member_report_ = ReportMember{};
  }
  if (mode_ == ReadMode::kList && member_ok_ && !opt_.json) {
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

}  // namespace qtk
