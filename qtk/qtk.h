// qtk, the packer: turns a folder into an installer, and lists, tests and
// extracts installers. Internal interfaces shared by the tool's sources.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pe_resources.h"

namespace qtk {

// ---- console.cpp: failures, interruption, warnings, the progress bar -------

// Exit codes.
enum : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// A failure that ends the command: the message is printed as "qtk: ...".
struct Error : std::runtime_error {
  int code;
  Error(int c, const std::string& m) : std::runtime_error(m), code(c) {}
};
[[noreturn]] inline void fail(const std::string& m) { throw Error(kExitFailed, m); }
[[noreturn]] inline void usage_error(const std::string& m) { throw Error(kExitUsage, m); }

// Set by the signal handlers of the program; long loops look at it.
extern std::atomic<bool> g_interrupted;
void check_interrupted();

// Where a command writes: normal output, diagnostics, and whether a
// progress bar may be drawn on the diagnostics stream.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool progress = false;  // err is a terminal and --quiet was not given
  bool quiet = false;
  void warn(const std::string& m) const;
};

// A progress bar: bytes done of a total, rate and time left, redrawn at
// most ten times a second; silent unless the console allows it.
class Progress {
 public:
  Progress(const Console& con, std::string label, std::uint64_t total);
  ~Progress();
  void add(std::uint64_t n);
  void done();

 private:
  void draw(bool last);
  const Console& con_;
  std::string label_;
  std::uint64_t total_, done_ = 0;
  std::chrono::steady_clock::time_point start_, last_;
  bool shown_ = false, finished_ = false;
};

// ---- codepage.cpp: code pages, UTF-8 and case folding -------------------------

// Conversion between the names of this system (UTF-8) and the bytes of a
// single-byte Windows code page. Only pages whose bytes 0x00-0x7F are ASCII
// are taken, so that `/`, `\`, `.` and `:` in the stored bytes are what the
// path checks see, whichever page decodes them.
struct CodePageTable;
class CodePage {
 public:
  explicit CodePage(unsigned number);  // usage_error for any other page
  unsigned number() const { return number_; }
  bool encode(const std::string& utf8, std::string& out) const;  // false: not representable
  bool decode(const std::string& bytes, std::string& out) const;
  // A name in this page's bytes as Windows compares file names: decoded and
  // in upper case (UTF-8). Two names with the same key are one file there.
  std::string fold(const std::string& bytes) const;

 private:
  unsigned number_;
  const CodePageTable* table_;
  std::vector<std::pair<char16_t, std::uint8_t>> bytes_;  // the byte of each character, sorted
};

// The next character of UTF-8 text at i, advancing i; false (i unchanged)
// where no well-formed sequence starts.
bool utf8_next(const std::string& s, std::size_t& i, char32_t& c);
// ASCII letters in upper case.
std::string fold_case(const std::string& s);

// ---- names.cpp: member paths and names -------------------------------------------

// Splits a member path at `/` and `\`, leaving out empty and "." parts.
std::vector<std::string> path_parts(const std::string& path);
// A path (code page bytes, `/` and `\` alike) as Windows compares paths:
// its parts folded by the code page; equal keys name one file.
std::string path_key(const CodePage& cp, const std::string& path);

// A member path judged again after decoding (UTF-8): no part may be `..`,
// hold a control character (C0, DEL or C1) or be a device name that the
// code page spells with a superscript digit; the directory may not start
// with a separator and the name may not be empty or end in one or in a `.`
// part. Null when the path may be written, or a short reason.
const char* decoded_path_problem(const std::string& dir, const std::string& name);

// A name or path for the terminal: control characters, bytes that are not
// UTF-8 and the characters that reorder text are written as \xNN escapes.
std::string printable(const std::string& s);

// ---- format.cpp: sizes and times ------------------------------------------------

// "1440K", "1.44M", "100000", "720k", "dmf", ... in bytes; usage_error otherwise.
std::uint64_t parse_size(const std::string& text);
unsigned parse_count(const std::string& text, const char* option, unsigned lo, unsigned hi);
std::string human_bytes(std::uint64_t n);
std::string format_time(std::int64_t t);  // UTC, "YYYY-MM-DD HH:MM:SS"

// ---- control_file.cpp: the installer's control file ----------------------------

// Its name, at the top of the installer's work directory.
inline constexpr const char* kControlFile = "qtksfx.ini";
// The value of `run` in section [system] of a control file, read the way the
// stub reads it; false when there is none.
bool control_file_run(const std::string& content, std::string& run);

// ---- the commands -------------------------------------------------------------------
// cli.cpp reads the command line; each command returns an exit code or
// throws Error. pack.cpp packs (with scan.h and pipeline.h), stub.cpp makes
// the stub, read.cpp lists, tests and extracts, stream.cpp handles raw
// streams.

int run_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal);

struct PackOptions {
  std::string dir, output, run;
  std::string stub;  // a stub file; empty: the one qtk carries
  std::string icon;  // an .ico file for the installer; empty: none
  pe::Brand brand;   // version resource texts and numbers (the icon is read from `icon`)
  bool run_given = false;
  std::uint64_t volume_size = 0;
  unsigned jobs = 1;
  unsigned codepage = 1252;
};
int pack(const PackOptions& opt, const Console& con);

// The shipping stub (32-bit Windows), carried inside qtk.
const std::uint8_t* embedded_stub(std::size_t& size);
// The stub that pack puts in front: opt.stub or the embedded one, with the
// author's icon and version resource put in. `executable`: whether the
// installer file is made executable (as the stub file is).
std::vector<std::uint8_t> stub_image(const PackOptions& opt, bool& executable);

enum class ReadMode { kList, kTest, kExtract };
struct ReadOptions {
  std::string archive, dir = ".";
  unsigned codepage = 1252;
  unsigned jobs = 1;  // threads that decode packets (test and extract)
};
int read_archive(ReadMode mode, const ReadOptions& opt, const Console& con);

// A raw compressed stream to and from a file.
int compress_file(const std::string& in, const std::string& out);
int decompress_file(const std::string& in, const std::string& out);

}  // namespace qtk
