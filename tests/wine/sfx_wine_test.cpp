// The real Win32 stub under Wine: archives made here, the stub started as
// a user would, its message boxes read and answered, its Cancel pressed.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "pe_resources.h"
#include "sfx_test_archive.h"
#include "sfx_wine_harness.h"
#include "test_icon.h"

namespace {

std::string windows_path(std::string unix_path) {
  for (char& c : unix_path)
    if (c == '/') c = '\\';
  return "Z:" + unix_path;
}

const std::string kStub = windows_path(QTKSFX_EXE);
const std::string kSetup = windows_path(SETUP_EXE);

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void spill(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The Unix path of a Windows path, from Wine's own export.
std::string unix_path(const std::string& windows) {
  using Fn = char*(CDECL*)(LPCWSTR);
  const auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  char* p = fn ? fn(sfx_wide(windows).c_str()) : nullptr;
  const std::string s = p ? p : "";
  if (p) HeapFree(GetProcessHeap(), 0, p);
  return s;
}

// A Unix symbolic link, made by ln: Wine starts Unix programs too, but its
// process handle tells neither when they end nor how, so the link is
// waited for.
bool unix_symlink(const std::string& target, const std::string& link) {
  std::string cmd = "/bin/ln -s " + unix_path(target) + " " + unix_path(link);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  for (int k = 0; k < 100 && !exists(link); ++k) Sleep(50);
  return exists(link);
}

// The text of the progress dialog's status box.
std::string status_text(HWND dialog) {
  HWND status = GetDlgItem(dialog, 404);
  wchar_t text[2048] = {};
  DWORD_PTR got = 0;
  if (!status || !SendMessageTimeoutW(status, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                                      1000, &got))
    return {};
  return sfx_utf8(text);
}

std::int64_t write_time(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d)) return -1;
  const ULONGLONG t = (static_cast<ULONGLONG>(d.ftLastWriteTime.dwHighDateTime) << 32) |
                      d.ftLastWriteTime.dwLowDateTime;
  return static_cast<std::int64_t>(t / 10000000ULL) - 11644473600LL;
}

void remove_tree(const std::string& dir) {
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA((dir + "*").c_str(), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = d.cFileName;
      if (name == "." || name == "..") continue;
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(dir + name + "\\");
      } else {
        SetFileAttributesA((dir + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA((dir + name).c_str());
      }
    } while (FindNextFileA(h, &d));
    FindClose(h);
  }
  RemoveDirectoryA(dir.c_str());
}

class SfxWine : public ::testing::Test {
 protected:
  void SetUp() override {
    char display[256];
    ASSERT_GT(GetEnvironmentVariableA("DISPLAY", display, sizeof display), 0u)
        << "DISPLAY is not set: these tests need an X display (Xvfb) for Wine";
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    static int n = 0;
    root_ = std::string(tmp) + "qtksfx-wine-" + std::to_string(GetTickCount()) + "-" +
            std::to_string(++n) + "\\";
    remove_tree(root_);
    work_ = root_ + "work\\";
    CreateDirectoryA(root_.c_str(), nullptr);
    CreateDirectoryA(work_.c_str(), nullptr);
    own_ = root_ + "setup.exe";
  }

  void TearDown() override {
    if (!HasFailure()) remove_tree(root_);  // kept for a look after a failure
  }

  TestArchive::Bytes stub_image() {
    const std::string s = slurp(kStub);
    return TestArchive::Bytes(s.begin(), s.end());
  }

  void save(TestArchive& a) {
    for (std::size_t i = 0; i < a.volumes(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "setup.%03u", static_cast<unsigned>(i));
      const std::string path = i == 0 ? own_ : root_ + name;
      spill(path, std::string(a.volume(i).begin(), a.volume(i).end()));
    }
  }

  void control_and_setup(TestArchive& a) {
    a.member(".", "qtksfx.ini", "[system]\r\nrun=setup.exe\r\n");
    a.member(".", "setup.exe", slurp(kSetup));
  }

  SfxRun run(SfxRunOptions o = {}) {
    if (o.program.empty()) o.program = kStub;
    if (o.command_line.empty()) o.command_line = "\"" + own_ + "\"";
    o.env.push_back("TMP=" + work_);
    o.env.push_back("TEMP=" + work_);
    return sfx_run_stub(o);
  }

  // Expected boxes: caption, text, information icon (the kind is for the
  // reader; the console build's tests check it).
  struct Box {
    std::string caption, text;
    bool info;
  };
  void expect_boxes(const SfxRun& r, const std::vector<Box>& want) {
    ASSERT_EQ(r.boxes.size(), want.size()) << (r.boxes.empty() ? "" : r.boxes[0].text);
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(r.boxes[i].caption, want[i].caption) << i;
      EXPECT_EQ(r.boxes[i].text, want[i].text) << i;
      EXPECT_TRUE(r.boxes[i].has_icon) << i;
    }
  }
  Box closing() { return {"ERROR", "Program can't continue and it will be terminated.", true}; }
  Box closing_files() {
    return {"ERROR",
            "Program can't continue and it will be terminated. There are probably lost files in directory " +
                work_ + ".",
            true};
  }

  std::string root_, work_, own_;
};

TEST_F(SfxWine, GoodArchive) {
  TestArchive a(stub_image());
  a.member(".", "readme.txt", "hello\r\n", 946684800);
  a.member("docs/deep", "a.txt", std::string(150000, 'a'), 1262304000);
  a.member("docs", "b.txt", "bee", 1300000000);
  control_and_setup(a);
  a.archive_end();
  save(a);
  int escapes = 0;
  SfxRunOptions o;
  // Escape (IDCANCEL) leaves the dialog alone.
  o.on_dialog = [&](HWND dialog) {
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ++escapes;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(escapes, 1);
  expect_boxes(r, {});
  EXPECT_EQ(r.dialog_caption, "Preparing installation");
  EXPECT_EQ(r.dialog_texts, "Preparing installation. Please wait...|Win32 SFX 1.1|Cancel|QTK 1.1");
  EXPECT_EQ(r.last_status, "\r\nSetu program\r\n" + work_ + "setup.exe\r\nran. Waiting for its completion.");
  EXPECT_EQ(slurp(work_ + "readme.txt"), "hello\r\n");
  EXPECT_EQ(slurp(work_ + "docs\\deep\\a.txt"), std::string(150000, 'a'));
  EXPECT_EQ(write_time(work_ + "docs\\deep\\a.txt"), 1262304000);
  EXPECT_EQ(write_time(work_ + "docs\\b.txt"), 1300000000);
  // Started with its path alone, in its own directory, and waited for.
  EXPECT_EQ(slurp(work_ + "setup-report.txt"),
            "cmdline=" + work_ + "setup.exe\ncwd=" + work_.substr(0, work_.size() - 1) + "\ndone\n");
}

TEST_F(SfxWine, SetupProgramMissing) {
  TestArchive a(stub_image());
  a.member(".", "qtksfx.ini", "[system]\nrun=missing.exe\n");
  a.archive_end();
  save(a);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"ERROR", "Can't run program " + work_ + "missing.exe.", false}, closing_files()});
}

TEST_F(SfxWine, StartUpFailures) {
  {
    // No such file (the extension is missing): the program reads its own
    // file through its module path, here the bare stub; the message names
    // the path as started.
    SfxRunOptions o;
    o.command_line = root_ + "setup";
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "File " + root_ + "setup is not valid QTK file -- missing or bad signature or version-id.",
                      false},
                     closing()});
  }
  {
    spill(own_, "MZ");
    const SfxRun r = run();
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "Error during seek in file " + own_ + ".", false}, closing()});
  }
  {
    SfxRunOptions o;
    o.command_line = "\"" + kStub + "\"";  // the bare stub: no archive behind it
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "File " + kStub + " is not valid QTK file -- missing or bad signature or version-id.",
                      false},
                     closing()});
  }
}

TEST_F(SfxWine, ArchiveFailures) {
  struct Case {
    const char* name;
    void (*build)(TestArchive&);
    std::string caption, text;
  };
  const std::string bad = "CRC is invalid or packet can't be read -- file " + own_ + " is damaged!";
  const Case cases[] = {
      {"truncated", [](TestArchive& a) { a.member(".", "x.txt", "x"); a.trailer_only(); }, "ERROR", bad},
      {"unexpected", [](TestArchive& a) { a.data("stray"); a.archive_end(); }, "ERROR",
       "Uncorrect packet. File " + own_ + " is invalid."},
      {"member end", [](TestArchive& a) { a.header(".", "x.txt", 0); a.data("xy"); a.end(3, 1); a.archive_end(); },
       "Problem...", "Incorrect length or number of packets. File " + own_ + " is damaged."},
      {"refused path", [](TestArchive& a) { a.member("..", "x.txt", "x"); a.archive_end(); }, "Problem...",
       "Uncorrect packet. File " + own_ + " is invalid."},
      {"no control file", [](TestArchive& a) { a.member(".", "x.txt", "x"); a.archive_end(); }, "ERROR",
       "Can't find file QTKSFX.INI in self extract file.."},
      {"no run entry", [](TestArchive& a) { a.member(".", "qtksfx.ini", "[system]\r\nrun_me=1\r\n"); a.archive_end(); },
       "ERROR", "There is no command [SYSTEM] RUN=... in file QTKSFX.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestArchive a(stub_image());
    c.build(a);
    save(a);
    // A control file left by an earlier installer is not this archive's.
    spill(work_ + "qtksfx.ini", "[system]\r\nrun=setup.exe\r\n");
    spill(work_ + "setup.exe", slurp(kSetup));
    const SfxRun r = run();
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{c.caption, c.text, false}, closing_files()});
    EXPECT_FALSE(exists(work_ + "setup-report.txt"));
  }
  {
    // The control file extracted, then removed while the diskette prompt
    // is open: reading it fails (and the library reports that to the event
    // log).
    TestArchive a(stub_image());
    control_and_setup(a);
    a.volume_end();
    a.archive_end();
    save(a);
    SfxRunOptions o;
    o.on_box = [&](const SfxBox&, int index) {
      if (index == 0) DeleteFileA((work_ + "qtksfx.ini").c_str());
      return SfxAnswer::ok;
    };
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(r.boxes.size(), 3u);
    EXPECT_EQ(r.boxes[1].text, "Can't open file " + work_ + "qtksfx.ini for reading.");
    EXPECT_EQ(r.boxes[2].text, closing_files().text);
  }
  // An output that cannot be created: a directory stands in its place, or
  // a read-only file.
  TestArchive a(stub_image());
  a.member(".", "taken", "x");
  a.archive_end();
  save(a);
  CreateDirectoryA((work_ + "taken").c_str(), nullptr);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"ERROR", "Can't open file " + work_ + "./taken for writing.", false}, closing_files()});
  EXPECT_FALSE(exists(root_ + "x.txt"));
  RemoveDirectoryA((work_ + "taken").c_str());
  spill(work_ + "taken", "read-only");
  SetFileAttributesA((work_ + "taken").c_str(), FILE_ATTRIBUTE_READONLY);
  const SfxRun ro = run();
  EXPECT_EQ(ro.exit_code, 1);
  expect_boxes(ro, {{"ERROR", "Can't open file " + work_ + "./taken for writing.", false}, closing_files()});
  EXPECT_EQ(slurp(work_ + "taken"), "read-only");
}

const char* const kTail =
    ". If you want to cancel this operation, switch to main application's window and press \"Cancel\" button.";

TEST_F(SfxWine, ThreeVolumesWithALateDiskette) {
  TestArchive a(stub_image());
  a.header("span", "two.txt", 1300000000);
  a.data("part one,");
  a.volume_end();
  a.data(" part two");
  a.end(18, 2);
  a.volume_end();
  control_and_setup(a);
  a.archive_end();
  save(a);
  MoveFileA((root_ + "setup.002").c_str(), (root_ + "held-back").c_str());
  SfxRunOptions o;
  o.on_box = [&](const SfxBox& box, int index) {
    if (index == 2) MoveFileA((root_ + "held-back").c_str(), (root_ + "setup.002").c_str());
    (void)box;
    return SfxAnswer::ok;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 0);
  expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true},
                   {"Insert disk...", std::string("Insert disk numbered 3") + kTail, true},
                   {"Insert disk...", std::string("Incorrect disk or disk error. Insert disk numbered 3") + kTail, false}});
  EXPECT_EQ(slurp(work_ + "span\\two.txt"), "part one, part two");
  EXPECT_TRUE(exists(work_ + "setup-report.txt"));
}

TEST_F(SfxWine, CancelDuringTheDiskettePrompt) {
  TestArchive a(stub_image());
  a.member(".", "x.txt", "x");
  a.volume_end();
  a.archive_end();
  save(a);
  SfxRunOptions o;
  o.on_box = [](const SfxBox& box, int) {
    return box.caption == "Insert disk..." ? SfxAnswer::leave_open_and_cancel_dialog : SfxAnswer::ok;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true},
                   {"Cancelled by user.",
                    "Canceled by user. There are lost files in directory " + work_ + ", probably.", false}});
}

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
  EXPECT_EQ(r.exit_code, 0);
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
  EXPECT_EQ(r.exit_code, 0);
  std::vector<Box> want;
  for (int disk = 2; disk <= volumes; ++disk)
    want.push_back({"Insert disk...", "Insert disk numbered " + std::to_string(disk) + kTail, true});
  expect_boxes(r, want);
  expect_extracted();
}

TEST_F(SfxWine, NoSetupProgramStartsAfterCancel) {
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

TEST_F(SfxWine, OwnPathThroughTheModule) {
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
    EXPECT_EQ(r.exit_code, 0);
    expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true}});
    EXPECT_TRUE(exists(work_ + "setup-report.txt"));
  }
}

TEST_F(SfxWine, PlantedLinksAreReplacedNotFollowed) {
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
    EXPECT_EQ(r.exit_code, 0);
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
}

TEST_F(SfxWine, CzechTexts) {
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

// The author's icon and version resource in the stub: the installer runs
// with its own dialog and texts as before, and Windows reads them back as
// Explorer and the file's properties do.
TEST_F(SfxWine, BrandedStub) {
  qtk::pe::Brand brand;
  brand.icon = test_icon();
  brand.product = "Example Suite";
  brand.company = "Example Ltd.";
  brand.description = "Example Setup";
  brand.has_version = true;
  brand.version = {2, 1, 0, 7};
  TestArchive::Bytes image = stub_image();
  ASSERT_EQ(qtk::pe::brand_stub(image, brand), "");
  TestArchive a(image);
  a.member("docs", "readme.txt", "hello\r\n", 946684800);
  control_and_setup(a);
  a.archive_end();
  save(a);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 0);
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
}

}  // namespace
