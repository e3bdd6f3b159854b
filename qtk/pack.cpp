// qtk pack: a folder becomes an installer.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>

#include "archive_write.h"
#include "qtk.h"

namespace qtk {
namespace {

constexpr const char* kControlFile = "qtksfx.ini";
// The stub forms "<work dir><dir>/<name>". With a temporary directory of up
// to 100 characters, a path below it of at most 159 keeps the whole within
// Windows' 259-character limit for file names (and far within the stub's
// 1023-character buffers).
constexpr std::size_t kRelPathLimit = 159;
// A data packet that does not fit in the rest of a volume is split in two
// when that rest is at least this large; a smaller rest stays empty.
constexpr std::uint64_t kMinSplit = 4096;

struct Member {
  std::string src;    // file on disk; empty for the generated control file
  std::string shown;  // path below DIR for messages, as on disk but printable
  std::string dir;    // as stored: code page bytes, "." for the top
  std::string name;
  std::int32_t time = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;  // to notice a file that changes while it is packed
  dev_t dev = 0;              // and one that is swapped for another
  ino_t ino = 0;
  std::string content;        // the generated control file
};

std::string errno_text() { return std::strerror(errno); }

// COM0 and LPT0 are reserved names on Windows as well, with or without an
// extension, although the stub can create them on the systems it was made for.
bool reserved_zero_device(const std::string& name) {
  std::size_t base = name.find('.');
  if (base == std::string::npos) base = name.size();
  while (base > 0 && name[base - 1] == ' ') --base;
  const std::string b = fold_case(name.substr(0, base));
  return b == "COM0" || b == "LPT0";
}

struct Scanner {
  const CodePage& cp;
  const Console& con;
  std::string root_real;                   // DIR with every link resolved
  std::set<std::pair<dev_t, ino_t>> skip;  // the output itself, if it lies inside DIR
  std::vector<std::pair<dev_t, ino_t>> ancestors;
  std::vector<Member> members;
  std::map<std::string, std::string> seen;  // path as Windows compares it -> shown path
  bool any_clamped = false;

  std::string encode(const std::string& utf8, const std::string& shown) const {
    std::string out;
    if (!cp.encode(utf8, out))
      fail(shown + ": the name cannot be written in code page " + std::to_string(cp.number()));
    return out;
  }

  void note_name(const std::string& dir, const std::string& name, const std::string& shown) {
    const std::string key = path_key(cp, dir + "\\" + name);
    auto [it, fresh] = seen.emplace(key, shown);
    if (!fresh)
      fail(shown + ": differs from " + it->second +
           " only in letter case; on Windows the two are the same file");
  }

  // A name as a member or folder name: what Windows and the installer take.
  void check_name(const std::string& n, const std::string& shown) const {
    if (n.find('\\') != std::string::npos)
      fail(shown + ": the name holds '\\', which Windows reads as a folder separator");
    if (reserved_zero_device(n)) fail(shown + ": the name is a reserved device name on Windows");
    if (const char* why = decoded_path_problem(".", n))
      fail(shown + ": the installer would refuse this name: " + why);
  }

  // A symbolic link is packed as the file or folder it names, when that
  // lies inside DIR; a link that leads out of DIR is refused.
  void check_link(const std::string& full, const std::string& shown) const {
    char* real = realpath(full.c_str(), nullptr);
    if (!real) fail(shown + ": a symbolic link that cannot be followed: " + errno_text());
    const std::string target = real;
    std::free(real);
    const bool inside = target.size() > root_real.size() && target.compare(0, root_real.size(), root_real) == 0 &&
                        (root_real == "/" || target[root_real.size()] == '/');
    if (!inside && target != root_real)
      fail(shown + ": a symbolic link that leads out of the folder being packed (to " + printable(target) +
           "); copy what it names into the folder, or remove the link");
  }

  void walk(const std::string& path, const std::string& rel, const std::string& dir_cp, const struct stat& expect) {
    DIR* d = opendir(path.c_str());
    if (!d) fail(printable(path) + ": cannot read the directory: " + errno_text());
    struct stat opened{};
    if (fstat(dirfd(d), &opened) != 0 || opened.st_dev != expect.st_dev || opened.st_ino != expect.st_ino) {
      closedir(d);
      fail(printable(path) + ": the directory changed while it was being packed");
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    std::vector<std::pair<std::string, struct stat>> subdirs;
    for (const std::string& n : names) {
      check_interrupted();
      const std::string full = path + "/" + n;
      const std::string shown = rel.empty() ? printable(n) : rel + "/" + printable(n);
      if (n[0] == '.' && n.find(".qtk-") != std::string::npos && n.size() > 5 &&
          n.compare(n.size() - 5, 5, ".part") == 0) {
        con.warn(shown + ": an unfinished output of an earlier pack; left out");
        continue;
      }
      struct stat st{};
      if (lstat(full.c_str(), &st) != 0) fail(shown + ": " + errno_text());
      if (S_ISLNK(st.st_mode)) {
        if (stat(full.c_str(), &st) != 0) fail(shown + ": broken symbolic link");
        check_link(full, shown);
      }
      if (skip.count({st.st_dev, st.st_ino})) {
        con.warn(shown + ": is the output of this run; left out");
        continue;
      }
      if (S_ISDIR(st.st_mode)) {
        subdirs.emplace_back(n, st);
        continue;
      }
      if (!S_ISREG(st.st_mode)) {
        con.warn(shown + ": not a regular file; left out");
        continue;
      }
      add_file(full, shown, dir_cp, n, st);
    }
    for (auto& [n, st] : subdirs) {
      const std::string shown = rel.empty() ? printable(n) : rel + "/" + printable(n);
      for (const auto& a : ancestors)
        if (a.first == st.st_dev && a.second == st.st_ino)
          fail(shown + ": directory loop (a link back to an enclosing directory)");
      const std::string n_cp = encode(n, shown);
      check_name(n, shown);
      const std::string sub_cp = dir_cp == "." ? n_cp : dir_cp + "/" + n_cp;
      if (const char* why = sfx_member_path_check(sub_cp.c_str(), "x"))
        fail(shown + ": the installer would refuse this directory name: " + why);
      note_name(dir_cp, n_cp, shown);
      const std::size_t before = members.size();
      ancestors.emplace_back(st.st_dev, st.st_ino);
      walk(path + "/" + n, shown, sub_cp, st);
      ancestors.pop_back();
      if (members.size() == before)
        con.warn(shown + ": holds no files; the archive keeps files only, so it is left out");
    }
  }

  void add_file(const std::string& full, const std::string& shown, const std::string& dir_cp,
                const std::string& name, const struct stat& st) {
    Member m;
    m.src = full;
    m.shown = shown;
    m.dir = dir_cp;
    m.name = encode(name, shown);
    check_name(name, shown);
    if (const char* why = sfx_member_path_check(m.dir.c_str(), m.name.c_str()))
      fail(shown + ": the installer would refuse this name: " + why);
    if (m.dir.size() + 1 + m.name.size() > kRelPathLimit)
      fail(shown + ": path too long for the installer (" +
           std::to_string(m.dir.size() + 1 + m.name.size()) + " bytes below the work directory, at most " +
           std::to_string(kRelPathLimit) + ")");
    if (static_cast<std::uint64_t>(st.st_size) > 0x7FFFFFFFu)
      fail(shown + ": too large for the installer (at most 2 GiB - 1 bytes per file)");
    note_name(m.dir, m.name, shown);
    m.size = static_cast<std::uint64_t>(st.st_size);
    m.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    m.dev = st.st_dev;
    m.ino = st.st_ino;
    const std::int64_t t = st.st_mtim.tv_sec;
    if (t < INT32_MIN || t > INT32_MAX) {
      m.time = t < 0 ? INT32_MIN : INT32_MAX;
      con.warn(shown + ": modification time " + std::to_string(t) +
               " lies outside what the installer can store; set to " + format_time(m.time));
    } else {
      m.time = static_cast<std::int32_t>(t);
    }
    members.push_back(std::move(m));
  }
};

std::string read_small_file(const std::string& path, std::size_t limit) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) fail(path + ": " + errno_text());
  std::string s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && s.size() <= limit) s.append(buf, n);
  std::fclose(f);
  return s;
}

// Creates a temporary file beside final_path, under a name no one can
// foresee, and exclusively: a file or link planted there is never written
// through. Null with errno set on failure; `tmp` receives the name.
std::FILE* create_temp(const std::string& final_path, mode_t mode, std::string& tmp) {
  const std::size_t slash = final_path.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : final_path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  tmp = dir + "." + base + ".qtk-XXXXXX.part";
  const int fd = mkstemps(tmp.data(), 5);
  if (fd < 0) return nullptr;
  std::FILE* f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
  if (!f) {
    const int e = errno;
    close(fd);
    unlink(tmp.c_str());
    errno = e;
  }
  return f;
}

// Temporary output files, removed unless the pack completes.
struct TempFiles {
  std::vector<std::pair<std::string, std::string>> files;  // temp, final
  bool committed = false;
  ~TempFiles() {
    if (!committed)
      for (auto& f : files) std::remove(f.first.c_str());
  }
};

// One data chunk of one member.
struct Chunk {
  std::size_t member;
  std::uint64_t offset;
  std::uint32_t len;
  bool last;
};

// Compresses chunks on worker threads, each with its own encoder, and
// hands them to the writer strictly in order through a window of slots.
class Pipeline {
 public:
  Pipeline(const std::vector<Member>& members, const std::vector<Chunk>& chunks, unsigned jobs)
      : members_(members), chunks_(chunks), window_(std::max(2u, jobs * 3)) {
    slots_.resize(window_);
    for (auto& s : slots_) {
      s.packet = packet_alloc(SFX_PACKET_SIZE);
      s.work.resize(2 * SFX_PACKET_SIZE);
      if (!s.packet) fail("out of memory");
    }
    for (unsigned j = 0; j < jobs; ++j) threads_.emplace_back([this] { work(); });
  }
  ~Pipeline() {
    {
      std::lock_guard<std::mutex> g(m_);
      abort_ = true;
    }
    cv_work_.notify_all();
    for (auto& t : threads_) t.join();
    for (auto& s : slots_) packet_free(s.packet);
  }

  // The encoded packet of chunk i; valid until release(i).
  const Packet& get(std::size_t i, const std::uint8_t** payload) {
    Slot& s = slots_[i % window_];
    std::unique_lock<std::mutex> l(m_);
    cv_done_.wait(l, [&] { return s.ready == static_cast<std::int64_t>(i); });
    if (!s.error.empty()) fail(s.error);
    *payload = s.payload;
    return *s.packet;
  }
  void release(std::size_t i) {
    {
      std::lock_guard<std::mutex> g(m_);
      slots_[i % window_].ready = -1;
      consumed_ = i + 1;
    }
    cv_work_.notify_all();
  }

 private:
  struct Slot {
    Packet* packet = nullptr;
    std::vector<std::uint8_t> work;
    const std::uint8_t* payload = nullptr;
    std::int64_t ready = -1;  // index of the chunk the slot holds
    std::string error;
  };

  void work() {
    CodecEncoder* enc = codec_encoder_new();
    for (;;) {
      std::size_t i;
      {
        std::unique_lock<std::mutex> l(m_);
        cv_work_.wait(l, [&] { return abort_ || next_ >= chunks_.size() || next_ < consumed_ + window_; });
        if (abort_ || next_ >= chunks_.size()) break;
        i = next_++;
      }
      Slot& s = slots_[i % window_];
      s.error.clear();
      if (!enc) s.error = "out of memory";
      else encode(chunks_[i], enc, s);
      {
        std::lock_guard<std::mutex> g(m_);
        s.ready = static_cast<std::int64_t>(i);
      }
      cv_done_.notify_all();
    }
    codec_encoder_free(enc);
  }

  void encode(const Chunk& c, CodecEncoder* enc, Slot& s) {
    const Member& m = members_[c.member];
    if (m.src.empty()) {
      std::memcpy(s.packet->data, m.content.data() + c.offset, c.len);
    } else {
      std::FILE* f = std::fopen(m.src.c_str(), "rb");
      if (!f) {
        s.error = m.shown + ": " + errno_text();
        return;
      }
      struct stat now{};
      bool ok = fstat(fileno(f), &now) == 0 && now.st_dev == m.dev && now.st_ino == m.ino &&
                fseeko(f, static_cast<off_t>(c.offset), SEEK_SET) == 0 &&
                std::fread(s.packet->data, 1, c.len, f) == c.len;
      if (ok && c.last) {
        struct stat st{};
        ok = fstat(fileno(f), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == m.size &&
             static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec == m.mtime_ns;
      }
      std::fclose(f);
      if (!ok) {
        s.error = m.shown + ": the file changed while it was being packed";
        return;
      }
    }
    s.packet->type = SFX_MEMBER_DATA;
    s.packet->unpacked_len = c.len;
    s.packet->stored_len = 0;
    if (packet_encode(s.packet, enc, s.work.data(), static_cast<std::uint32_t>(s.work.size() - 1),
                      &s.payload) != 0)
      s.error = m.shown + ": the compressor failed";
  }

  const std::vector<Member>& members_;
  const std::vector<Chunk>& chunks_;
  const std::size_t window_;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::mutex m_;
  std::condition_variable cv_work_, cv_done_;
  std::size_t next_ = 0, consumed_ = 0;
  bool abort_ = false;
};

// Encodes the parts of a data packet that is split to fill a volume.
struct Splitter {
  CodecEncoder* enc = nullptr;  // made at the first split
  Packet* packet = nullptr;
  std::vector<std::uint8_t> work;
  ~Splitter() {
    codec_encoder_free(enc);
    packet_free(packet);
  }
  int put(SfxArchiveWriter& w, const std::uint8_t* data, std::uint32_t len) {
    if (!enc) {
      enc = codec_encoder_new();
      packet = packet_alloc(SFX_PACKET_SIZE);
      work.resize(2 * SFX_PACKET_SIZE);
    }
    if (!enc || !packet) return SFX_E_ENCODE;
    std::memcpy(packet->data, data, len);
    packet->type = SFX_MEMBER_DATA;
    packet->unpacked_len = len;
    packet->stored_len = 0;
    const std::uint8_t* payload = nullptr;
    if (packet_encode(packet, enc, work.data(), static_cast<std::uint32_t>(work.size() - 1), &payload) != 0)
      return SFX_E_ENCODE;
    return w.put(*packet, payload);
  }
};

std::string writer_error(int st) { return sfx_status_text(st); }

}  // namespace

int pack(const PackOptions& opt, const Console& con) {
  const CodePage cp(opt.codepage);
  struct stat root{};
  if (stat(opt.dir.c_str(), &root) != 0 || !S_ISDIR(root.st_mode))
    fail(printable(opt.dir) + ": not a directory");
  std::string root_real;
  if (char* real = realpath(opt.dir.c_str(), nullptr)) {
    root_real = real;
    std::free(real);
  } else {
    fail(printable(opt.dir) + ": " + errno_text());
  }

  // The stub, with the author's icon and version resource when given.
  bool stub_executable = false;
  const std::vector<std::uint8_t> stub = stub_image(opt, stub_executable);
  const auto stub_size = static_cast<std::uint32_t>(stub.size());

  // Volume size limits, checked before any work.
  const std::uint32_t chunk = sfx_data_chunk_size(opt.volume_size);
  if (opt.volume_size) {
    const std::uint64_t first_need = std::uint64_t{stub_size} + SFX_VOLUME_END_BYTES + SFX_TRAILER_SIZE;
    if (opt.volume_size < first_need)
      fail("volume size " + std::to_string(opt.volume_size) + " is too small: the first volume must hold the stub (" +
           std::to_string(stub_size) + " bytes) and the archive's close (" +
           std::to_string(SFX_VOLUME_END_BYTES + SFX_TRAILER_SIZE) + " bytes), at least " +
           std::to_string(first_need) + " bytes");
    if (chunk == 0)
      fail("volume size " + std::to_string(opt.volume_size) + " is too small: a volume must hold at least " +
           std::to_string(SFX_MIN_VOLUME_SIZE) + " bytes");
  }

  // The members.
  Scanner sc{cp, con, root_real, {}, {}, {}, {}, false};
  {
    std::string name = opt.output;
    for (int v = 1; v < 1000; ++v) {
      struct stat st{};
      if (stat(name.c_str(), &st) != 0) break;
      sc.skip.insert({st.st_dev, st.st_ino});
      char next[4096];
      if (sfx_next_volume_name(name.c_str(), v, next, sizeof next) != SFX_OK) break;
      name = next;
    }
  }
  sc.ancestors.emplace_back(root.st_dev, root.st_ino);
  sc.walk(opt.dir, "", ".", root);
  std::vector<Member>& members = sc.members;

  // The control file: DIR's own, or one written from --run.
  std::string run_cp;
  if (opt.run_given && !cp.encode(opt.run, run_cp))
    fail("--run " + printable(opt.run) + ": cannot be written in code page " + std::to_string(cp.number()));
  const Member* control = nullptr;
  for (const Member& m : members)
    if (path_key(cp, m.dir + "\\" + m.name) == path_key(cp, kControlFile)) control = &m;
  std::string run_value;
  if (control) {
    const std::string text = read_small_file(control->src, 1 << 20);
    if (!control_file_run(text, run_value))
      fail(control->shown + ": has no run= entry in its [system] section");
    if (opt.run_given && path_key(cp, run_cp) != path_key(cp, run_value))
      usage_error("--run " + printable(opt.run) + " differs from run=" + printable(run_value) + " in " +
                  control->shown);
  } else {
    if (!opt.run_given) usage_error("DIR has no qtksfx.ini, so --run PROGRAM is needed");
    Member m;
    m.shown = std::string(kControlFile) + " (written from --run)";
    m.dir = ".";
    m.name = kControlFile;
    m.content = "[system]\r\nrun=" + run_cp + "\r\n";
    if (!control_file_run(m.content, run_value) || run_value != run_cp)
      fail("--run " + printable(opt.run) +
           ": cannot be expressed in the control file (at most 126 characters, no ';', no leading blanks)");
    m.size = m.content.size();
    std::int32_t newest = 0;
    for (const Member& o : members) newest = std::max(newest, o.time);
    m.time = newest;  // the same folder gives the same bytes
    // In sorted place among the files of the top directory.
    auto pos = members.begin();
    while (pos != members.end() && pos->dir == "." && pos->name < m.name) ++pos;
    sc.note_name(m.dir, m.name, m.shown);
    members.insert(pos, std::move(m));
  }
  bool found = false;
  const std::string want = path_key(cp, run_value);
  for (const Member& m : members)
    if (path_key(cp, m.dir + "\\" + m.name) == want) found = true;
  if (!found) fail("run=" + printable(run_value) + " names no file of the archive");

  // Chunks in archive order.
  std::vector<Chunk> chunks;
  std::uint64_t total_in = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    total_in += m.size;
    for (std::uint64_t off = 0; off < m.size; off += chunk) {
      const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, m.size - off));
      chunks.push_back({i, off, len, off + len == m.size});
    }
  }

  // Volume 1: the stub, written into a temporary file; executable when the
  // stub is, the later volumes plain files.
  const mode_t mask = umask(0);
  umask(mask);
  TempFiles temps;
  std::vector<std::string> finals{opt.output};
  std::string tmp1;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(
      create_temp(opt.output, (stub_executable ? 0777 : 0666) & ~mask, tmp1), std::fclose);
  if (!out) fail(printable(opt.output) + ": cannot create: " + errno_text());
  temps.files.emplace_back(tmp1, opt.output);
  if (std::fwrite(stub.data(), 1, stub.size(), out.get()) != stub.size())
    fail(printable(opt.output) + ": write failed: " + errno_text());

  SfxArchiveWriter writer(
      out.get(), stub_size, opt.volume_size,
      [&](int v) -> std::FILE* {
        char next[4096];
        if (sfx_next_volume_name(finals.back().c_str(), v - 1, next, sizeof next) != SFX_OK)
          return nullptr;
        finals.push_back(next);
        std::string t;
        std::FILE* f = create_temp(next, 0666 & ~mask, t);
        if (f) temps.files.emplace_back(t, next);
        return f;
      },
      [](int, std::FILE* f) { return std::fclose(f); });
  auto check = [&](int st, const std::string& what) {
    if (st == SFX_E_OPEN) fail(printable(finals.back()) + ": cannot create: " + errno_text());
    if (st == SFX_E_VOLUME_LARGE)
      fail(printable(opt.output) + ": the installer would pass 2 GiB; split it with --volume-size");
    if (st != SFX_OK) fail(what + ": " + writer_error(st));
  };
  check(writer.begin(), opt.output);

  Splitter splitter;
  Progress bar(con, "pack", total_in);
  {
    Pipeline pipe(members, chunks, std::max(1u, opt.jobs));
    std::size_t ci = 0;
    for (const Member& m : members) {
      check_interrupted();
      check(writer.put_member_header(m.dir.c_str(), m.name.c_str(), m.time), m.shown);
      std::uint32_t total = 0, count = 0;
      for (; ci < chunks.size() && chunks[ci].member == static_cast<std::size_t>(&m - members.data()); ++ci) {
        check_interrupted();
        const std::uint8_t* payload = nullptr;
        const Packet& p = pipe.get(ci, &payload);
        const std::uint64_t n = PACKET_HEADER_SIZE + (p.unpacked_len ? p.stored_len : 0);
        const std::uint64_t room = writer.room();
        if (opt.volume_size && n > room && room >= PACKET_HEADER_SIZE + kMinSplit) {
          // The packet would leave the rest of this volume empty: its data
          // goes in several packets instead, the first ones filling the
          // volume. Stored, a part of room - 11 bytes takes exactly the
          // room; compressed it takes less, and the next part goes on.
          const std::uint8_t* d = p.data;
          std::uint32_t left = p.unpacked_len;
          while (left) {
            const std::uint64_t r = writer.room();
            std::uint32_t take = left;
            if (r >= PACKET_HEADER_SIZE + kMinSplit && r - PACKET_HEADER_SIZE < left)
              take = static_cast<std::uint32_t>(r - PACKET_HEADER_SIZE);
            check(splitter.put(writer, d, take), m.shown);
            d += take;
            left -= take;
            ++count;
          }
        } else {
          check(writer.put(p, payload), m.shown);
          ++count;
        }
        pipe.release(ci);
        total += chunks[ci].len;
        bar.add(chunks[ci].len);
      }
      check(writer.put_member_end(total, count), m.shown);
    }
  }
  check(writer.finish(), opt.output);
  check_interrupted();
  bar.done();
  if (std::fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0)
    fail(printable(opt.output) + ": write failed: " + errno_text());
  if (std::fclose(out.release()) != 0) fail(printable(opt.output) + ": write failed: " + errno_text());

  // Later volumes first, volume 1 last: only a complete set looks like an installer.
  // Should a rename fail, the volumes already in place go again: they are
  // this run's and would only look like part of an installer.
  for (std::size_t k = temps.files.size(); k-- > 0;) {
    const auto& [t, f] = temps.files[k];
    if (std::rename(t.c_str(), f.c_str()) != 0) {
      const std::string why = errno_text();
      for (std::size_t j = k + 1; j < temps.files.size(); ++j) std::remove(temps.files[j].second.c_str());
      fail(printable(f) + ": cannot rename into place: " + why);
    }
  }
  temps.committed = true;

  char stale[4096];
  if (sfx_next_volume_name(finals.back().c_str(), static_cast<int>(finals.size()), stale, sizeof stale) == SFX_OK &&
      access(stale, F_OK) == 0)
    con.warn(printable(stale) + " is left from an earlier run; it is not part of this installer");

  if (!con.quiet) {
    std::uint64_t total_out = 0;
    for (auto s : writer.volume_sizes()) total_out += s;
    con.out << printable(opt.output) << ": " << members.size() << " members, " << human_bytes(total_in)
            << " packed into " << human_bytes(total_out) << " (stub " << human_bytes(stub_size) << ")";
    if (finals.size() > 1) {
      con.out << " in " << finals.size() << " volumes:";
      for (std::size_t k = 0; k < finals.size(); ++k)
        con.out << "\n  " << printable(finals[k]) << "  " << writer.volume_sizes()[k] << " bytes";
    }
    con.out << '\n';
  }
  return kExitOk;
}

}  // namespace qtk
