// What qtk's two Windows sides share (os_win32.cpp, read_os_win32.cpp).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace qtk {

// UTF-8 to UTF-16 and back.
std::wstring wide(const std::string& s);
std::string narrow(const wchar_t* w);
// errno from GetLastError().
void errno_from_system();
// The path of an open file or folder as the system resolves it
// ("\\?\C:\..."), empty when it cannot tell; and whether two paths are one
// (letter case aside).
std::wstring final_path(HANDLE h);
bool same_path(const std::wstring& a, const std::wstring& b);
// A file time as 100-nanosecond units since 1970 UTC, and the file time of
// whole seconds since 1970 UTC.
std::int64_t unix_100ns(const FILETIME& ft);
FILETIME file_time(std::int64_t unix_seconds);

}  // namespace qtk
