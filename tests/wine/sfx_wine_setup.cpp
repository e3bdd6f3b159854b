// The setup program of the Wine tests: records how the stub started it
// (command line, current directory), takes a moment so that the waiting
// can be seen, and fails on purpose (the stub must not care).
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char cwd[MAX_PATH];
  if (!GetCurrentDirectoryA(sizeof cwd, cwd)) cwd[0] = 0;
  std::FILE* f = std::fopen("setup-report.txt", "wb");
  if (!f) return 2;
  std::fprintf(f, "cmdline=%s\ncwd=%s\n", GetCommandLineA(), cwd);
  std::fclose(f);
  Sleep(700);
  f = std::fopen("setup-report.txt", "ab");
  if (f) {
    std::fputs("done\n", f);
    std::fclose(f);
  }
  return 3;
}
