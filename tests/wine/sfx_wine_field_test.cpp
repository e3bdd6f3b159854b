// The real Win32 stub under Wine, as installers meet the field: signed and
// branded installers, Cancel racing the setup program, the program started
// by another name, links planted in the work directory, the Czech texts.
#include <algorithm>
#include <vector>

#include "sfx_wine_fixture.h"

namespace {

class SfxWineField : public SfxWine {};

// Installers that sfx_wine_signed.sh has packed with qtk and signed with
// osslsigncode (in QTK_SIGNED_DIR): the stub finds its archive before the
// certificate table. The stub runs as the installer itself.
class SfxWineSigned : public SfxWine {
 protected:
  void SetUp() override {
    SfxWine::SetUp();
    char dir[MAX_PATH];
    if (!GetEnvironmentVariableA("QTK_SIGNED_DIR", dir, sizeof dir))
      GTEST_SKIP() << "QTK_SIGNED_DIR is not set: sfx_wine_signed.sh runs these";
    dir_ = windows_path(dir) + "\\";
  }
  SfxRun run_installer(const std::string& path, SfxRunOptions o = {}) {
    o.program = dir_ + path;
    o.command_line = "\"" + o.program + "\"";
    return run(o);
  }
  void expect_extracted() {
    for (const char* f : {"readme.txt", "qtksfx.ini", "docs\\numbers.txt"})
      EXPECT_EQ(slurp(work_ + f), slurp(dir_ + "stage\\" + f)) << f;
    EXPECT_EQ(slurp(work_ + "setup-report.txt"),
              "cmdline=" + work_ + "setup.exe\ncwd=" + work_.substr(0, work_.size() - 1) + "\ndone\n");
  }
  std::string dir_;
};

TEST_F(SfxWineSigned, SignedInstallerExtractsAndRunsSetup) {
  const SfxRun r = run_installer("signed\\setup.exe");
  EXPECT_EQ(r.exit_code, 3);  // the setup program's
  expect_boxes(r, {});
  expect_extracted();
}

TEST_F(SfxWineSigned, DamagedByteInASignedInstaller) {
  const std::string own = dir_ + "damaged\\setup.exe";
  const SfxRun r = run_installer("damaged\\setup.exe");
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"ERROR", "CRC is invalid or packet can't be read -- file " + own + " is damaged!", false},
                   closing_files()});
}

TEST_F(SfxWineSigned, SignedFirstVolumeOfAMultiVolumeInstaller) {
  int volumes = 1;
  for (;; ++volumes) {
    char name[32];
    std::snprintf(name, sizeof name, "multi\\setup.%03d", volumes);
    if (!exists(dir_ + name)) break;
  }
  ASSERT_GE(volumes, 2);
  const SfxRun r = run_installer("multi\\setup.exe");
  EXPECT_EQ(r.exit_code, 3);  // the setup program's
  std::vector<Box> want;
  for (int disk = 2; disk <= volumes; ++disk)
    want.push_back({"Insert disk...", "Insert disk numbered " + std::to_string(disk) + kTail, true});
  expect_boxes(r, want);
  expect_extracted();
}

TEST_F(SfxWineField, NoSetupProgramStartsAfterCancel) {
  // The diskette prompt holds the main thread while Cancel is pressed; the
  // prompt is answered while the Cancel box stays open, until the main
  // thread has reached the setup program.
  TestArchive a(stub_image());
  control_and_setup(a);
  a.volume_end();
  a.archive_end();
  save(a);
  HWND dialog = nullptr, prompt = nullptr;
  bool reached = false, started = false;
  SfxRunOptions o;
  o.on_dialog = [&](HWND d) { dialog = d; };
  o.on_box = [&](const SfxBox& box, int index) {
    if (index == 0) {
      prompt = box.window;
      return SfxAnswer::leave_open_and_cancel_dialog;
    }
    if (index == 1) {
      PostMessageW(prompt, WM_COMMAND, IDOK, 0);
      for (int k = 0; k < 200 && !reached; ++k, Sleep(100))
        reached = status_text(dialog).find("Setu program") != std::string::npos;
      Sleep(1500);
      started = exists(work_ + "setup-report.txt");
    }
    return SfxAnswer::ok;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(reached);
  EXPECT_FALSE(started);
  expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true},
                   {"Cancelled by user.",
                    "Canceled by user. There are lost files in directory " + work_ + ", probably.", false}});
  EXPECT_FALSE(exists(work_ + "setup-report.txt"));
}

// The work directory stays locked while the setup program runs, after the
// installer that started it was cancelled: the next installer waits for it.
TEST_F(SfxWineField, TheLockLastsUntilTheSetupProgramEnds) {
  TestArchive a(stub_image());
  control_and_setup(a);
  a.archive_end();
  save(a);
  SfxRunOptions first;
  first.env.push_back("SFX_SETUP_SLEEP=3000");
  first.on_dialog = [&](HWND dialog) {
    for (int k = 0; k < 400 && !exists(work_ + "runs.txt"); ++k) Sleep(25);
    PostMessageW(dialog, WM_COMMAND, 1002, 0);
  };
  const SfxRun cancelled = run(first);
  EXPECT_EQ(cancelled.exit_code, 1);
  expect_boxes(cancelled, {{"Cancelled by user.",
                            "Canceled by user. There are lost files in directory " + work_ + ", probably.", false}});
  EXPECT_EQ(slurp(work_ + "runs.txt"), "start\n");  // its setup program runs on
  SfxRunOptions second;
  second.env.push_back("SFX_SETUP_SLEEP=10");
  const SfxRun next = run(second);
  EXPECT_EQ(next.exit_code, 3);
  expect_boxes(next, {});
  EXPECT_EQ(slurp(work_ + "runs.txt"), "start\nend\nstart\nend\n");
}

TEST_F(SfxWineField, OwnPathThroughTheModule) {
  // The installer in a folder whose name has a space, over two volumes.
  const std::string dir = root_ + "with space\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  TestArchive a(stub_image());
  a.member(".", "one.txt", "one");
  a.volume_end();
  control_and_setup(a);
  a.archive_end();
  spill(dir + "setup.exe", std::string(a.volume(0).begin(), a.volume(0).end()));
  spill(dir + "setup.001", std::string(a.volume(1).begin(), a.volume(1).end()));
  // Named without its extension, as typed at a prompt; by an unquoted path
  // with a space. Neither first word opens: the module's path does, and the
  // next volume is named from it.
  for (const std::string& command : {std::string("setup"), dir + "setup.exe"}) {
    SCOPED_TRACE(command);
    DeleteFileA((work_ + "setup-report.txt").c_str());
    SfxRunOptions o;
    o.program = dir + "setup.exe";
    o.command_line = command;
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 3);  // the setup program's
    expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true}});
    EXPECT_TRUE(exists(work_ + "setup-report.txt"));
  }
}

// Folders whose names the system's code page cannot hold: the work
// directory (TEMP and TMP) and the installer's own folder, with a set of
// three volumes. Member names keep their code-page bytes and land under the
// names that the code-page calls always gave them.
TEST_F(SfxWineField, PathsOutsideTheCodePage) {
  work_ = root_ + "\xe7\x94\xa8\xe6\x88\xb7temp\\";  // 用户temp
  const std::string dir = root_ + "\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1 \xe5\xae\x89\xe8\xa3\x85\\";  // Ωμέγα 安装
  ASSERT_TRUE(CreateDirectoryW(sfx_wide(work_).c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(sfx_wide(dir).c_str(), nullptr));
  const std::string cafe = "caf\xe9.txt";  // code page 1252 bytes
  wchar_t name[32];
  ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, cafe.c_str(), -1, name, 32), 0);
  const std::string landed = sfx_utf8(name);
  if (GetACP() == 1252) {
    EXPECT_EQ(landed, "caf\xc3\xa9.txt");  // café.txt
  }
  TestArchive a(stub_image());
  a.member(".", "readme.txt", "hello", 946684800);
  a.member("docs", cafe, "coffee", 1262304000);
  a.volume_end();
  a.member("docs", "more.txt", "more", 1300000000);
  a.volume_end();
  control_and_setup(a);
  a.archive_end();
  for (std::size_t i = 0; i < a.volumes(); ++i)
    spill(dir + (i == 0 ? std::string("setup.exe") : "setup.00" + std::to_string(i)),
          std::string(a.volume(i).begin(), a.volume(i).end()));
  SfxRunOptions o;
  o.program = dir + "setup.exe";
  o.command_line = "\"" + o.program + "\"";
  o.env.push_back("SFX_SETUP_EXIT=0");
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 0);
  expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true},
                   {"Insert disk...", std::string("Insert disk numbered 3") + kTail, true}});
  EXPECT_EQ(slurp(work_ + "readme.txt"), "hello");
  EXPECT_EQ(slurp(work_ + "docs\\" + landed), "coffee");
  EXPECT_EQ(write_time(work_ + "docs\\" + landed), 1262304000);
  EXPECT_EQ(write_time(work_ + "docs\\more.txt"), 1300000000);
  EXPECT_EQ(r.last_status, "\r\nSetu program\r\n" + work_ + "setup.exe\r\nran. Waiting for its completion.");
  EXPECT_EQ(slurp(work_ + "setup-report.txt"),
            "cmdline=" + work_ + "setup.exe\ncwd=" + work_.substr(0, work_.size() - 1) + "\ndone\n");
}

TEST_F(SfxWineField, PlantedLinksAreReplacedNotFollowed) {
  // Links put into the shared work directory where members will land, each
  // leading to a file outside it: a Unix symbolic link and a hard link.
  spill(root_ + "victim-s.txt", "keep me");
  spill(root_ + "victim-h.txt", "keep me too");
  CreateDirectoryA((root_ + "elsewhere").c_str(), nullptr);
  ASSERT_TRUE(unix_symlink(root_ + "victim-s.txt", work_ + "s.txt"));
  ASSERT_TRUE(CreateHardLinkA((work_ + "h.txt").c_str(), (root_ + "victim-h.txt").c_str(), nullptr));
  {
    TestArchive a(stub_image());
    a.member(".", "s.txt", "member s");
    a.member(".", "h.txt", "member h");
    control_and_setup(a);
    a.archive_end();
    save(a);
    const SfxRun r = run();
    EXPECT_EQ(r.exit_code, 3);  // the setup program's
    expect_boxes(r, {});
    EXPECT_EQ(slurp(root_ + "victim-s.txt"), "keep me");
    EXPECT_EQ(slurp(root_ + "victim-h.txt"), "keep me too");
    EXPECT_EQ(slurp(work_ + "s.txt"), "member s");
    EXPECT_EQ(slurp(work_ + "h.txt"), "member h");
  }
  {
    // A member directory that is a link is not entered.
    ASSERT_TRUE(unix_symlink(root_ + "elsewhere", work_ + "d"));
    TestArchive a(stub_image());
    a.member("d", "x.txt", "x");
    a.archive_end();
    save(a);
    const SfxRun r = run();
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "Can't open file " + work_ + "d/x.txt for writing.", false}, closing_files()});
    EXPECT_FALSE(exists(root_ + "elsewhere\\x.txt"));
  }
  {
    // The folders that earlier members went into are held: while the
    // diskette prompt is open, neither can be moved away for a link to
    // take its name.
    TestArchive a(stub_image());
    a.member("f\\g", "one.txt", "1");
    a.volume_end();
    a.member("f\\g", "two.txt", "2");
    a.archive_end();
    save(a);
    bool moved = false;
    SfxRunOptions o;
    o.on_box = [&](const SfxBox&, int index) {
      if (index == 0)
        for (const char* folder : {"f\\g", "f"})
          if (MoveFileA((work_ + folder).c_str(), (work_ + "moved").c_str())) {
            moved = true;
            unix_symlink(root_ + "elsewhere", work_ + folder);
          }
      return SfxAnswer::ok;
    };
    const SfxRun r = run(o);
    EXPECT_FALSE(moved);
    EXPECT_EQ(r.exit_code, 1);  // no control file
    EXPECT_EQ(slurp(work_ + "f\\g\\two.txt"), "2");
    EXPECT_FALSE(exists(root_ + "elsewhere\\two.txt"));
  }
}

TEST_F(SfxWineField, CzechTexts) {
  TestArchive a(stub_image());
  a.member(".", "x.txt", "x");
  a.archive_end();
  save(a);
  // Wine takes the language from the locale it was started under
  // (LC_ALL=cs_CZ.UTF-8, see CMakeLists.txt); it picks resources 1029.
  if (GetUserDefaultUILanguage() != 0x405) GTEST_SKIP() << "not started under a Czech locale";
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.dialog_caption, "Příprava instalace");
  EXPECT_EQ(r.dialog_texts,
            "Čekejte prosím, připravuji instalaci. Může to chvilku trvat...|Win32 SFX 1.1|Přerušit|QTK 1.1");
  expect_boxes(r, {{"CHYBA", "V balíčku chybí soubor QTKSFX.INI.", false},
                   {"CHYBA",
                    "Instalace nemůže dále pokračovat a bude nouzově ukončena. Pravděpodobně zůstaly nějaké "
                    "soubory v adresáři " + work_ + ".",
                    true}});
}

// One installer whose names the code page 1250 spells in the header's
// fields (as qtk pack --codepage 1250 writes them), run under a Czech
// (1250), a Western (1252) and a Japanese (932) locale: the record's names
// are written exactly on each, and the setup program, whose name is not
// ASCII, starts by run.utf8=. A member without a record is read as before.
// CMakeLists.txt runs this under each locale with QTK_EXPECT_ACP.
TEST_F(SfxWineField, LocaleUnicodeNamesOnEveryCodePage) {
  char want[16] = {};
  if (GetEnvironmentVariableA("QTK_EXPECT_ACP", want, sizeof want)) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(want))) << "the locale is missing (scripts/bootstrap.sh makes it)";
  }
  const std::string manual = "p\xc5\x99\xc3\xadru\xc4\x8dka.txt";      // příručka.txt
  const std::string cafe = "caf\xc3\xa9.txt";                              // café.txt
  const std::string setup = "instal\xc3\xa1tor.exe";                       // instalátor.exe
  const std::string docs = "dokumenty/\xe6\x97\xa5\xe6\x9c\xac";          // dokumenty/日本
  TestArchive a(stub_image());
  a.recorded(".", "p\xf8\xedru\xe8ka.txt", "", manual, "manual", false, 1250);
  a.recorded(".", "caf\xe9.txt", "", cafe, "cafe", false, 1250);
  a.recorded("dokumenty/__", "caf\xe9.txt", docs, cafe, "deep", false, 1250);
  a.recorded(".", "qtksfx.ini", "", "", "[system]\r\nrun=instal\xe1tor.exe\r\nrun.utf8=" + setup + "\r\n", false,
             1250);
  a.recorded(".", "instal\xe1tor.exe", "", setup, slurp(kSetup), false, 1250);
  a.member(".", "readme.txt", "plain");
  a.archive_end();
  save(a);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 3);  // the setup program's
  expect_boxes(r, {});
  EXPECT_EQ(slurp(work_ + manual), "manual");
  EXPECT_EQ(slurp(work_ + cafe), "cafe");
  EXPECT_EQ(slurp(work_ + "dokumenty\\\xe6\x97\xa5\xe6\x9c\xac\\" + cafe), "deep");
  EXPECT_EQ(slurp(work_ + "readme.txt"), "plain");
  EXPECT_EQ(slurp(work_ + "setup-report.txt"),
            "cmdline=" + work_ + setup + "\ncwd=" + work_.substr(0, work_.size() - 1) + "\ndone\n");
  // Nothing else: no name that a code page made of the fields' bytes.
  std::vector<std::string> names;
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(sfx_wide(work_ + "*").c_str(), &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  do names.push_back(sfx_utf8(d.cFileName));
  while (FindNextFileW(h, &d));
  FindClose(h);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", cafe, "dokumenty", setup, manual, "qtksfx.ini", "readme.txt",
                                             "setup-report.txt"}));
}

// The author's icon, version resource and execution level in the stub: the
// installer runs with its own dialog and texts as before, and Windows reads
// them back as Explorer, the file's properties and the loader do.
TEST_F(SfxWineField, BrandedStub) {
  qtk::pe::Brand brand;
  brand.icon = test_icon();
  brand.product = "Example Suite";
  brand.company = "Example Ltd.";
  brand.description = "Example Setup";
  brand.has_version = true;
  brand.version = {2, 1, 0, 7};
  brand.execution_level = "requireAdministrator";
  TestArchive::Bytes image = stub_image();
  ASSERT_EQ(qtk::pe::brand_stub(image, brand), "");
  TestArchive a(image);
  a.member("docs", "readme.txt", "hello\r\n", 946684800);
  control_and_setup(a);
  a.archive_end();
  save(a);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 3);  // the setup program's
  expect_boxes(r, {});
  EXPECT_EQ(r.dialog_caption, "Preparing installation");
  EXPECT_EQ(r.dialog_texts, "Preparing installation. Please wait...|Win32 SFX 1.1|Cancel|QTK 1.1");
  EXPECT_EQ(r.last_status, "\r\nSetu program\r\n" + work_ + "setup.exe\r\nran. Waiting for its completion.");
  EXPECT_EQ(slurp(work_ + "docs\\readme.txt"), "hello\r\n");
  EXPECT_TRUE(exists(work_ + "setup-report.txt"));

  const std::wstring file = sfx_wide(own_);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, info.data()));
  const std::pair<const wchar_t*, const wchar_t*> texts[] = {
      {L"ProductName", L"Example Suite"}, {L"CompanyName", L"Example Ltd."}, {L"FileDescription", L"Example Setup"},
      {L"FileVersion", L"2.1.0.7"},       {L"ProductVersion", L"2.1.0.7"}};
  for (const auto& [key, want] : texts) {
    void* value = nullptr;
    UINT len = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    ASSERT_TRUE(VerQueryValueW(info.data(), path.c_str(), &value, &len)) << sfx_utf8(key);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), want) << sfx_utf8(key);
  }
  void* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &fixed, &len));
  EXPECT_EQ(static_cast<VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS, 0x00020001u);
  EXPECT_EQ(static_cast<VS_FIXEDFILEINFO*>(fixed)->dwProductVersionLS, 0x00000007u);
  EXPECT_EQ(ExtractIconExW(file.c_str(), -1, nullptr, nullptr, 0), 1u);
  HICON icon = nullptr;
  ASSERT_EQ(ExtractIconExW(file.c_str(), 0, &icon, nullptr, 1), 1u);
  ICONINFO ii{};
  ASSERT_TRUE(GetIconInfo(icon, &ii));
  BITMAP bm{};
  GetObjectW(ii.hbmColor, sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 32);  // the large image of the two
  DeleteObject(ii.hbmColor);
  DeleteObject(ii.hbmMask);
  DestroyIcon(icon);

  // The manifest kept its controls and DPI settings and took the level.
  HMODULE data = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(data, nullptr);
  HRSRC res = FindResourceW(data, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(res, nullptr);
  const char* m = static_cast<const char*>(LockResource(LoadResource(data, res)));
  const std::string manifest(m, SizeofResource(data, res));
  FreeLibrary(data);
  for (const char* want : {"Microsoft.Windows.Common-Controls", ">true</dpiAware>", "level=\"requireAdministrator\""})
    EXPECT_NE(manifest.find(want), std::string::npos) << want << " in " << manifest;
}

}  // namespace
