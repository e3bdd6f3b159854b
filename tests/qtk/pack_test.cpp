// qtk pack: round trips, fixed output, volumes, and the names it refuses.
#include <sys/time.h>

#include <cstring>

#include "archive.h"
#include "qtk_test_util.h"
#include "test_icon.h"

namespace {

struct Pack : QtkTest {
  fs::path src, out, dst;
  void SetUp() override {
    QtkTest::SetUp();
    src = root / "src";
    out = root / "out" / "setup.exe";
    dst = root / "dst";
    fs::create_directories(out.parent_path());
    write_text(src / "setup.exe", "MZ setup");
    write_bytes(src / "big.bin", sample(250001, 1));       // three data packets
    write_bytes(src / "empty", {});
    write_text(src / "with space" / "a b.txt", "spaces");
    write_text(src / "n1" / "n2" / "n3" / "deep.txt", "deep");
    write_text(src / "n1" / "top.txt", "top");
    write_text(src / "caf\xc3\xa9" / "n\xc3\xa1ve.txt", "code page");  // café/náve.txt
  }
  // The tree after extraction, without the control file pack wrote.
  void expect_round_trip() {
    ASSERT_EQ(run({"extract", out.string(), "-C", dst.string(), "-q"}).code, 0);
    ASSERT_TRUE(fs::exists(dst / "qtksfx.ini"));
    fs::remove(dst / "qtksfx.ini");
    expect_same_tree(src, dst);
  }
};

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
  // A name that 1252 cannot hold is refused, naming the file.
  write_text(src / "\xc4\x8d" "e\xc5\xa1tina.txt", "cs");  // čeština.txt
  const Result r = pack(src, out, {"--run", "setup.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("\xc4\x8d" "e\xc5\xa1tina.txt: the name cannot be written in code page 1252"),
            std::string::npos) << r.err;
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "1250"}).code, 0);
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--codepage", "932"}).code, 2);
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
}

// The stub that qtk carries goes in front unless another is named.
TEST_F(Pack, TheStubInsideIsTheDefault) {
  unsetenv("QTK_STUB");
  std::size_t n = 0;
  const std::uint8_t* p = qtk::embedded_stub(n);
  ASSERT_GT(n, 4096u);
  ASSERT_EQ(std::string(p, p + 2), "MZ");
  const Result r = run({"pack", src.string(), "-o", out.string(), "-q", "--run", "setup.exe"});
  ASSERT_EQ(r.code, 0) << r.err;
  const Bytes b = read_bytes(out);
  ASSERT_GT(b.size(), n);
  EXPECT_TRUE(std::equal(p, p + n, b.begin()));
  EXPECT_EQ(run({"test", out.string(), "-q"}).code, 0);
  const Result v = run({"--version"});
  EXPECT_EQ(v.code, 0);
  EXPECT_EQ(v.out.rfind("qtk 1.", 0), 0u) << v.out;
  EXPECT_NE(v.out.find(" " + std::to_string(n) + " bytes"), std::string::npos) << v.out;
}

// Runs a shell command in `dir`; its exit code, and its output in `out`.
int shell(const fs::path& dir, const std::string& cmd, std::string* out = nullptr) {
  std::FILE* f = popen(("cd '" + dir.string() + "' && " + cmd + " 2>&1").c_str(), "r");
  if (!f) return -1;
  std::string o;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) o.append(buf, n);
  const int st = pclose(f);
  if (out) *out = o;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// UTF-8 text as the UTF-16LE bytes that Windows resources hold.
std::string utf16le(const std::string& s) {
  std::string w;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    unsigned cp = c, n = 1;
    if (c >= 0xE0) cp = c & 0x0F, n = 3;
    else if (c >= 0xC0) cp = c & 0x1F, n = 2;
    for (unsigned k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    w += static_cast<char>(cp & 0xFF);
    w += static_cast<char>(cp >> 8);
    i += n;
  }
  return w;
}

// The author's icon and version in the installer, as Windows' resource
// readers see them; the installer still unpacks and can still be signed.
TEST_F(Pack, BrandedInstallerCarriesTheAuthorsIconAndVersionAndCanBeSigned) {
  for (const char* tool : {"wrestool", "osslsigncode", "openssl"})
    ASSERT_EQ(shell(root, std::string("command -v ") + tool), 0)
        << tool << " is missing; scripts/bootstrap.sh installs it";
  unsetenv("QTK_STUB");
  write_bytes(root / "app.ico", test_icon());
  const std::string product = "P\xc5\x99\xc3\xadklad Suite";  // Příklad Suite
  const Result r = run({"pack", src.string(), "-o", out.string(), "-q", "--run", "setup.exe", "--icon",
                        (root / "app.ico").string(), "--product", product, "--company", "Example Ltd.",
                        "--description", "Example Setup", "--version", "2.1.0.7"});
  ASSERT_EQ(r.code, 0) << r.err;
  expect_round_trip();

  std::string o;
  ASSERT_EQ(shell(root, "wrestool -l out/setup.exe", &o), 0) << o;
  EXPECT_NE(o.find("--type=14 --name=1 --language=1033 [type=group_icon"), std::string::npos) << o;
  EXPECT_NE(o.find("--type=16 --name=1 --language=1033 [type=version"), std::string::npos) << o;
  EXPECT_NE(o.find("--type=5 --name=101 --language=1029 [type=dialog"), std::string::npos) << o;
  ASSERT_EQ(shell(root, "wrestool -x --type=14 --name=1 out/setup.exe", &o), 0);
  const Bytes ico = test_icon();
  EXPECT_EQ(o.substr(0, ico.size()), std::string(ico.begin(), ico.end())) << "the icon file, rebuilt from the resources";
  ASSERT_EQ(shell(root, "wrestool -x --raw --type=16 --name=1 out/setup.exe", &o), 0);
  for (const std::string t : {"ProductName", product.c_str(), "CompanyName", "Example Ltd.", "FileDescription",
                              "Example Setup", "FileVersion", "2.1.0.7", "ProductVersion"})
    EXPECT_NE(o.find(utf16le(t)), std::string::npos) << t;

  // Signed with a throwaway certificate; the signature covers the archive.
  ASSERT_EQ(shell(root, "openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 "
                        "-subj /CN=qtk-test", &o), 0) << o;
  ASSERT_EQ(shell(root, "osslsigncode sign -certs cert.pem -key key.pem -in out/setup.exe -out signed.exe", &o), 0)
      << o;
  EXPECT_EQ(shell(root, "osslsigncode verify -CAfile cert.pem -in signed.exe", &o), 0) << o;

  // Bad input: an icon that is not one, a version that is not four numbers,
  // a stub that is not a Windows program.
  write_text(root / "bad.ico", "GIF89a");
  const Result bad_icon = pack(src, out, {"--run", "setup.exe", "--icon", (root / "bad.ico").string()});
  EXPECT_EQ(bad_icon.code, 1);
  EXPECT_NE(bad_icon.err.find("bad.ico: not an icon file (.ico)"), std::string::npos) << bad_icon.err;
  const Result bad_version = pack(src, out, {"--run", "setup.exe", "--version", "2.1.0"});
  EXPECT_EQ(bad_version.code, 2);
  EXPECT_NE(bad_version.err.find("--version 2.1.0: not a version A.B.C.D"), std::string::npos) << bad_version.err;
  const Result not_windows = pack(src, out, {"--run", "setup.exe", "--product", "X"});
  EXPECT_EQ(not_windows.code, 1);
  EXPECT_NE(not_windows.err.find("not a Windows program"), std::string::npos) << not_windows.err;
}

}  // namespace
