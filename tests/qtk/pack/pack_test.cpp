// qtk pack: round trips, names, order, volumes, links, the control file, failures.
#include <sys/resource.h>

#include <cerrno>
#include <algorithm>
#include <csignal>

#include "pack_fixture.h"
#include "text/text.h"

namespace {

// The directory and name fields of every member header, "dir/name", as
// older readers see them.
std::vector<std::string> header_fields(const fs::path& installer) {
  std::vector<std::string> r;
  std::FILE* f = std::fopen(installer.c_str(), "rb");
  std::uint32_t first = 0;
  long end = 0;
  Packet* p = packet_alloc(SFX_PACKET_SIZE);
  if (f && codec_init(SFX_PACKET_SIZE) == 0 && sfx_trailer_read(f, &first, &end) == SFX_OK)
    while (std::ftell(f) < end && packet_read(p, f) == 0 && p->type != SFX_ARCHIVE_END) {
      sfx_member m{};
      if (p->type == SFX_MEMBER_HEADER && sfx_member_parse(p->data, p->unpacked_len, &m) == SFX_OK)
        r.push_back(std::string(m.dir) + "/" + m.name);
    }
  packet_free(p);
  if (f) std::fclose(f);
  return r;
}

TEST_F(Pack, RoundTripKeepsBytesTimesAndNames) {
  struct timeval tv[2] = {{946684800, 0}, {946684800, 0}};  // 2000-01-01
  utimes((src / "big.bin").c_str(), tv);
  const Result r = pack(src, out, {"--run", "setup.exe"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(run({"extract", out.string(), "-C", (root / "x").string(), "-q"}).code, 0);
  // The generated control file names the program the way the stub reads it.
  const Bytes ini = read_bytes(root / "x" / "qtksfx.ini");
  EXPECT_EQ(std::string(ini.begin(), ini.end()), "[system]\r\nrun=setup.exe\r\n");
  expect_round_trip();
  const Result l = run({"list", out.string()});
  ASSERT_EQ(l.code, 0) << l.err;
  EXPECT_NE(l.out.find("2000-01-01 00:00:00"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("caf\xc3\xa9/n\xc3\xa1ve.txt"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("      250001"), std::string::npos);
}

TEST_F(Pack, NamesAreStoredInTheChosenCodePage) {
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "1250"}).code, 0);
  const Result l = run({"list", out.string(), "--codepage", "1250"});
  EXPECT_NE(l.out.find("caf\xc3\xa9/n\xc3\xa1ve.txt"), std::string::npos) << l.out;
  // A name that 1252 cannot hold is packed: the header's fields get '_' for
  // what the page lacks, the record the name itself, which list shows
  // without being told the page. Two names that come out the same in the
  // fields stay apart there.
  write_text(src / "\xc4\x8d" "e\xc5\xa1tina.txt", "cs");  // čeština.txt
  write_text(src / "\xc5\x99" "e\xc5\xa1tina.txt", "cs");     // řeština.txt
  const Result r = pack(src, out, {"--run", "setup.exe"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> fields = header_fields(out);
  EXPECT_NE(std::find(fields.begin(), fields.end(), "./_e\x9atina.txt"), fields.end());
  EXPECT_NE(std::find(fields.begin(), fields.end(), "./_e\x9atina_.txt"), fields.end());
  const Result l2 = run({"list", out.string(), "--codepage", "1250"});
  EXPECT_NE(l2.out.find("  \xc4\x8d" "e\xc5\xa1tina.txt\n"), std::string::npos) << l2.out;
  EXPECT_NE(l2.out.find("  \xc5\x99" "e\xc5\xa1tina.txt\n"), std::string::npos) << l2.out;
  EXPECT_EQ(run({"test", out.string(), "-q"}).code, 0);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "1250"}).code, 0);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "50220"}).code, 2);
  // A double-byte page: 表 keeps its bytes 95 5C in the fields, whose trail
  // byte a byte-wise reader would take for a separator; ¥, which 932
  // writes as 5C, does not.
  write_text(src / "\xe8\xa1\xa8.txt", "hyo");    // 表.txt
  write_text(src / "\xc2\xa5" "en.txt", "yen");   // ¥en.txt
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "932"}).code, 0);
  const std::vector<std::string> j = header_fields(out);
  EXPECT_NE(std::find(j.begin(), j.end(), "./\x95\x5c.txt"), j.end());
  EXPECT_NE(std::find(j.begin(), j.end(), "./_en.txt"), j.end());
  const Result lj = run({"list", out.string()});
  EXPECT_NE(lj.out.find("  \xe8\xa1\xa8.txt\n"), std::string::npos) << lj.out;
  EXPECT_EQ(run({"test", out.string(), "-q"}).code, 0);
}

TEST_F(Pack, OutputIsTheSameAcrossRunsAndJobs) {
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "1"}).code, 0);
  const Bytes one = read_bytes(out);
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "1"}).code, 0);
  EXPECT_EQ(read_bytes(out), one);
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "3"}).code, 0);
  EXPECT_EQ(read_bytes(out), one);
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "2", "--volume-size", "50000"}).code, 0);
  const Bytes v1 = read_bytes(out), v2 = read_bytes(out.parent_path() / "setup.001");
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "1", "--volume-size", "50000"}).code, 0);
  EXPECT_EQ(read_bytes(out), v1);
  EXPECT_EQ(read_bytes(out.parent_path() / "setup.001"), v2);
}

TEST_F(Pack, OrderPutsFilesBeforeSubdirectoriesAndIsSorted) {
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe"}).code, 0);
  const Result l = run({"list", out.string()});
  std::vector<std::string> paths;
  std::istringstream in(l.out);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) paths.push_back(line.substr(line.rfind("  ") + 2));
  const std::vector<std::string> want{"big.bin", "empty", "qtksfx.ini", "setup.exe",
                                      "caf\xc3\xa9/n\xc3\xa1ve.txt", "n1/top.txt", "n1/n2/n3/deep.txt",
                                      "with space/a b.txt"};
  EXPECT_EQ(paths, want);
}

TEST_F(Pack, VolumesStayWithinTheSizeAndReadBack) {
  // 2000 bytes: many volumes, members spanning them; 340 (stub 300 + 19 +
  // a little): volume 1 holds nothing but a volume end.
  for (std::uint64_t size : {2000ull, 50000ull, 150000ull, 368640ull}) {
    SCOPED_TRACE(size);
    fs::remove_all(out.parent_path());
    fs::create_directories(out.parent_path());
    fs::remove_all(dst);
    const Result r = pack(src, out, {"--run", "setup.exe", "--volume-size", std::to_string(size)});
    ASSERT_EQ(r.code, 0) << r.err;
    std::size_t volumes = 0;
    for (const auto& e : fs::directory_iterator(out.parent_path())) {
      EXPECT_LE(e.file_size(), size) << e.path();
      ++volumes;
    }
    EXPECT_EQ(volumes > 1, size < 200000) << volumes;
    // Volumes before the last are filled: at most a member header, or a
    // rest too small to split a data packet into, stays empty.
    if (size >= 50000) {
      std::string name = out.string();
      for (std::size_t v = 1; v < volumes; ++v) {
        EXPECT_GE(fs::file_size(name) + 5000, size) << name;
        char next[4096];
        sfx_next_volume_name(name.c_str(), static_cast<int>(v), next, sizeof next);
        name = next;
      }
    }
    const Result t = run({"test", out.string()});
    EXPECT_EQ(t.code, 0) << t.err;
    expect_round_trip();
  }
}

TEST_F(Pack, VolumeEndAsTheFirstPacket) {
  // Volume 1 has room for the stub and its close only.
  const Result r = pack(src, out, {"--run", "setup.exe", "--volume-size", "1100"});
  ASSERT_EQ(r.code, 0) << r.err;
  const Bytes v1 = read_bytes(out);
  ASSERT_GE(v1.size(), 300u + 19u);
  // Whatever fits: the first packet is a header or, if none fits, the volume end.
  const Result small = pack(src, out, {"--run", "setup.exe", "--volume-size", "1024"});
  ASSERT_EQ(small.code, 0) << small.err;
  fs::path stub2 = root / "stub2.bin";
  write_bytes(stub2, sample(1000, 5));
  const Result r2 = run({"pack", src.string(), "-o", out.string(), "--stub", stub2.string(), "-q", "--run",
                         "setup.exe", "--volume-size", "1024"});
  ASSERT_EQ(r2.code, 0) << r2.err;
  const Bytes b = read_bytes(out);
  ASSERT_EQ(b.size(), 1000u + 11u + 8u);
  const Bytes ve{5, 0, 0, 0, 0, 0, 0, 0, 0, 5, 5};
  EXPECT_TRUE(std::equal(ve.begin(), ve.end(), b.begin() + 1000));
  EXPECT_EQ(run({"test", out.string()}).code, 0);
  expect_round_trip();
}

TEST_F(Pack, VolumeSizeTooSmallIsAClearError) {
  Result r = pack(src, out, {"--run", "setup.exe", "--volume-size", "310"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("too small: the first volume must hold the stub (300 bytes)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--volume-size", "lots"}).code, 2);
  EXPECT_EQ(qtk::parse_size("1440K"), 1474560u);
  EXPECT_EQ(qtk::parse_size("1.44m"), 1474560u);
  EXPECT_EQ(qtk::parse_size("720k"), 737280u);
  EXPECT_EQ(qtk::parse_size("2M"), 2097152u);
  EXPECT_EQ(qtk::parse_size("12345"), 12345u);
  // Sizes past 64 bits are refused, not wrapped round: 17179869185G would be 1 GiB.
  EXPECT_EQ(qtk::parse_size("17179869183G"), 18446744072635809792u);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--volume-size", "17179869184G"}).code, 2);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--volume-size", "17179869185G"}).code, 2);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "18446744073709551617"}).code, 2);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "4294968548"}).code, 2);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Pack, RefusesNamesTheInstallerWouldRefuse) {
  const struct { const char* name; const char* why; } cases[] = {
      {"a:b.txt", "':'"}, {"what?.txt", "may not hold"}, {"con.txt", "device"},
      {"dot.", "ends in"}, {"sub/aux/x.txt", "device"}, {"tab\there", "control"},
      // A Linux name that the installer would take for a folder and a file.
      {"a\\b", "holds '\\'"}, {"COM0", "reserved device name"}, {"lpt0.txt", "reserved device name"},
      {"del\x7f", "control character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path bad = src / "bad";
    fs::remove_all(bad);
    write_text(bad / c.name, "x");
    const Result r = pack(src, out, {"--run", "setup.exe"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("bad/"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
  }
  fs::remove_all(src / "bad");
  write_text(src / std::string(170, 'x'), "long");
  Result r = pack(src, out, {"--run", "setup.exe"});
  EXPECT_NE(r.err.find("path too long for the installer"), std::string::npos) << r.err;
  fs::remove(src / std::string(170, 'x'));
  write_text(src / "SETUP.EXE", "twin");
  r = pack(src, out, {"--run", "setup.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("only in letter case"), std::string::npos) << r.err;
  fs::remove(src / "SETUP.EXE");
  // Letter case as Windows folds it in the chosen code page, beyond ASCII.
  const struct { const char* a; const char* b; const char* cp; } twins[] = {
      {"CAF\xc3\x89", "caf\xc3\xa9", "1252"},                                   // CAFÉ, café
      {"\xd0\xa4\xd0\x90\xd0\x99\xd0\x9b", "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb", "1251"},  // ФАЙЛ, файл
  };
  for (const auto& t : twins) {
    SCOPED_TRACE(t.cp);
    write_text(src / (std::string(t.a) + ".txt"), "twin");
    write_text(src / (std::string(t.b) + ".txt"), "twin");
    r = pack(src, out, {"--run", "setup.exe", "--codepage", t.cp});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("only in letter case"), std::string::npos) << r.err;
    fs::remove(src / (std::string(t.a) + ".txt"));
    fs::remove(src / (std::string(t.b) + ".txt"));
  }
}

TEST_F(Pack, LinksInsideArePackedAsWhatTheyNameLinksOutsideRefused) {
  write_text(root / "secret.txt", "secret");
  fs::create_directories(root / "outside");
  write_text(root / "outside" / "s.txt", "secret");
  fs::create_symlink("setup.exe", src / "again.exe");
  fs::create_directory_symlink("n1/n2", src / "n2-too");
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe"}).code, 0);
  const Result l = run({"list", out.string()});
  EXPECT_NE(l.out.find("again.exe"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("n2-too/n3/deep.txt"), std::string::npos) << l.out;
  // Out of DIR, by absolute or relative path, to a file or a folder: refused by name.
  for (const char* link : {"sub/abs.txt", "sub/rel.txt", "sub/dir"}) {
    SCOPED_TRACE(link);
    fs::remove_all(src / "sub");
    fs::create_directories(src / "sub");
    const std::string l2 = link;
    if (l2 == "sub/abs.txt") fs::create_symlink(root / "secret.txt", src / link);
    if (l2 == "sub/rel.txt") fs::create_symlink("../../secret.txt", src / link);
    if (l2 == "sub/dir") fs::create_directory_symlink("../../outside", src / link);
    const Result r = pack(src, out, {"--run", "setup.exe"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(std::string(link) + ": a symbolic link that leads out of"), std::string::npos) << r.err;
  }
}

TEST_F(Pack, PlantedTemporaryNamesAreNotWrittenThrough) {
  // Links planted at the names an earlier version would have chosen.
  write_text(root / "victim", "keep");
  const std::string pid = std::to_string(getpid());
  for (const char* base : {".setup.exe.qtk-", ".setup.001.qtk-"})
    fs::create_symlink(root / "victim", out.parent_path() / (base + pid + ".part"));
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "--volume-size", "150000"}).code, 0);
  EXPECT_EQ(read_bytes(root / "victim"), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(fs::is_symlink(out));
  EXPECT_EQ(run({"test", out.string()}).code, 0);
  // Created exclusively, yet with the permissions a plain create gives.
  const mode_t mask = umask(0);
  umask(mask);
  for (const fs::path& p : {out, out.parent_path() / "setup.001"}) {
    struct stat st{};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << p;
  }
}

TEST_F(Pack, ControlFileAndRunMustAgree) {
  Result r = pack(src, out, {});
  EXPECT_EQ(r.code, 2) << r.err;
  r = pack(src, out, {"--run", "nothing.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("run=nothing.exe names no file"), std::string::npos) << r.err;
  write_text(src / "qtksfx.ini", "; setup\r\n[ System ]\r\nRun = n1\\N2\\n3\\deep.txt\r\n");
  r = pack(src, out, {});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(pack(src, out, {"--run", "n1/n2/n3/deep.txt"}).code, 0);
  r = pack(src, out, {"--run", "setup.exe"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("differs from run="), std::string::npos) << r.err;
  write_text(src / "qtksfx.ini", "[other]\nrun=setup.exe\n");
  r = pack(src, out, {"--run", "setup.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no run= entry"), std::string::npos) << r.err;
  write_text(src / "qtksfx.ini", "[system]\nrun=missing.exe ; comment\n");
  r = pack(src, out, {});
  EXPECT_NE(r.err.find("names no file"), std::string::npos) << r.err;
  // A program whose name is not ASCII: --run names it by run= in the
  // fields' bytes and by run.utf8=, which the stub takes on every code page.
  fs::remove(src / "qtksfx.ini");
  const std::string nave = "caf\xc3\xa9/n\xc3\xa1ve.txt";
  ASSERT_EQ(pack(src, out, {"--run", nave}).code, 0);
  ASSERT_EQ(run({"extract", out.string(), "-C", (root / "x").string(), "-q"}).code, 0);
  const Bytes ini = read_bytes(root / "x" / "qtksfx.ini");
  EXPECT_EQ(std::string(ini.begin(), ini.end()), "[system]\r\nrun=caf\xe9/n\xe1ve.txt\r\nrun.utf8=" + nave + "\r\n");
  // An author's own file: run.utf8= is taken; a run= in UTF-8 names nothing
  // the installer finds; one in the page's bytes is packed, with a warning.
  write_text(src / "qtksfx.ini", "[system]\nrun.utf8=" + nave + "\n");
  EXPECT_EQ(pack(src, out, {}).code, 0);
  write_text(src / "qtksfx.ini", "[system]\nrun=" + nave + "\n");
  r = pack(src, out, {});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is a name in UTF-8"), std::string::npos) << r.err;
  write_text(src / "qtksfx.ini", "[system]\nrun=caf\xe9\\n\xe1ve.txt\n");
  r = run({"pack", src.string(), "-o", out.string(), "--stub", stub.string()});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("finds only under code page 1252; add run.utf8=" + nave), std::string::npos) << r.err;
}

TEST_F(Pack, ControlFileIsReadTheWayTheStubReadsIt) {
  std::string run;
  ASSERT_TRUE(qtk::control_file_run("[sys tem]\r\n run =  setup.exe;x\r\n", run));
  EXPECT_EQ(run, "setup.exe");
  ASSERT_TRUE(qtk::control_file_run("run=early\n[system]\nrun=a b \nrun=second\n", run));
  EXPECT_EQ(run, "a b ");  // trailing blanks stay, the first entry wins
  EXPECT_FALSE(qtk::control_file_run("[system]\n;run=x\n\x1a[system]\nrun=y\n", run));
}

TEST_F(Pack, ClampsTimesBeyondTheSigned32BitRange) {
  struct timeval tv[2] = {{4102444800, 0}, {4102444800, 0}};  // 2100-01-01
  ASSERT_EQ(utimes((src / "empty").c_str(), tv), 0);
  const Result r = run({"pack", src.string(), "-o", out.string(), "--stub", stub.string(), "--run", "setup.exe"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("empty: modification time 4102444800"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("2038-01-19 03:14:07"), std::string::npos) << r.err;
}

TEST_F(Pack, FailedPackLeavesNoInstallerBehind) {
  // Volume 2 cannot be renamed into place: a directory holds its name.
  fs::create_directories(out.parent_path() / "setup.001" / "keep");
  const Result r = pack(src, out, {"--run", "setup.exe", "--volume-size", "50000"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("setup.001: cannot rename into place"), std::string::npos) << r.err;
  for (const auto& e : fs::directory_iterator(out.parent_path()))
    EXPECT_EQ(e.path().filename(), "setup.001") << e.path();
  // An interrupted pack stops and cleans up as well.
  fs::remove_all(out.parent_path() / "setup.001");
  qtk::g_interrupted = true;
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe"}).code, 1);
  qtk::g_interrupted = false;
  EXPECT_TRUE(fs::is_empty(out.parent_path()));
  // A missing stub is named.
  const Result s = run({"pack", src.string(), "-o", out.string(), "--stub", (root / "none").string(), "--run",
                        "setup.exe"});
  EXPECT_EQ(s.code, 1);
  EXPECT_NE(s.err.find("none not found"), std::string::npos);
  // A full disk (here a limit on the size of files): the volume being
  // written is named, with the system's reason, and nothing is left.
  struct rlimit old{}, small{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  small = old;
  small.rlim_cur = 100000;
  std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const Result full = pack(src, out, {"--run", "setup.exe"});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, SIG_DFL);
  EXPECT_EQ(full.code, 1);
  EXPECT_NE(full.err.find("qtk: " + out.string() + ": write failed: " + std::strerror(EFBIG)), std::string::npos)
      << full.err;
  EXPECT_TRUE(fs::is_empty(out.parent_path()));
}

TEST_F(Pack, OutputInsideTheFolderIsLeftOut) {
  const fs::path inside = src / "setup-built.exe";
  ASSERT_EQ(pack(src, inside, {"--run", "setup.exe"}).code, 0);
  const Result r = run({"pack", src.string(), "-o", inside.string(), "--stub", stub.string(), "--run", "setup.exe"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("is the output of this run"), std::string::npos) << r.err;
  EXPECT_EQ(run({"list", inside.string()}).out.find("setup-built"), std::string::npos);
}

TEST_F(Pack, HelpAndUsage) {
  for (const char* c : {"pack", "list", "test", "extract"}) {
    const Result r = run({c, "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(std::string("usage: qtk ") + c), std::string::npos);
  }
  EXPECT_EQ(run({"--help"}).code, 0);
  EXPECT_EQ(run({}).code, 2);
  EXPECT_EQ(run({"frobnicate"}).code, 2);
  EXPECT_EQ(run({"list", "a", "--bogus"}).code, 2);
  EXPECT_EQ(run({"pack", src.string(), "--run", "setup.exe"}).code, 2);  // no -o
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "-j", "0"}).code, 2);
  EXPECT_EQ(pack(src, out, {"--run=setup.exe", "-j1"}).code, 0);
  EXPECT_EQ(run({"list", "a", "--quiet=yes"}).code, 2);
  EXPECT_EQ(run({"list", "a", "-j", "2"}).code, 2);  // an option of other commands only
  EXPECT_EQ(run({"compress", "a", "b", "--codepage", "1250"}).code, 2);
}

// --depfile: the installer, then every directory read and every file
// packed (and the stub given), escaped as make and Ninja read them; not
// the control file written from --run, which is no file.
TEST_F(Pack, DepfileListsEveryFileAndFolderRead) {
  write_text(src / "cost $5 #1.txt", "odd name");
  const fs::path dep = root / "out" / "setup.d";
  const Result r = pack(src, out, {"--run", "setup.exe", "--depfile", dep.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  const Bytes b = read_bytes(dep);
  const std::string d(b.begin(), b.end());
  const std::string s = src.string();
  EXPECT_EQ(d.rfind(out.string() + ": \\\n  " + stub.string() + " \\\n  " + s + " \\\n", 0), 0u) << d;
  for (const std::string& line :
       {s + "/with\\ space", s + "/n1/n2/n3", s + "/setup.exe", s + "/with\\ space/a\\ b.txt",
        s + "/cost\\ $$5\\ \\#1.txt", s + "/caf\xc3\xa9/n\xc3\xa1ve.txt", s + "/big.bin"})
    EXPECT_TRUE(d.find("  " + line + " \\\n") != std::string::npos || d.find("  " + line + "\n") == d.size() - line.size() - 3)
        << line << "\n" << d;
  EXPECT_EQ(d.find("qtksfx.ini"), std::string::npos) << d;
  EXPECT_EQ(d.back(), '\n');
  // No depfile without the option, and a usage error without its value.
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--depfile"}).code, 2);
}

// SOURCE_DATE_EPOCH: later times are stored as it, earlier ones as they are.
TEST_F(Pack, SourceDateEpochLimitsTheTimes) {
  struct timeval old[2] = {{946684800, 0}, {946684800, 0}};  // 2000-01-01
  utimes((src / "big.bin").c_str(), old);
  const Bytes plain = (pack(src, out, {"--run", "setup.exe"}), read_bytes(out));
  setenv("SOURCE_DATE_EPOCH", "978307200", 1);  // 2001-01-01
  const Result r = pack(src, out, {"--run", "setup.exe"});
  const Result l = run({"list", out.string()});
  const Result bad = (setenv("SOURCE_DATE_EPOCH", "soon", 1), pack(src, out, {"--run", "setup.exe"}));
  unsetenv("SOURCE_DATE_EPOCH");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(read_bytes(out), plain);
  EXPECT_NE(l.out.find("2000-01-01 00:00:00      3"), std::string::npos) << l.out;  // big.bin
  EXPECT_NE(l.out.find("2001-01-01 00:00:00      1            "), std::string::npos) << l.out;
  std::istringstream lines(l.out);
  int members = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.find(" packets ") == std::string::npos && line.find("elevation") == std::string::npos) {
      ++members;
      EXPECT_TRUE(line.find(" 2000-01-01 ") != std::string::npos || line.find(" 2001-01-01 ") != std::string::npos)
          << line;  // nothing of today
    }
  EXPECT_EQ(members, 8) << l.out;
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("SOURCE_DATE_EPOCH=soon"), std::string::npos) << bad.err;
}

// Every option that a command takes, by every name, from the table the
// command line is made from, is described in the manual page.
TEST_F(Pack, ManualDescribesEveryOption) {
  std::ifstream f(QTK_MANUAL);
  const std::string manual((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(manual.size(), 1000u) << QTK_MANUAL;
  for (const char* c : {"pack", "list", "test", "extract", "compress", "decompress"}) {
    const std::vector<std::string> names = qtk::option_names(c);
    EXPECT_FALSE(names.empty()) << c;
    for (std::string n : names) {
      const std::string shown = n;
      for (std::size_t i = 0; (i = n.find('-', i)) != std::string::npos; i += 2) n.insert(i, "\\");
      EXPECT_NE(manual.find(n), std::string::npos) << "qtk " << c << ": " << shown << " is not in the manual page";
    }
  }
}

}  // namespace
