// qtk's calls to the operating system, one implementation per platform:
// os_posix.cpp and os_win32.cpp (the reader's files and folders are in
// read_os.h). Paths are UTF-8 everywhere; the Windows side converts them
// for the system's wide calls and sets errno from the system's error codes,
// so that every message reads alike.
#pragma once

#include <compare>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qtk {

// The text of errno, safe on any thread.
std::string errno_text();

// ---- files ---------------------------------------------------------------------

// A file's identity: the same for two names of one file.
struct FileId {
  std::uint64_t volume = 0, index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
  friend auto operator<=>(const FileId&, const FileId&) = default;
};

struct FileInfo {
  enum Kind { kOther, kFile, kDir } kind = kOther;
  bool link = false;        // the name itself is a symbolic link (or another reparse point)
  bool executable = false;  // a file that may be run as it is (never on Windows, where the name tells)
  std::uint64_t size = 0;
  std::int64_t mtime = 0;     // modification time, seconds since 1970 UTC (rounded down)
  std::int64_t mtime_ns = 0;  // the same in nanoseconds, to notice a change
  FileId id;
};

// What a path names: the file a link leads to when `follow`, else the name
// itself. False (errno set) when it cannot be looked at.
bool file_info(const std::string& path, bool follow, FileInfo& info);
// What an open file is.
bool file_info(std::FILE* f, FileInfo& info);
bool file_exists(const std::string& path);
// The absolute path with every link resolved and `/` between its parts.
bool real_path(const std::string& path, std::string& out);
// The names in a directory but "." and ".."; `id` receives the identity of
// the directory that was read.
bool list_dir(const std::string& path, std::vector<std::string>& names, FileId& id);

std::FILE* open_read(const std::string& path);  // binary; null with errno set
bool seek_to(std::FILE* f, std::uint64_t offset);

// Creates a temporary file beside final_path, under a name no one can
// foresee (".NAME.qtk-XXXXXX.part"), and exclusively: a file or link planted
// there is never written through. `executable`: as far as the platform and
// the umask allow. Null with errno set; `tmp` receives the name.
std::FILE* create_temp(const std::string& final_path, bool executable, std::string& tmp);
// Flushes a file written through `f` to the disk.
bool flush_to_disk(std::FILE* f);
// Renames a file over another (an existing `to` is replaced).
bool rename_over(const std::string& from, const std::string& to);
bool remove_file(const std::string& path);

// ---- the process -----------------------------------------------------------------

// The command line's arguments after the program's name, as UTF-8.
std::vector<std::string> program_args(int argc, char** argv);
// Calls `handler` on Ctrl+C and on the requests to end the program.
void on_interrupt(void (*handler)());
// Whether standard error is a terminal that can show the progress bar (its
// carriage return and erase-to-end-of-line), and its width in columns (0:
// not known).
bool stderr_is_terminal();
int stderr_columns();
// An environment variable as UTF-8; empty when it is not set.
std::string env_text(const char* name);

}  // namespace qtk
