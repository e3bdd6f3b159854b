// qtk's command line: commands, options and help.
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

const char* const kPackHelp =
    "usage: qtk pack DIR -o SETUP [--run PROGRAM] [options]\n"
    "\n"
    "Every file below DIR becomes a member, with its modification time, in a\n"
    "fixed order (sorted; a directory's files before its subdirectories), so\n"
    "the same folder always gives the same bytes. The control file qtksfx.ini\n"
    "is taken from the top of DIR when it is there; otherwise it is written\n"
    "with [system] run=PROGRAM. PROGRAM must name a file of DIR.\n"
    "\n"
    "options:\n"
    "  -o, --output SETUP     the installer to write (written to a temporary\n"
    "                         file, renamed into place only when complete)\n"
    "  --run PROGRAM          the setup program, relative to DIR\n"
    "  --stub FILE            the stub to put in front (default: $QTK_STUB, else\n"
    "                         the 32-bit Windows stub that qtk carries)\n"
    "  --volume-size SIZE     split into volumes of at most SIZE bytes: SETUP and\n"
    "                         SETUP's name with the extension replaced by 001,\n"
    "                         002, ...; SIZE in bytes, with K, M or G, or one of\n"
    "                         360K 720K 1.2M 1.44M DMF 2.88M\n"
    "  -j, --jobs N           compress on N threads (default: all cores); the\n"
    "                         output does not depend on N\n"
    "  --codepage N           Windows code page of the member names (default 1252)\n"
    "  -q, --quiet            no progress bar, no summary\n"
    "\n"
    "The installer's own icon and version resource, shown by Explorer, the\n"
    "file's properties and the elevation prompt (put into the installer's copy\n"
    "of the stub, which must be a Windows program; any other of the stub's\n"
    "icons and version resource give way to them):\n"
    "  --icon FILE.ico        the icon\n"
    "  --product NAME         the product name\n"
    "  --company NAME         the company name\n"
    "  --description TEXT     the file description (the elevation prompt shows it)\n"
    "  --version A.B.C.D      file and product version, four numbers 0 to 65535\n";

const char* const kListHelp =
    "usage: qtk list SETUP [--codepage N]\n"
    "\n"
    "Lists the members: size, modification time (UTC), number of data packets,\n"
    "bytes those packets take in the archive, and the path. Later volumes are\n"
    "looked for beside SETUP.\n";

const char* const kTestHelp =
    "usage: qtk test SETUP [--codepage N] [-j N] [-q]\n"
    "\n"
    "Reads every volume and checks every packet's check bytes, lengths and\n"
    "decoding, the packet order, every member end's total and count, every\n"
    "member path (as stored and as decoded), and the archive end; then what\n"
    "the installer meets after unpacking: a qtksfx.ini whose run= names a\n"
    "member, and no two members that are one file on Windows. Each fault is\n"
    "printed with its volume, offset and member.\n"
    "\n"
    "options:\n"
    "  --codepage N           Windows code page of the member names (default 1252)\n"
    "  -j, --jobs N           decode on N threads (default: all cores); faults\n"
    "                         are reported in archive order whatever N is\n"
    "  -q, --quiet            no progress bar, no summary\n";

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
    "options:\n"
    "  -C, --directory DIR    the folder to extract into\n"
    "  --codepage N           Windows code page of the member names (default 1252)\n"
    "  -j, --jobs N           decode on N threads (default: all cores); files\n"
    "                         are written, and the first fault stops, in\n"
    "                         archive order whatever N is\n"
    "  -q, --quiet            no progress bar, no summary\n";

struct Args {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> options;
  bool help = false, quiet = false;
};

// Options that take a value, by every name they go by.
bool takes_value(const std::string& o) {
  for (const char* v : {"-o", "--output", "--run", "--stub", "--volume-size", "-j", "--jobs", "--codepage", "-C",
                        "--directory", "--icon", "--product", "--company", "--description", "--version"})
    if (o == v) return true;
  return false;
}

Args parse(const std::vector<std::string>& args, std::size_t from,
           std::initializer_list<const char*> allowed) {
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
    if (s == "-h" || s == "--help") {
      a.help = true;
      continue;
    }
    if (s == "-q" || s == "--quiet") {
      a.quiet = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    if (const auto eq = s.find('='); s.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = s.substr(eq + 1);
      s = s.substr(0, eq);
      has_value = true;
    } else if (s[1] != '-' && s.size() > 2 && takes_value(s.substr(0, 2))) {
      value = s.substr(2);  // -j4, -Cdir, -oout.exe
      s = s.substr(0, 2);
      has_value = true;
    }
    bool ok = false;
    for (const char* o : allowed) ok = ok || s == o;
    if (!ok) usage_error("unknown option " + s);
    if (takes_value(s) && !has_value) {
      if (i + 1 >= args.size()) usage_error(s + " needs a value");
      value = args[++i];
    }
    a.options.emplace_back(s, value);
  }
  return a;
}

const std::string* option(const Args& a, std::initializer_list<const char*> names) {
  const std::string* found = nullptr;
  for (const auto& [k, v] : a.options)
    for (const char* n : names)
      if (k == n) found = &v;
  return found;
}

unsigned codepage_of(const Args& a) {
  const std::string* c = option(a, {"--codepage"});
  return c ? parse_count(*c, "--codepage", 1, 65535) : 1252;
}

// Threads of pack, test and extract: -j N, or all cores.
unsigned jobs_of(const Args& a) {
  if (const std::string* j = option(a, {"-j", "--jobs"})) return parse_count(*j, "--jobs", 1, 256);
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
    const Args a = parse(args, 1, {"-o", "--output", "--run", "--stub", "--volume-size", "-j", "--jobs",
                                   "--codepage", "--icon", "--product", "--company", "--description", "--version"});
    if (a.help) {
      con.out << kPackHelp;
      return kExitOk;
    }
    con.quiet = con.quiet || a.quiet;
    con.progress = con.progress && !con.quiet;
    PackOptions o;
    if (a.positional.size() != 1) usage_error("pack takes one folder (see qtk pack --help)");
    o.dir = a.positional[0];
    const std::string* out = option(a, {"-o", "--output"});
    if (!out || out->empty()) usage_error("pack needs -o SETUP (see qtk pack --help)");
    o.output = *out;
    if (const std::string* r = option(a, {"--run"})) {
      o.run = *r;
      o.run_given = true;
    }
    if (const std::string* s = option(a, {"--stub"})) {
      if (s->empty()) usage_error("--stub needs a file");
      o.stub = *s;
    } else if (const std::string e = env_text("QTK_STUB"); !e.empty()) o.stub = e;
    if (const std::string* i = option(a, {"--icon"})) {
      if (i->empty()) usage_error("--icon needs a file");
      o.icon = *i;
    }
    for (auto [name, field] : {std::pair{"--product", &o.brand.product}, std::pair{"--company", &o.brand.company},
                               std::pair{"--description", &o.brand.description}})
      if (const std::string* t = option(a, {name})) {
        if (t->empty()) usage_error(std::string(name) + " needs a text");
        *field = *t;
      }
    if (const std::string* v = option(a, {"--version"})) {
      if (std::string err = pe::parse_version(*v, o.brand.version); !err.empty())
        usage_error("--version " + printable(*v) + ": " + err);
      o.brand.has_version = true;
    }
    if (const std::string* v = option(a, {"--volume-size"})) {
      o.volume_size = parse_size(*v);
      if (o.volume_size == 0) usage_error("--volume-size must be above 0");
    }
    o.jobs = jobs_of(a);
    o.codepage = codepage_of(a);
    return pack(o, con);
  }
  if (cmd == "compress" || cmd == "decompress") {
    const Args a = parse(args, 1, {});
    if (a.help) {
      con.out << kCompressHelp;
      return kExitOk;
    }
    if (a.positional.size() != 2) usage_error(cmd + " takes IN and OUT (see qtk " + cmd + " --help)");
    return cmd == "compress" ? compress_file(a.positional[0], a.positional[1])
                             : decompress_file(a.positional[0], a.positional[1]);
  }
  ReadMode mode;
  const char* help;
  if (cmd == "list") mode = ReadMode::kList, help = kListHelp;
  else if (cmd == "test") mode = ReadMode::kTest, help = kTestHelp;
  else if (cmd == "extract") mode = ReadMode::kExtract, help = kExtractHelp;
  else usage_error("unknown command '" + cmd + "' (see qtk --help)");
  const Args a = mode == ReadMode::kExtract ? parse(args, 1, {"-C", "--directory", "--codepage", "-j", "--jobs"})
                 : mode == ReadMode::kTest  ? parse(args, 1, {"--codepage", "-j", "--jobs"})
                                            : parse(args, 1, {"--codepage"});
  if (a.help) {
    con.out << help;
    return kExitOk;
  }
  con.quiet = con.quiet || a.quiet;
  con.progress = con.progress && !con.quiet;
  if (a.positional.size() != 1) usage_error(cmd + " takes one installer (see qtk " + cmd + " --help)");
  ReadOptions o;
  o.archive = a.positional[0];
  if (const std::string* d = option(a, {"-C", "--directory"})) o.dir = *d;
  o.codepage = codepage_of(a);
  if (mode != ReadMode::kList) o.jobs = jobs_of(a);
  return read_archive(mode, o, con);
}

}  // namespace

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
