// The real Win32 stub under Wine, shared set-up: archives made in a scratch
// folder, the stub started as a user would, its boxes read and answered.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "pe/pe_resources.h"
#include "sfx_test_archive.h"
#include "sfx_wine_harness.h"
#include "pe/test_icon.h"

namespace {


inline std::string windows_path(std::string unix_path) {
  for (char& c : unix_path)
    if (c == '/') c = '\\';
  return "Z:" + unix_path;
}

const std::string kStub = windows_path(QTKSFX_EXE);
const std::string kSetup = windows_path(SETUP_EXE);

// Paths in these helpers are UTF-8, through the wide calls: some tests use
// folders whose names no code page holds.
inline std::string slurp(const std::string& path) {
  std::string bytes;
  if (std::FILE* f = _wfopen(sfx_wide(path).c_str(), L"rb")) {
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    std::fclose(f);
  }
  return bytes;
}

inline void spill(const std::string& path, const std::string& bytes) {
  if (std::FILE* f = _wfopen(sfx_wide(path).c_str(), L"wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

inline bool exists(const std::string& path) {
  return GetFileAttributesW(sfx_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The Unix path of a Windows path, from Wine's own export.
inline std::string unix_path(const std::string& windows) {
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
inline bool unix_symlink(const std::string& target, const std::string& link) {
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
inline std::string status_text(HWND dialog) {
  HWND status = GetDlgItem(dialog, 404);
  wchar_t text[2048] = {};
  DWORD_PTR got = 0;
  if (!status || !SendMessageTimeoutW(status, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                                      1000, &got))
    return {};
  return sfx_utf8(text);
}

inline std::int64_t write_time(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(sfx_wide(path).c_str(), GetFileExInfoStandard, &d)) return -1;
  const ULONGLONG t = (static_cast<ULONGLONG>(d.ftLastWriteTime.dwHighDateTime) << 32) |
                      d.ftLastWriteTime.dwLowDateTime;
  return static_cast<std::int64_t>(t / 10000000ULL) - 11644473600LL;
}

inline void remove_tree(const std::string& dir) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(sfx_wide(dir + "*").c_str(), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = sfx_utf8(d.cFileName);
      if (name == "." || name == "..") continue;
      const std::wstring path = sfx_wide(dir + name);
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(dir + name + "\\");
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(h, &d));
    FindClose(h);
  }
  RemoveDirectoryW(sfx_wide(dir).c_str());
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

const char* const kTail =
    ". If you want to cancel this operation, switch to main application's window and press \"Cancel\" button.";

}  // namespace
