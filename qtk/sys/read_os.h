// The calls to the operating system that qtk's list, test and extract make:
// the volumes they read, and the folders and files that extract writes
// with their times. Nothing else of the reader touches the system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sys/os.h"

namespace qtk {

// Opens a volume for reading: null (errno tells why) when it cannot be
// opened; `size` receives its size in bytes.
std::FILE* open_volume(const std::string& name, std::uint64_t& size);
// The size of a file; false when there is none.
bool file_size(const std::string& name, std::uint64_t& size);

// The folder to extract into, created when missing: an open descriptor, or
// -1 (errno tells why).
int open_output_dir(const std::string& dir);
void close_output_dir(int dir);

// Creates the folders parts[0 .. n-2] below `root` one by one, never
// following a symbolic link, so that nothing is written outside it, and the
// new file parts[n-1] (n >= 1) in the last. An existing file is replaced,
// not written through: it may be a hard link to a file outside. The open
// file, or -1 with `error` telling why.
int create_output_file(int root, const std::vector<std::string>& parts, std::string& error);
// Writes all n bytes; false with `error` telling why not.
bool write_output(int file, const std::uint8_t* p, std::size_t n, std::string& error);
// Sets a file's access and modification times to t (seconds since 1970 UTC).
bool set_output_time(int file, std::int32_t t, std::string& error);
bool close_output(int file, std::string& error);

}  // namespace qtk
