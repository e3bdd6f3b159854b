// qtk pack: a folder becomes an installer. The tree is scanned (scan.h),
// the data compressed on worker threads (pipeline.h) and laid out over
// volumes by the archive writer, into temporary files that are renamed
// into place when complete (outputs.h).
#include <algorithm>
#include <cstdio>
#include <ostream>

#include "archive_write.h"
#include "checksum.h"
#include "record.h"
#include "sys/os.h"
#include "pack/outputs.h"
#include "pack/pipeline.h"
#include "qtk.h"
#include "pack/scan.h"
#include "text/text.h"

namespace qtk {
namespace {

std::string read_small_file(const std::string& path, std::size_t limit) {
  std::FILE* f = open_read(path);
  if (!f) fail(path + ": " + errno_text());
  std::string s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && s.size() <= limit) s.append(buf, n);
  std::fclose(f);
  return s;
}

// Both volume limits, checked before any work.
void check_volume_size(std::uint64_t volume_size, std::uint32_t stub_size, std::uint32_t chunk) {
  if (!volume_size) return;
  const std::uint64_t first_need = std::uint64_t{stub_size} + SFX_VOLUME_END_BYTES + SFX_TRAILER_SIZE;
  if (volume_size < first_need)
    fail("volume size " + std::to_string(volume_size) + " is too small: the first volume must hold the stub (" +
         std::to_string(stub_size) + " bytes) and the archive's close (" +
         std::to_string(SFX_VOLUME_END_BYTES + SFX_TRAILER_SIZE) + " bytes), at least " +
         std::to_string(first_need) + " bytes");
  if (chunk == 0)
    fail("volume size " + std::to_string(volume_size) + " is too small: a volume must hold at least " +
         std::to_string(SFX_MIN_VOLUME_SIZE) + " bytes");
}

// A member path (UTF-8, `/` and `\` alike) as Windows compares it.
std::string text_key(const std::string& path) {
  std::string k;
  for (const std::string& p : path_parts(path)) k += fold_text(p) + '\0';
  return k;
}

// The member that a run value names: by its name on disk (UTF-8), or by
// the bytes of its header's fields; null for none.
const Member* run_target(const std::vector<Member>& members, const CodePage& cp, const std::string& value, bool utf8) {
  for (const Member& m : members)
    if (utf8 ? text_key(m.udir + "/" + m.uname) == text_key(value)
             : path_key(cp, m.dir + "\\" + m.name) == path_key(cp, value))
      return &m;
  return nullptr;
}

// The control file: DIR's own, which must agree with --run when both are
// there, or one written from --run. Its run= must name a member. The stub
// takes run= in the bytes of the system's code page, so a program whose
// name is not ASCII is named once more in UTF-8, by run.utf8=, which the
// stub follows first.
void control_file(const PackOptions& opt, const CodePage& cp, TreeScan& sc, const Console& con) {
  const std::vector<Member>& members = sc.members();
  const Member* control = nullptr;
  for (const Member& m : members)
    if (text_key(m.udir + "/" + m.uname) == text_key(kControlFile)) control = &m;
  if (opt.run_given && !sfx_utf8_valid(opt.run.data(), opt.run.size()))
    usage_error("--run " + printable(opt.run) + ": not UTF-8");
  if (control) {
    const std::string text = read_small_file(control->src, 1 << 20);
    std::string run_value, run_utf8;
    const bool has_utf8 = control_file_run_utf8(text, run_utf8);
    if (!control_file_run(text, run_value) && !has_utf8)
      fail(control->shown + ": has no run= entry in its [system] section");
    const Member* target = has_utf8 ? run_target(members, cp, run_utf8, true) : run_target(members, cp, run_value, false);
    if (!target && !has_utf8 && (target = run_target(members, cp, run_value, true)) && !is_ascii(run_value))
      fail(control->shown + ": run=" + printable(run_value) +
           " is a name in UTF-8, but the installer reads run= in the system's code page; name it by " +
           SFX_RUN_UTF8_KEY + "= as well, or leave " + kControlFile + " out and use --run");
    if (!target)
      fail((has_utf8 ? std::string(SFX_RUN_UTF8_KEY) + "=" + printable(run_utf8) : "run=" + printable(run_value)) +
           " names no file of the archive");
    if (opt.run_given && run_target(members, cp, opt.run, true) != target)
      usage_error("--run " + printable(opt.run) + " differs from " +
                  (has_utf8 ? std::string(SFX_RUN_UTF8_KEY) + "=" + printable(run_utf8) : "run=" + printable(run_value)) +
                  " in " + control->shown);
    // The author's file is packed as it is: a run= that only the code
    // page's own machines read right is the author's to complete.
    if (!has_utf8 && (target->udir != target->dir || target->uname != target->name))
      con.warn(control->shown + ": run= names " + target->shown + ", which the installer finds only under code page " +
               std::to_string(cp.number()) + "; add " + SFX_RUN_UTF8_KEY + "=" + printable(target->udir == "." ? target->uname : target->udir + "/" + target->uname) +
               " to its [system] section to start it on every Windows");
    return;
  }
  if (!opt.run_given) usage_error("DIR has no qtksfx.ini, so --run PROGRAM is needed");
  const Member* target = run_target(members, cp, opt.run, true);
  if (!target) fail("run=" + printable(opt.run) + " names no file of the archive");
  Member m;
  m.shown = std::string(kControlFile) + " (written from --run)";
  m.dir = m.udir = ".";
  m.name = m.uname = kControlFile;
  const bool plain = target->udir == target->dir && target->uname == target->name;
  // A plain name is written as given, as it always was; another one as the
  // header's fields spell it and then in UTF-8.
  const std::string run_cp = plain ? opt.run
                                   : (target->dir == "." ? target->name : target->dir + "/" + target->name);
  const std::string run_u = target->udir == "." ? target->uname : target->udir + "/" + target->uname;
  m.content = "[system]\r\nrun=" + run_cp + "\r\n";
  if (!plain) m.content += std::string(SFX_RUN_UTF8_KEY) + "=" + run_u + "\r\n";
  std::string back, back_u;
  if (!control_file_run(m.content, back) || back != run_cp ||
      (!plain && (!control_file_run_utf8(m.content, back_u) || back_u != run_u)))
    fail("--run " + printable(opt.run) +
         ": cannot be expressed in the control file (at most 126 bytes, no ';', no leading blanks)");
  m.size = m.content.size();
  std::int32_t newest = 0;
  for (const Member& o : members) newest = std::max(newest, o.time);
  m.time = newest;  // the same folder gives the same bytes
  sc.add_generated(std::move(m));
}

// The checksum of a member's content, read once before its data is packed;
// the pack compares it with the data as packed.
std::uint32_t content_crc(const Member& m) {
  if (m.src.empty()) return sfx_crc32c(0, m.content.data(), m.content.size());
  std::FILE* f = open_read(m.src);
  if (!f) fail(m.shown + ": " + errno_text());
  std::uint32_t crc = 0;
  std::vector<char> buf(1 << 16);
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) crc = sfx_crc32c(crc, buf.data(), n);
  const bool bad = std::ferror(f) != 0;
  std::fclose(f);
  if (bad) fail(m.shown + ": " + errno_text());
  return crc;
}

// --depfile: "SETUP: DEPENDENCY ..." in the form that make, Ninja and
// CMake's DEPFILE read: every file and directory that went into the
// installer (the stub and icon files too), with spaces, '#' and '$'
// escaped. Written through a temporary file, like every output.
void write_depfile(const PackOptions& opt, const TreeScan& sc, const std::vector<Member>& members) {
  auto escaped = [](const std::string& path) {
    if (path.find_first_of("\n\r") != std::string::npos)
      fail("--depfile: " + printable(path) + " cannot be written in a dependency file");
    std::string r;
    for (char c : path) {
      if (c == ' ' || c == '#') r += '\\';
      if (c == '$') r += '$';
      r += c;
    }
    return r;
  };
  std::string text = escaped(opt.output) + ":";
  auto add = [&](const std::string& path) { text += " \\\n  " + escaped(path); };
  if (!opt.stub.empty()) add(opt.stub);
  if (!opt.icon.empty()) add(opt.icon);
  for (const std::string& d : sc.directories()) add(d);
  for (const Member& m : members)
    if (!m.src.empty()) add(m.src);
  text += "\n";
  std::string tmp;
  std::FILE* f = create_temp(opt.depfile, false, tmp);
  if (!f) fail(printable(opt.depfile) + ": " + errno_text());
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written || !rename_over(tmp, opt.depfile)) {
    const std::string why = errno_text();
    remove_file(tmp);
    fail(printable(opt.depfile) + ": " + why);
  }
}

void summary(const PackOptions& opt, const Console& con, std::size_t members, std::uint64_t total_in,
             std::uint32_t stub_size, const std::vector<std::string>& names,
             const std::vector<std::uint64_t>& sizes) {
  std::uint64_t total_out = 0;
  for (auto s : sizes) total_out += s;
  con.out << printable(opt.output) << ": " << members << " members, " << human_bytes(total_in) << " packed into "
          << human_bytes(total_out) << " (stub " << human_bytes(stub_size) << ")";
  if (names.size() > 1) {
    con.out << " in " << names.size() << " volumes:";
    for (std::size_t k = 0; k < names.size(); ++k)
      con.out << "\n  " << printable(names[k]) << "  " << sizes[k] << " bytes";
  }
  con.out << '\n';
}

}  // namespace

int pack(const PackOptions& opt, const Console& con) {
  const CodePage cp(opt.codepage);
  TreeScan sc(cp, con);
  if (opt.time_limit >= 0) sc.limit_times(opt.time_limit);
  sc.open_root(opt.dir);

  // The stub, with the author's icon and version resource when given.
  bool stub_executable = false;
  const std::vector<std::uint8_t> stub = stub_image(opt, stub_executable);
  const auto stub_size = static_cast<std::uint32_t>(stub.size());
  const std::uint32_t chunk = sfx_data_chunk_size(opt.volume_size);
  check_volume_size(opt.volume_size, stub_size, chunk);

  // The members, and the chunks of their data in archive order.
  sc.leave_out_outputs(opt.output);
  sc.scan();
  control_file(opt, cp, sc, con);
  const std::vector<Member>& members = sc.members();
  std::uint64_t total_in = 0;
  const std::vector<Chunk> chunks = make_chunks(members, chunk, &total_in);

  // Volume 1 begins with the stub.
  OutputSet outputs(opt.output, stub_executable);
  std::FILE* out = outputs.create_first();
  if (std::fwrite(stub.data(), 1, stub.size(), out) != stub.size())
    fail(printable(opt.output) + ": write failed: " + errno_text());

  SfxArchiveWriter writer(
      out, stub_size, opt.volume_size, [&](int) { return outputs.create_next(); },
      [](int, std::FILE* f) { return std::fclose(f); });
  auto check = [&](int st, const std::string& what) {
    if (st == SFX_E_OPEN) fail(printable(outputs.names().back()) + ": cannot create: " + errno_text());
    // A write or close fails in the volume being written, not in the member
    // whose data it held: name that file and the system's reason.
    if (st == SFX_E_WRITE) {
      const std::string why = errno_text();
      const auto v = std::min<std::size_t>(static_cast<std::size_t>(writer.volumes()), outputs.names().size());
      fail(printable(outputs.names()[v - 1]) + ": write failed: " + why);
    }
    if (st == SFX_E_VOLUME_LARGE)
      fail(printable(opt.output) + ": the installer would pass 2 GiB; split it with --volume-size");
    if (st != SFX_OK) fail(what + ": " + sfx_write_status_text(st));
  };
  check(writer.begin(), opt.output);

  Progress bar(con, "pack", total_in);
  {
    Pipeline pipe(members, chunks, std::max(1u, opt.jobs));
    std::size_t ci = 0;
    for (std::size_t mi = 0; mi < members.size(); ++mi) {
      const Member& m = members[mi];
      check_interrupted();
      const std::uint32_t crc = content_crc(m);
      const SfxRecordOut record = member_record(m, cp.number(), crc);
      check(writer.put_member_header(m.dir.c_str(), m.name.c_str(), m.time, &record), m.shown);
      std::uint32_t total = 0, count = 0, packed_crc = 0;
      for (; ci < chunks.size() && chunks[ci].member == mi; ++ci) {
        check_interrupted();
        const PacketEncoder& e = pipe.get(ci);
        packed_crc = sfx_crc32c(packed_crc, e.packet->data, chunks[ci].len);
        check(writer.put_data(*e.packet, e.payload, &count), m.shown);
        pipe.release(ci);
        total += chunks[ci].len;
        bar.add(chunks[ci].len);
      }
      if (packed_crc != crc) fail(m.shown + ": the file changed while it was being packed");
      check(writer.put_member_end(total, count), m.shown);
    }
  }
  check(writer.finish(), opt.output);
  check_interrupted();
  bar.done();
  outputs.close_first();
  outputs.commit();
  if (!opt.depfile.empty()) write_depfile(opt, sc, members);

  const std::vector<std::string>& names = outputs.names();
  char stale[4096];
  if (sfx_next_volume_name(names.back().c_str(), static_cast<int>(names.size()), stale, sizeof stale) == SFX_OK &&
      file_exists(stale))
    con.warn(printable(stale) + " is left from an earlier run; it is not part of this installer");

  if (!con.quiet) summary(opt, con, members.size(), total_in, stub_size, names, writer.volume_sizes());
  return kExitOk;
}

}  // namespace qtk
