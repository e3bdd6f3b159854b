// Win32 directory search, copy, rename and delete.
#include <windows.h>

#include "fs_internal.h"

namespace {

void fill(const WIN32_FIND_DATAA& fd, fs_plat_found* found) {
  fs_copy(found->name, sizeof found->name, fd.cFileName);
  found->is_directory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  found->size = fd.nFileSizeLow;
  // FILETIME counts 100 ns steps from 1601-01-01.
  const ULONGLONG t = (static_cast<ULONGLONG>(fd.ftLastWriteTime.dwHighDateTime) << 32) |
                      fd.ftLastWriteTime.dwLowDateTime;
  found->write_time = static_cast<std::int32_t>(
      static_cast<long long>(t / 10000000ULL) - 11644473600LL);
}

}  // namespace

void* fs_plat_find_first(const char* pattern, fs_plat_found* found) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(pattern, &fd);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  fill(fd, found);
  return h;
}

bool fs_plat_find_next(void* search, fs_plat_found* found) {
  WIN32_FIND_DATAA fd;
  if (!FindNextFileA(static_cast<HANDLE>(search), &fd)) return false;
  fill(fd, found);
  return true;
}

void fs_plat_find_close(void* search) { FindClose(static_cast<HANDLE>(search)); }

bool fs_plat_copy(const char* from, const char* to) { return CopyFileA(from, to, TRUE) != 0; }

bool fs_plat_rename(const char* from, const char* to) { return MoveFileA(from, to) != 0; }

bool fs_plat_delete(const char* path) { return DeleteFileA(path) != 0; }
