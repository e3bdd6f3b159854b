// The setup program of the Wine tests: records how the stub started it
// (command line, current directory, in UTF-8), takes a moment so that the
// waiting can be seen (SFX_SETUP_SLEEP milliseconds, and then it notes its
// start and end in runs.txt), and ends with exit code 3 (or SFX_SETUP_EXIT),
// which becomes the installer's.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {
void note(const char* line) {
  if (std::FILE* f = _wfopen(L"runs.txt", L"ab")) {
    std::fputs(line, f);
    std::fclose(f);
  }
}
void put_utf8(std::FILE* f, const wchar_t* w) {
  char s[4 * MAX_PATH];
  if (WideCharToMultiByte(CP_UTF8, 0, w, -1, s, sizeof s, nullptr, nullptr) > 0) std::fputs(s, f);
}
}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t cwd[MAX_PATH];
  if (!GetCurrentDirectoryW(MAX_PATH, cwd)) cwd[0] = 0;
  std::FILE* f = _wfopen(L"setup-report.txt", L"wb");
  if (!f) return 2;
  std::fputs("cmdline=", f);
  put_utf8(f, GetCommandLineW());
  std::fputs("\ncwd=", f);
  put_utf8(f, cwd);
  std::fputs("\n", f);
  std::fclose(f);
  char sleep[16];
  const bool noted = GetEnvironmentVariableA("SFX_SETUP_SLEEP", sleep, sizeof sleep) > 0;
  if (noted) note("start\n");
  Sleep(noted ? static_cast<DWORD>(std::atoi(sleep)) : 700);
  if (noted) note("end\n");
  f = _wfopen(L"setup-report.txt", L"ab");
  if (f) {
    std::fputs("done\n", f);
    std::fclose(f);
  }
  char code[16];
  return GetEnvironmentVariableA("SFX_SETUP_EXIT", code, sizeof code) ? std::atoi(code) : 3;
}
