// qtk list, test and extract: walks an installer's archive the way the
// stub does, across volumes, with the walk the stub uses. The packets come
// from a PacketSource, which test and extract let decode on several
// threads; everything the walk meets is judged, written and reported here,
// in archive order, so the results do not depend on the number of threads.
#include "archive_write.h"
#include "read/reader.h"
#include "text/text.h"

namespace qtk {

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

// The packet statuses that are faults, by code.
FaultCode packet_fault_code(int st) {
  switch (st) {
    case PACKET_SHORT: return FaultCode::kPacketShort;
    case PACKET_BAD_CHECK: return FaultCode::kPacketCheck;
    case PACKET_DECODE_FAILED: return FaultCode::kPacketDecode;
    case PACKET_TOO_LONG: return FaultCode::kPacketTooLong;
    case PACKET_BAD_LENGTHS: return FaultCode::kPacketLengths;
    case PACKET_EOF: return FaultCode::kArchiveTruncated;
    default: return FaultCode::kPacketRead;
  }
}

namespace {

// What the stub in front of the archive (its first `size` bytes) asks
// Windows for.
StubInfo stub_info(const std::string& path, std::uint32_t size) {
  StubInfo info;
  std::uint64_t file = 0;
  std::FILE* f = size <= (64u << 20) ? open_volume(path, file) : nullptr;
  if (!f) return info;
  pe::Bytes stub(size);
  const bool read = std::fread(stub.data(), 1, stub.size(), f) == stub.size();
  std::fclose(f);
  std::vector<pe::Resource> res;
  if (!read || !pe::read_resources(stub, res).empty()) return info;
  info.windows = true;
  pe::Bytes m;
  info.manifest = pe::find_manifest(stub, m);
  if (info.manifest) info.level = pe::manifest_level(m);
  return info;
}

// The line of list: "" when the stub is no Windows program, else one that
// names the execution level of its manifest.
std::string stub_elevation(const StubInfo& info) {
  if (!info.windows) return "";
  if (!info.manifest) return "elevation: auto (the stub has no application manifest)";
  const std::string& level = info.level;
  for (const pe::Elevation& e : pe::kElevations)
    if (level == e.level)
      return "elevation: " + std::string(e.name) +
             (level.empty() ? " (the stub's manifest asks for no execution level)"
                            : " (the stub's manifest asks for " + level + ")");
  return "elevation: the stub's manifest asks for " + printable(level);
}

}  // namespace

std::FILE* Reader::open_first() {
  volume_name_ = opt_.archive;
  std::FILE* f = open_volume(volume_name_, volume_size_);
  if (!f) stop(FaultCode::kOpen, volume_name_ + ": " + errno_text());
  report_.volumes.emplace_back(volume_name_, volume_size_);
  check_reach(volume_name_, volume_size_);
  long end = 0;
  const int t = sfx_trailer_read(f, &first_packet_, &end);
  if (t != SFX_OK) std::fclose(f);
  if (t == SFX_E_SIGNATURE || t == SFX_E_SEEK)
    stop(FaultCode::kNotInstaller, volume_name_ + ": not an installer (" + std::string(sfx_status_text(t)) + ")");
  if (t != SFX_OK) stop(FaultCode::kTrailer, volume_name_ + ": damaged trailer: " + sfx_status_text(t));
  // A signed installer: the certificate table after the trailer is not the
  // archive's; volume 1 ends where its trailer does.
  const std::uint64_t archive_end = static_cast<std::uint64_t>(end) + 4;
  signed_bytes_ = volume_size_ - archive_end;
  report_.signed_bytes = signed_bytes_;
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
    read_fault_code_ = FaultCode::kDecoderReport;
    read_fault_ = "the decoder reported error " + std::to_string(record_.last_report) + " (packet type " +
                  std::to_string(type) + ")";
  } else if (packet_status_recoverable(st)) {
    read_fault_code_ = packet_fault_code(st);
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
  if (!record_.open_error.empty()) stop(FaultCode::kVolumeMissing, record_.open_error);
  volume_name_ = record_.next_name;
  volume_size_ = record_.next_size;
  report_.volumes.emplace_back(volume_name_, volume_size_);
  bar_pos_ = 0;
  check_reach(volume_name_, volume_size_);
}

// The installer positions itself in a volume with signed 32-bit file
// offsets, as far as pack ever fills one: a larger volume (the whole file,
// a signature included) cannot be read by it, however well qtk reads it.
void Reader::check_reach(const std::string& name, std::uint64_t size) {
  if (size <= SFX_MAX_VOLUME_SIZE) return;
  const std::string what = printable(name) + ": " + std::to_string(size) +
                           " bytes, more than the installer can read (its file positions end at " +
                           std::to_string(SFX_MAX_VOLUME_SIZE) + ")";
  if (mode_ != ReadMode::kTest) {
    if (opt_.json) report_.warnings.push_back(what);
    return con_.warn(what);
  }
  ++faults_;
  con_.err << "qtk: " << what << '\n';
  note_fault(FaultCode::kVolumeTooLarge, what, false);
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
      fault(FaultCode::kArchiveTruncated, packet_status_text(PACKET_EOF) + " (the packets run into the trailer)");
    else
      fault(packet_fault_code(st), packet_status_text(st));
    return false;
  }
  if (step == SFX_E_UNEXPECTED)
    fault(FaultCode::kPacketOrder, "packet type " + std::to_string(packet_->type) + " may not stand " +
                                       (was_member_ ? "inside a member" : "at the top level"));
  else
    fault(step == SFX_E_TOTAL         ? FaultCode::kMemberTotal
          : step == SFX_E_COUNT       ? FaultCode::kMemberCount
          : step == SFX_E_HEADER_SIZE ? FaultCode::kMemberHeader
                                      : FaultCode::kWalk,
          sfx_status_text(step));
  if (was_member_) {
    end_member();
    if (packet_->type == SFX_MEMBER_HEADER) replay_ = true;
  }
  return true;
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
  report_.stub = stub_info(opt_.archive, first_packet_);
  const std::string elevation = stub_elevation(report_.stub);
  const bool manifest = report_.stub.manifest;
  const bool text = !opt_.json;  // --json: the document is all that goes to out
  if (mode_ == ReadMode::kList && text && !elevation.empty()) con_.out << elevation << '\n';
  if (mode_ == ReadMode::kList && text)
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
        report_.complete = true;
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
  if (opt_.json) return kExitOk;
  if (!con_.quiet && mode_ == ReadMode::kTest)
    con_.out << printable(opt_.archive) << ": ok, " << members_ << " members in " << (changes_ + 1)
             << (changes_ ? " volumes" : " volume") << '\n';
  if (!con_.quiet && mode_ == ReadMode::kTest && signed_bytes_)
    con_.out << opt_.archive << ": signed: " << signed_bytes_
             << " bytes of signature follow the archive (not checked here)\n";
  if (!con_.quiet && mode_ == ReadMode::kTest && !elevation.empty() && !manifest)
    con_.out << printable(opt_.archive)
             << ": note: the stub has no application manifest (old-style controls, scaled on high-DPI screens; "
                "Windows guesses whether to ask for elevation)\n";
  if (!con_.quiet && mode_ == ReadMode::kExtract)
    con_.out << printable(opt_.archive) << ": " << members_ << " members, " << human_bytes(bytes_)
             << " extracted into " << printable(opt_.dir) << '\n';
  return kExitOk;
}

void Reader::write_report(const Error* stopped) {
  if (stopped) {
    report_.stopped = true;
    // A failure that no fault has noted yet (an interruption, ...).
    if (stopped->what()[0]) {
      const std::string what = stopped->what();
      bool noted = false;
      for (const ReportFault& f : report_.faults) noted = noted || f.message == what;
      if (!noted) report_.faults.push_back({FaultCode::kStopped, what, false, volume_name_, offset_, -1, {}});
    }
  }
  write_json(con_.out, mode_, opt_, cp_.number(), report_);
}

int read_archive(ReadMode mode, const ReadOptions& opt, const Console& con) {
  Reader r(mode, opt, con);
  if (!opt.json) return r.run();
  int code = kExitOk;
  try {
    code = r.run();
  } catch (const Error& e) {
    r.write_report(&e);
    throw;
  }
  r.write_report(nullptr);
  return code;
}

}  // namespace qtk
