// qtk pack and the stub it puts in front: the one carried inside, the
// author's icon and version resource, and the execution level of its manifest.
#include "pack/pack_fixture.h"

namespace {

struct PackStub : Pack {};

// The stub that qtk carries goes in front unless another is named.
TEST_F(PackStub, TheStubInsideIsTheDefault) {
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
  // --elevation auto leaves the stub as it is.
  ASSERT_EQ(run({"pack", src.string(), "-o", out.string(), "-q", "--run", "setup.exe", "--elevation", "auto"}).code, 0);
  EXPECT_EQ(read_bytes(out), b);
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
TEST_F(PackStub, BrandedInstallerCarriesTheAuthorsIconAndVersionAndCanBeSigned) {
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

// The manifest as Windows' resource readers see it, in packed and in
// branded installers: Common Controls 6 and DPI awareness always, the
// execution level that --elevation asks for, none by default; list names it.
TEST_F(PackStub, InstallersCarryTheManifestWithTheChosenLevel) {
  ASSERT_EQ(shell(root, "command -v wrestool"), 0) << "wrestool is missing; scripts/bootstrap.sh installs it";
  unsetenv("QTK_STUB");
  write_bytes(root / "app.ico", test_icon());
  const struct {
    const char* elevation;  // null: not given
    const char* level;      // null: none in the manifest
    bool branded;
  } cases[] = {{nullptr, nullptr, false}, {"auto", nullptr, true}, {"user", "asInvoker", false},
               {"admin", "requireAdministrator", true}, {"highest", "highestAvailable", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.elevation ? c.elevation : "-") + (c.branded ? " branded" : ""));
    std::vector<std::string> a{"pack", src.string(), "-o", out.string(), "-q", "--run", "setup.exe"};
    if (c.elevation) a.insert(a.end(), {"--elevation", c.elevation});
    if (c.branded) a.insert(a.end(), {"--icon", (root / "app.ico").string(), "--version", "2.1.0.7"});
    const Result r = run(a);
    ASSERT_EQ(r.code, 0) << r.err;
    std::string o;
    ASSERT_EQ(shell(root, "wrestool -l out/setup.exe", &o), 0) << o;
    EXPECT_NE(o.find("--type=24 --name=1 "), std::string::npos) << o;
    EXPECT_EQ(o.find("--type=14 --name=1 ") != std::string::npos, c.branded) << o;
    ASSERT_EQ(shell(root, "wrestool -x --raw --type=24 --name=1 out/setup.exe", &o), 0);
    EXPECT_NE(o.find("<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos) << o;
    EXPECT_NE(o.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"),
              std::string::npos) << o;
    if (c.level)
      EXPECT_NE(o.find(std::string("<requestedExecutionLevel level=\"") + c.level + "\" uiAccess=\"false\"/>"),
                std::string::npos) << o;
    else
      EXPECT_EQ(o.find("requestedExecutionLevel"), std::string::npos) << o;
    const Result l = run({"list", out.string()});
    EXPECT_EQ(l.out.rfind(std::string("elevation: ") + (c.elevation ? c.elevation : "auto") + " (", 0), 0u) << l.out;
    const Result t = run({"test", out.string()});
    EXPECT_EQ(t.code, 0) << t.err;
    EXPECT_EQ(t.out.find("note:"), std::string::npos) << t.out;
  }
  expect_round_trip();

  // A Windows stub without a manifest: packed as it is and noted by test,
  // but it cannot take a level.
  std::size_t n = 0;
  const std::uint8_t* p = qtk::embedded_stub(n);
  Bytes bare(p, p + n);
  std::vector<qtk::pe::Resource> res, kept;
  ASSERT_EQ(qtk::pe::read_resources(bare, res), "");
  for (const auto& r : res)
    if (r.type.id != qtk::pe::kRtManifest) kept.push_back(r);
  ASSERT_EQ(qtk::pe::write_resources(bare, kept), "");
  write_bytes(root / "bare.exe", bare);
  ASSERT_EQ(pack(src, out, {"--run", "setup.exe", "--stub", (root / "bare.exe").string()}).code, 0);
  EXPECT_EQ(run({"list", out.string()}).out.rfind("elevation: auto (the stub has no application manifest)\n", 0), 0u);
  const Result t = run({"test", out.string()});
  EXPECT_EQ(t.code, 0);
  EXPECT_NE(t.out.find("setup.exe: note: the stub has no application manifest"), std::string::npos) << t.out;
  const Result r = pack(src, out, {"--run", "setup.exe", "--stub", (root / "bare.exe").string(), "--elevation", "admin"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("bare.exe: cannot take the execution level: it has no application manifest"), std::string::npos)
      << r.err;
  EXPECT_EQ(pack(src, out, {"--run", "setup.exe", "--elevation", "root"}).code, 2);
}

}  // namespace
