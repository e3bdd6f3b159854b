// The example installer's setup program. The stub starts it in the folder
// it has just extracted, with the program's own path as the command line.
// It looks at what it finds there, writes setup-report.txt and shows a
// summary for a few seconds.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

struct Found {
  int files = 0;
  int folders = 0;
  unsigned long long bytes = 0;
};

void walk(const char* dir, Found& found, std::FILE* report, int depth) {
  char pattern[MAX_PATH];
  std::snprintf(pattern, sizeof pattern, "%s\\*", dir);
  WIN32_FIND_DATAA d;
  HANDLE h = FindFirstFileA(pattern, &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (!std::strcmp(d.cFileName, ".") || !std::strcmp(d.cFileName, "..")) continue;
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s\\%s", dir, d.cFileName);
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ++found.folders;
      std::fprintf(report, "%*s%s\\\n", depth * 2, "", d.cFileName);
      walk(path, found, report, depth + 1);
    } else {
      ++found.files;
      found.bytes += (static_cast<unsigned long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
      SYSTEMTIME t;
      FileTimeToSystemTime(&d.ftLastWriteTime, &t);
      std::fprintf(report, "%*s%s  %lu bytes  %04u-%02u-%02u\n", depth * 2, "", d.cFileName,
                   d.nFileSizeLow, t.wYear, t.wMonth, t.wDay);
    }
  } while (FindNextFileA(h, &d));
  FindClose(h);
}

const char kCaption[] = "QTK example setup";

void CALLBACK close_summary(HWND, UINT, UINT_PTR, DWORD) {
  if (HWND box = FindWindowA("#32770", kCaption)) PostMessageA(box, WM_COMMAND, IDOK, 0);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char cwd[MAX_PATH];
  if (!GetCurrentDirectoryA(sizeof cwd, cwd)) std::strcpy(cwd, ".");
  // Leave the progress window on its own for a moment (it now says that
  // the setup program runs).
  Sleep(3000);
  std::FILE* report = std::fopen("setup-report.txt", "w");
  if (!report) return 1;
  std::fprintf(report, "command line: %s\ncurrent directory: %s\nfiles:\n", GetCommandLineA(), cwd);
  Found found;
  walk(cwd, found, report, 1);
  std::fprintf(report, "%d files in %d folders, %llu bytes\n", found.files, found.folders, found.bytes);
  std::fclose(report);

  char summary[512];
  std::snprintf(summary, sizeof summary,
                "The example installation is in place:\n%s\n\n%d files in %d folders.\n\n"
                "(This box closes by itself.)",
                cwd, found.files, found.folders);
  SetTimer(nullptr, 0, 3000, close_summary);
  MessageBoxA(nullptr, summary, kCaption, MB_OK | MB_ICONINFORMATION);
  return 0;
}
