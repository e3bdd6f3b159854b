// The Win32 program's files and paths: UTF-8 and UTF-16, the directories
// the flow starts from, member files and their times, volumes, and names
// as the archive stores them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sfx_platform.h"
#include "win32.h"

#include <winternl.h>

// The flow's texts are UTF-8; the system is called with UTF-16 throughout,
// so that any path of the user's works, whatever the code page.

bool sfx_win_wide(const char* text, wchar_t* out, int cap) {
  return MultiByteToWideChar(CP_UTF8, 0, text, -1, out, cap) > 0;
}

bool sfx_win_utf8(const wchar_t* w, char* out, std::size_t cap) {
  std::size_t n = 0;
  bool whole = true;
  for (; *w; ++w) {
    unsigned c = *w;
    if (c >= 0xD800 && c < 0xDC00 && w[1] >= 0xDC00 && w[1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (w[1] - 0xDC00u);
      ++w;
    }
    const std::size_t len = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (n + len >= cap) {
      whole = false;
      break;
    }
    if (len == 1) {
      out[n++] = static_cast<char>(c);
      continue;
    }
    out[n++] = static_cast<char>((len == 2 ? 0xC0 : len == 3 ? 0xE0 : 0xF0) | (c >> (6 * (len - 1))));
    for (std::size_t k = len - 1; k-- > 0;) out[n++] = static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  out[n] = 0;
  return whole;
}

std::size_t sfx_win_path_out(const wchar_t* w, DWORD n, DWORD wcap, char* out, std::size_t cap) {
  if (n == 0 || n >= wcap || !sfx_win_utf8(w, out, cap)) {
    out[0] = 0;
    return 0;
  }
  return std::strlen(out);
}

HMODULE sfx_win_system_library(const char* name) {
  char path[MAX_PATH + 16];
  const UINT n = GetSystemDirectoryA(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  path[n] = '\\';
  std::strcpy(path + n + 1, name);
  return LoadLibraryA(path);
}

// Paths are counted in the bytes of their UTF-8 text, the room of the
// flow's buffers: 1023 of them hold any path that Windows itself takes
// without its long-path support (260 characters, at most 3 bytes each).
void sfx_platform_module_path(char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  sfx_win_path_out(w, GetModuleFileNameW(nullptr, w, SFX_PATH_ROOM), SFX_PATH_ROOM, out, cap);
}

std::size_t sfx_platform_temp_dir(char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  return sfx_win_path_out(w, GetTempPathW(SFX_PATH_ROOM, w), SFX_PATH_ROOM, out, cap);
}

std::size_t sfx_platform_windows_dir(char* out, std::size_t cap) {
  wchar_t w[SFX_PATH_ROOM];
  return sfx_win_path_out(w, GetWindowsDirectoryW(w, SFX_PATH_ROOM), SFX_PATH_ROOM, out, cap);
}

namespace {

DWORD attributes(const wchar_t* path) { return GetFileAttributesW(path); }

bool is_link(DWORD a) { return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// The work directory, opened when the first member goes in, and the member
// folders held below it, one handle per level (SFX_DIR_LEVELS of them,
// taken from the heap with the first: a zeroed array would be carried in
// the stub's file).
HANDLE g_work = INVALID_HANDLE_VALUE;
HANDLE* g_levels = nullptr;
int g_level_count = 0;

// The folder that level `level` is made in; INVALID_HANDLE_VALUE when it
// cannot be opened.
HANDLE folder_for(int level) {
  if (level > 0) return level - 1 < g_level_count ? g_levels[level - 1] : INVALID_HANDLE_VALUE;
  wchar_t w[SFX_PATH_ROOM];
  if (g_work == INVALID_HANDLE_VALUE && sfx_win_wide(sfx_work_dir, w))
    g_work = CreateFileW(w, FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return g_work;
}

// The last part of a path, split at `/` and `\\` alike.
const char* last_part(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (sfx_is_sep(*p)) name = p + 1;
  return name;
}

constexpr NTSTATUS kNameCollision = static_cast<NTSTATUS>(0xC0000035);

// Opens or makes `name` (one part, no separator) in the folder `folder`,
// whatever path now leads to that folder: the system's own call, as the
// wide calls make it of a path, never shared for deleting.
NTSTATUS open_in(HANDLE folder, const char* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                 ULONG options, HANDLE* out) {
  wchar_t w[SFX_PATH_ROOM];
  *out = INVALID_HANDLE_VALUE;
  if (folder == INVALID_HANDLE_VALUE || !sfx_win_wide(name, w)) return static_cast<NTSTATUS>(0xC0000033);
  UNICODE_STRING text;
  text.Buffer = w;
  text.Length = static_cast<USHORT>(lstrlenW(w) * sizeof(wchar_t));
  text.MaximumLength = static_cast<USHORT>(text.Length + sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes{};
  attributes.Length = sizeof attributes;
  attributes.RootDirectory = folder;
  attributes.ObjectName = &text;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  IO_STATUS_BLOCK io;
  const NTSTATUS st = NtCreateFile(out, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (st < 0) *out = INVALID_HANDLE_VALUE;
  return st;
}

}  // namespace

bool sfx_platform_enter_dir(int level, const char* utf8_path, bool make) {
  wchar_t path[SFX_PATH_ROOM];
  if (level < 0 || level >= SFX_DIR_LEVELS || !sfx_win_wide(utf8_path, path)) return false;
  if (!g_levels && !(g_levels = static_cast<HANDLE*>(std::malloc(SFX_DIR_LEVELS * sizeof(HANDLE)))))
    return false;
  sfx_platform_leave_dirs(level);
  // Made if missing, in the folder held above it, and opened as itself,
  // never through a link. Shared for reading and writing only: while it is
  // held, it can be neither renamed nor removed, so the folder judged here
  // is the one the member's file goes into.
  HANDLE h;
  if (open_in(folder_for(level), last_part(utf8_path), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
              FILE_SHARE_READ | FILE_SHARE_WRITE, make ? FILE_OPEN_IF : FILE_OPEN,
              FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &h) < 0)
    return false;
  // Judged by name as well, as the system shows it: Wine may open a Unix
  // link's target even when asked for the link itself, but shows the link
  // by its name.
  const DWORD a = attributes(path);
  if (a == INVALID_FILE_ATTRIBUTES || is_link(a) || !(a & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return false;
  }
  g_levels[level] = h;
  g_level_count = level + 1;
  return true;
}

void sfx_platform_leave_dirs(int level) {
  while (g_level_count > (level < 0 ? 0 : level)) CloseHandle(g_levels[--g_level_count]);
  if (level < 0 && g_work != INVALID_HANDLE_VALUE) {
    CloseHandle(g_work);
    g_work = INVALID_HANDLE_VALUE;
  }
}

namespace {

// A new file in the directory of path (wide), under a name of its own: its
// handle, and its name in temp (room SFX_PATH_ROOM).
HANDLE create_beside(const wchar_t* path, wchar_t* temp) {
  std::size_t dir = static_cast<std::size_t>(lstrlenW(path));
  while (dir > 0 && path[dir - 1] != L'/' && path[dir - 1] != L'\\') --dir;
  if (dir + 16 > SFX_PATH_ROOM) return INVALID_HANDLE_VALUE;
  std::memcpy(temp, path, dir * sizeof(wchar_t));
  const DWORD seed = GetCurrentProcessId() * 40503u + GetTickCount();
  for (DWORD k = 0; k < 64; ++k) {
    DWORD v = seed + k * 2654435761u;
    wchar_t* p = temp + dir;
    *p++ = L'~';
    for (int d = 0; d < 8; ++d, v >>= 4) *p++ = L"0123456789abcdef"[v & 15];
    lstrcpyW(p, L".qtk");
    // Shared for deleting, so that it can be renamed while it is open.
    HANDLE h = CreateFileW(temp, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

sfx_file sfx_platform_create_file(const char* utf8_path) {
  // Made new in the folder entered last, the common case.
  HANDLE h;
  const NTSTATUS st = open_in(folder_for(g_level_count), last_part(utf8_path), GENERIC_WRITE, FILE_SHARE_READ,
                              FILE_CREATE, FILE_NON_DIRECTORY_FILE, &h);
  if (st >= 0) return reinterpret_cast<sfx_file>(h);
  if (st != kNameCollision) return SFX_NO_FILE;
  // The member's folders are held (see sfx_platform_enter_dir), so its
  // path leads where it did when they were entered.
  wchar_t path[SFX_PATH_ROOM];
  if (!sfx_win_wide(utf8_path, path)) return SFX_NO_FILE;
  // Something stands there: a file, or a link that may lead anywhere (Wine
  // shows a Unix symbolic link as the file it leads to, and deletes that
  // file when asked to delete the link). The member goes into a new file
  // beside it, which then takes the name: the rename replaces a link
  // itself, never what it leads to, and is refused for a directory. A
  // read-only file stays, as it would for writing into it.
  const DWORD a = attributes(path);
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) return SFX_NO_FILE;
  wchar_t temp[SFX_PATH_ROOM];
  h = create_beside(path, temp);
  if (h == INVALID_HANDLE_VALUE) return SFX_NO_FILE;
  if (!MoveFileExW(temp, path, MOVEFILE_REPLACE_EXISTING)) {
    CloseHandle(h);
    DeleteFileW(temp);
    return SFX_NO_FILE;
  }
  return reinterpret_cast<sfx_file>(h);
}

bool sfx_platform_write_file(sfx_file file, const void* data, std::size_t n) {
  DWORD written = 0;
  return WriteFile(reinterpret_cast<HANDLE>(file), data, static_cast<DWORD>(n), &written, nullptr) &&
         written == n;
}

bool sfx_platform_set_file_time(sfx_file file, std::int32_t seconds) {
  // Seconds since 1970 as 100 ns steps since 1601.
  const LONGLONG t = (static_cast<LONGLONG>(seconds) + 11644473600LL) * 10000000LL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(t) >> 32);
  return SetFileTime(reinterpret_cast<HANDLE>(file), nullptr, &ft, &ft) != 0;
}

bool sfx_platform_close_file(sfx_file file) { return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0; }

void sfx_platform_change_dir(const char* path) {
  wchar_t w[SFX_PATH_ROOM];
  if (sfx_win_wide(path, w)) SetCurrentDirectoryW(w);
}

std::FILE* sfx_platform_open_volume(const char* path) {
  wchar_t w[SFX_PATH_ROOM];
  return sfx_win_wide(path, w) ? _wfopen(w, L"rb") : nullptr;
}

bool sfx_platform_name_text(const char* name, char* out, std::size_t cap) {
  // What the code-page calls made of the bytes, so that every archive
  // extracts to the names it always did.
  wchar_t w[SFX_PATH_ROOM];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, w, SFX_PATH_ROOM) > 0 && sfx_win_utf8(w, out, cap))
    return true;
  out[0] = 0;
  return false;
}
