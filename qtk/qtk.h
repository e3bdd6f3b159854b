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

#include "pe/pe_resources.h"

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

// ---- the commands -------------------------------------------------------------------
// cli.cpp reads the command line; each command returns an exit code or
// throws Error. pack.cpp packs (with scan.h and pipeline.h), stub.cpp makes
// the stub, read.cpp lists, tests and extracts, stream.cpp handles raw
// streams.

int run_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal);
// Every name of every option that `command` ("pack", "list", ...) takes,
// from the command line's one table of options.
std::vector<std::string> option_names(const std::string& command);

struct PackOptions {
  std::string dir, output, run;
  std::string stub;  // a stub file; empty: the one qtk carries
  std::string icon;  // an .ico file for the installer; empty: none
  std::string depfile;  // --depfile: where to list what the installer was made from; empty: nowhere
  // $SOURCE_DATE_EPOCH: member times later than this are stored as this
  // (reproducible builds); -1: none.
  std::int64_t time_limit = -1;
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
  bool json = false;  // list and test: one JSON document on `out` (docs/json.md)
};
int read_archive(ReadMode mode, const ReadOptions& opt, const Console& con);

// A raw compressed stream to and from a file.
int compress_file(const std::string& in, const std::string& out);
int decompress_file(const std::string& in, const std::string& out);

}  // namespace qtk
