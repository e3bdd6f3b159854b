// qtk's command line: commands, options and help.
#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <thread>

#include "codec.h"
#include "sys/os.h"
#include "qtk.h"
#include "text/text.h"

#ifndef QTK_VERSION
#define QTK_VERSION "?"
#endif

namespace qtk {
namespace {

const char* const kMainHelp =
    "usage: qtk COMMAND [OPTIONS]\n"
    "\n"
    "Builds self-extracting installers and looks into them.\n"
    "\n"
    "commands:\n"
    "  pack DIR -o SETUP --run PROGRAM   turn the folder DIR into an installer\n"
    "  list SETUP                        list the members of an installer\n"
    "  test SETUP                        check every packet of an installer\n"
    "  extract SETUP [-C DIR]            extract an installer's members\n"
    "  compress IN OUT                   compress a file into one raw stream\n"
    "  decompress IN OUT                 expand a raw stream\n"
    "\n"
    "Run 'qtk COMMAND --help' for a command's options, 'qtk --version' for the\n"
    "version and the stub that qtk carries.\n"
    "Exit codes: 0 ok, 1 failed or damaged input, 2 usage error.\n";

// The commands, as bits of a set: where an option is taken.
enum : unsigned { kPack = 1, kList = 2, kTest = 4, kExtract = 8, kStream = 16, kAllCommands = 31 };

// The one table of options. A row makes its option taken by its commands
// and, with a help text, lists it in their help, in table order. An option
// whose help differs between commands has a row for each; the commands look
// their options up by the long name.
struct OptionRow {
  const char* short_name;  // "-o", or null
  const char* name;        // "--output"
  const char* value;       // the value's name in the help; null: takes no value
  unsigned commands;
  const char* help;        // null: taken, not listed
  const char* before;      // a paragraph that the help puts in front of the row
};

constexpr OptionRow kOptions[] = {
    {"-h", "--help", nullptr, kAllCommands, nullptr, nullptr},
    {"-o", "--output", "SETUP", kPack,
     "the installer to write (written to a temporary\n"
     "file, renamed into place only when complete)", nullptr},
    {nullptr, "--run", "PROGRAM", kPack, "the setup program, relative to DIR", nullptr},
    {nullptr, "--stub", "FILE", kPack,
     "the stub to put in front (default: $QTK_STUB, else\n"
     "the 32-bit Windows stub that qtk carries)", nullptr},
    {nullptr, "--volume-size", "SIZE", kPack,
     "split into volumes of at most SIZE bytes: SETUP and\n"
     "SETUP's name with the extension replaced by 001,\n"
     "002, ...; SIZE in bytes, with K, M or G, or one of\n"
     "360K 720K 1.2M 1.44M DMF 2.88M", nullptr},
    {"-j", "--jobs", "N", kPack,
     "compress on N threads (default: all cores); the\n"
     "output does not depend on N", nullptr},
    {"-C", "--directory", "DIR", kExtract, "the folder to extract into", nullptr},
    {nullptr, "--codepage", "N", kPack | kTest | kExtract,
     "Windows code page of the member names (default 1252)", nullptr},
    {nullptr, "--codepage", "N", kList, nullptr, nullptr},
    {"-j", "--jobs", "N", kTest,
     "decode on N threads (default: all cores); faults\n"
     "are reported in archive order whatever N is", nullptr},
    {"-j", "--jobs", "N", kExtract,
     "decode on N threads (default: all cores); files\n"
     "are written, and the first fault stops, in\n"
     "archive order whatever N is", nullptr},
    {nullptr, "--elevation", "LEVEL", kPack,
     "what the installer asks Windows for, written into\n"
     "the stub's manifest: auto (the default: nothing,\n"
     "Windows decides as for any program), user\n"
     "(asInvoker), admin (requireAdministrator) or\n"
     "highest (highestAvailable)", nullptr},
    {"-q", "--quiet", nullptr, kPack | kTest | kExtract, "no progress bar, no summary", nullptr},
    {"-q", "--quiet", nullptr, kList | kStream, nullptr, nullptr},
    {nullptr, "--json", nullptr, kList | kTest,
     "print one JSON document on standard output instead\n"
     "of the text (docs/json.md); messages still go to\n"
     "standard error, the exit code is the same", nullptr},
    {nullptr, "--depfile", "FILE", kPack,
     "also write FILE, a Makefile-style list of what\n"
     "SETUP was made from (every file and folder read),\n"
     "for build systems (CMake's DEPFILE)", nullptr},
    {nullptr, "--icon", "FILE.ico", kPack, "the icon",
     "\n"
     "The installer's own icon and version resource, shown by Explorer, the\n"
     "file's properties and the elevation prompt (put into the installer's copy\n"
     "of the stub, which must be a Windows program; any other of the stub's\n"
     "icons and version resource give way to them):\n"},
    {nullptr, "--product", "NAME", kPack, "the product name", nullptr},
    {nullptr, "--company", "NAME", kPack, "the company name", nullptr},
    {nullptr, "--description", "TEXT", kPack, "the file description (the elevation prompt shows it)", nullptr},
    {nullptr, "--version", "A.B.C.D", kPack, "file and product version, four numbers 0 to 65535", nullptr},
};

// The row of option `s` ("-o" or "--output") that `command` takes; with
// command 0, any row of that option.
const OptionRow* find_option(const std::string& s, unsigned command) {
  for (const OptionRow& r : kOptions)
    if ((s == r.name || (r.short_name && s == r.short_name)) && (command == 0 || (r.commands & command)))
      return &r;
  return nullptr;
}

// A command's help: its text, then the options it lists, the descriptions
// in a second column.
std::string help_text(unsigned command, const char* text) {
  constexpr std::size_t kColumn = 25;
  std::string h = text;
  for (const OptionRow& r : kOptions) {
    if (!(r.commands & command) || !r.help) continue;
    if (r.before) h += r.before;
    std::string line = "  ";
    if (r.short_name) line += std::string(r.short_name) + ", ";
    line += r.name;
    if (r.value) line += std::string(" ") + r.value;
    line.resize(std::max(line.size() + 1, kColumn), ' ');
    for (const char* c = r.help; *c; ++c) {
      line += *c;
      if (*c == '\n') line.append(kColumn, ' ');
    }
    h += line + '\n';
  }
  return h;
}

const char* const kPackHelp =
    "usage: qtk pack DIR -o SETUP [--run PROGRAM] [options]\n"
    "\n"
    "Every file below DIR becomes a member, with its modification time, in a\n"
    "fixed order (sorted; a directory's files before its subdirectories), so\n"
    "the same folder always gives the same bytes. The control file qtksfx.ini\n"
    "is taken from the top of DIR when it is there; otherwise it is written\n"
    "with [system] run=PROGRAM. PROGRAM must name a file of DIR.\n"
    "\n"
    "options:\n";

const char* const kListHelp =
    "usage: qtk list SETUP [--codepage N] [--json]\n"
    "\n"
    "Lists the members: size, modification time (UTC), number of data packets,\n"
    "bytes those packets take in the archive, and the path. Later volumes are\n"
    "looked for beside SETUP. A Windows installer's first line tells the\n"
    "execution level that its stub's manifest asks for.\n"
    "\n"
    "options:\n";

const char* const kTestHelp =
    "usage: qtk test SETUP [--codepage N] [-j N] [-q] [--json]\n"
    "\n"
    "Reads every volume and checks every packet's check bytes, lengths and\n"
    "decoding, the packet order, every member end's total and count, every\n"
    "member path (as stored and as decoded), and the archive end; then what\n"
    "the installer meets after unpacking: a qtksfx.ini whose run= names a\n"
    "member, and no two members that are one file on Windows. Each fault is\n"
    "printed with its volume, offset and member.\n"
    "\n"
    "options:\n";

const char* const kCompressHelp =
    "usage: qtk compress IN OUT\n"
    "       qtk decompress IN OUT\n"
    "\n"
    "Compresses IN into one raw stream of the installers' codec (a 4-byte size\n"
    "header and the coded bits, as inside a compressed packet), or expands such\n"
    "a stream. A stream that is cut short, runs on past its end or yields\n"
    "another size than its header's is refused, and OUT is then not written;\n"
    "a raw stream has no checksum, so other damage can decode to wrong bytes\n"
    "unnoticed.\n";

const char* const kExtractHelp =
    "usage: qtk extract SETUP [-C DIR] [--codepage N] [-j N] [-q]\n"
    "\n"
    "Extracts the members into DIR (default: the current directory) with\n"
    "their modification times, as the installer itself would. Members whose\n"
    "path is unsafe are refused; nothing is written outside DIR.\n"
    "\n"
    "options:\n";

struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;  // by long name
  bool help = false, quiet = false, json = false;
};

Args parse(const std::vector<std::string>& args, std::size_t from, unsigned command) {
  Args a;
  for (std::size_t i = from; i < args.size(); ++i) {
    std::string s = args[i];
    if (s == "--") {
      for (++i; i < args.size(); ++i) a.positional.push_back(args[i]);
      break;
    }
    if (s.size() < 2 || s[0] != '-') {
      a.positional.push_back(s);
      continue;
    }
    std::string value;
    bool has_value = false;
    if (const auto eq = s.find('='); s.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = s.substr(eq + 1);
      s = s.substr(0, eq);
      has_value = true;
    } else if (s[1] != '-' && s.size() > 2) {
      if (const OptionRow* r = find_option(s.substr(0, 2), 0); r && r->value) {
        value = s.substr(2);  // -j4, -Cdir, -oout.exe
        s = s.substr(0, 2);
        has_value = true;
      }
    }
    const OptionRow* r = find_option(s, command);
    if (!r) usage_error("unknown option " + s);
    if (!r->value) {
      if (has_value) usage_error(s + " takes no value");
      const std::string name = r->name;
      (name == "--help" ? a.help : name == "--json" ? a.json : a.quiet) = true;
      continue;
    }
    if (!has_value) {
      if (i + 1 >= args.size()) usage_error(s + " needs a value");
      value = args[++i];
    }
    a.options.emplace_back(r->name, value);
  }
  return a;
}

// The value of an option (the last one given), by its long name.
const std::string* option(const Args& a, const char* name) {
  const std::string* found = nullptr;
  for (const auto& [k, v] : a.options)
    if (k == name) found = &v;
  return found;
}

unsigned codepage_of(const Args& a) {
  const std::string* c = option(a, "--codepage");
  return c ? parse_count(*c, "--codepage", 1, 65535) : 1252;
}

// Threads of pack, test and extract: -j N, or all cores.
unsigned jobs_of(const Args& a) {
  if (const std::string* j = option(a, "--jobs")) return parse_count(*j, "--jobs", 1, 256);
  return std::min(std::max(1u, std::thread::hardware_concurrency()), 64u);
}

int command(const std::vector<std::string>& args, Console& con) {
  if (args.empty()) {
    con.err << kMainHelp;
    return kExitUsage;
  }
  const std::string& cmd = args[0];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    con.out << kMainHelp;
    return kExitOk;
  }
  if (cmd == "--version") {
    std::size_t stub_size = 0;
    embedded_stub(stub_size);
    con.out << "qtk " QTK_VERSION "\nstub: qtksfx.exe for 32-bit Windows, " << stub_size << " bytes, carried inside\n";
    return kExitOk;
  }
  if (cmd == "pack") {
    const Args a = parse(args, 1, kPack);
    if (a.help) {
      con.out << help_text(kPack, kPackHelp);
      return kExitOk;
    }
    con.quiet = con.quiet || a.quiet;
    con.progress = con.progress && !con.quiet;
    PackOptions o;
    if (a.positional.size() != 1) usage_error("pack takes one folder (see qtk pack --help)");
    o.dir = a.positional[0];
    const std::string* out = option(a, "--output");
    if (!out || out->empty()) usage_error("pack needs -o SETUP (see qtk pack --help)");
    o.output = *out;
    if (const std::string* r = option(a, "--run")) {
      o.run = *r;
      o.run_given = true;
    }
    if (const std::string* s = option(a, "--stub")) {
      if (s->empty()) usage_error("--stub needs a file");
      o.stub = *s;
    } else if (const std::string e = env_text("QTK_STUB"); !e.empty()) o.stub = e;
    if (const std::string* i = option(a, "--icon")) {
      if (i->empty()) usage_error("--icon needs a file");
      o.icon = *i;
    }
    for (auto [name, field] : {std::pair{"--product", &o.brand.product}, std::pair{"--company", &o.brand.company},
                               std::pair{"--description", &o.brand.description}})
      if (const std::string* t = option(a, name)) {
        if (t->empty()) usage_error(std::string(name) + " needs a text");
        *field = *t;
      }
    if (const std::string* v = option(a, "--version")) {
      if (std::string err = pe::parse_version(*v, o.brand.version); !err.empty())
        usage_error("--version " + printable(*v) + ": " + err);
      o.brand.has_version = true;
    }
    if (const std::string* e = option(a, "--elevation")) {
      const pe::Elevation* found = nullptr;
      for (const pe::Elevation& l : pe::kElevations)
        if (*e == l.name) found = &l;
      if (!found) usage_error("--elevation " + printable(*e) + ": not one of auto, user, admin, highest");
      o.brand.execution_level = found->level;
    }
    if (const std::string* v = option(a, "--volume-size")) {
      o.volume_size = parse_size(*v);
      if (o.volume_size == 0) usage_error("--volume-size must be above 0");
    }
    if (const std::string e = env_text("SOURCE_DATE_EPOCH"); !e.empty()) {
      // https://reproducible-builds.org/specs/source-date-epoch/: a bad value is an error.
      if (e.size() > 12 || e.find_first_not_of("0123456789") != std::string::npos)
        usage_error("SOURCE_DATE_EPOCH=" + printable(e) + ": not a number of seconds since 1970");
      o.time_limit = std::stoll(e);
    }
    if (const std::string* d = option(a, "--depfile")) {
      if (d->empty()) usage_error("--depfile needs a file");
      o.depfile = *d;
    }
    o.jobs = jobs_of(a);
    o.codepage = codepage_of(a);
    return pack(o, con);
  }
  if (cmd == "compress" || cmd == "decompress") {
    const Args a = parse(args, 1, kStream);
    if (a.help) {
      con.out << help_text(kStream, kCompressHelp);
      return kExitOk;
    }
    if (a.positional.size() != 2) usage_error(cmd + " takes IN and OUT (see qtk " + cmd + " --help)");
    return cmd == "compress" ? compress_file(a.positional[0], a.positional[1])
                             : decompress_file(a.positional[0], a.positional[1]);
  }
  ReadMode mode;
  const char* help;
  unsigned bit;
  if (cmd == "list") mode = ReadMode::kList, help = kListHelp, bit = kList;
  else if (cmd == "test") mode = ReadMode::kTest, help = kTestHelp, bit = kTest;
  else if (cmd == "extract") mode = ReadMode::kExtract, help = kExtractHelp, bit = kExtract;
  else usage_error("unknown command '" + cmd + "' (see qtk --help)");
  const Args a = parse(args, 1, bit);
  if (a.help) {
    con.out << help_text(bit, help);
    return kExitOk;
  }
  con.quiet = con.quiet || a.quiet;
  con.progress = con.progress && !con.quiet;
  if (a.positional.size() != 1) usage_error(cmd + " takes one installer (see qtk " + cmd + " --help)");
  ReadOptions o;
  o.archive = a.positional[0];
  if (const std::string* d = option(a, "--directory")) o.dir = *d;
  o.codepage = codepage_of(a);
  o.json = a.json;
  if (mode != ReadMode::kList) o.jobs = jobs_of(a);
  return read_archive(mode, o, con);
}

unsigned command_bit(const std::string& cmd) {
  if (cmd == "pack") return kPack;
  if (cmd == "list") return kList;
  if (cmd == "test") return kTest;
  if (cmd == "extract") return kExtract;
  if (cmd == "compress" || cmd == "decompress") return kStream;
  return 0;
}

}  // namespace

std::vector<std::string> option_names(const std::string& command) {
  std::vector<std::string> names;
  const unsigned bit = command_bit(command);
  for (const OptionRow& r : kOptions)
    if (r.commands & bit)
      for (const char* n : {r.short_name, r.name})
        if (n && std::find(names.begin(), names.end(), n) == names.end()) names.emplace_back(n);
  return names;
}

int run_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                bool err_is_terminal) {
  Console con{out, err, err_is_terminal, false};
  try {
    return command(args, con);
  } catch (const Error& e) {
    if (e.what()[0]) err << "qtk: " << e.what() << '\n';
    if (e.code == kExitUsage) err << "(run 'qtk --help' for usage)\n";
    return e.code;
  } catch (const std::bad_alloc&) {
    err << "qtk: out of memory\n";
    return kExitFailed;
  }
}

}  // namespace qtk
