// qtk list --json and qtk test --json: a well-formed document in every
// case, the same exit codes as the text, a code for every fault, names
// exact and bytes that are not text escaped with their bytes beside them.
#include "read/faults.h"
#include "read_fixture.h"
#include "text/text.h"

namespace {

// A strict JSON reader, enough to say whether a document is well formed:
// RFC 8259 values, strings of valid UTF-8 with no raw control characters.
class JsonCheck {
 public:
  explicit JsonCheck(const std::string& s) : s_(s) {}
  bool document() {
    ws();
    if (!value()) return false;
    ws();
    return i_ == s_.size();
  }

 private:
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  bool lit(const char* w) {
    const std::size_t n = std::strlen(w);
    if (s_.compare(i_, n, w) != 0) return false;
    i_ += n;
    return true;
  }
  bool value() {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return container('}', true);
    if (c == '[') return container(']', false);
    if (c == '"') return string();
    if (c == 't') return lit("true");
    if (c == 'f') return lit("false");
    if (c == 'n') return lit("null");
    return number();
  }
  bool container(char close, bool object) {
    ++i_;
    ws();
    if (i_ < s_.size() && s_[i_] == close) return ++i_, true;
    for (;;) {
      ws();
      if (object) {
        if (i_ >= s_.size() || s_[i_] != '"' || !string()) return false;
        ws();
        if (i_ >= s_.size() || s_[i_++] != ':') return false;
        ws();
      }
      if (!value()) return false;
      ws();
      if (i_ >= s_.size()) return false;
      if (s_[i_] == close) return ++i_, true;
      if (s_[i_++] != ',') return false;
    }
  }
  bool string() {
    ++i_;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') return ++i_, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (++i_ >= s_.size()) return false;
        const char e = s_[i_++];
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++i_)
            if (i_ >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_]))) return false;
        } else if (!std::strchr("\"\\/bfnrt", e)) {
          return false;
        }
        continue;
      }
      char32_t u = 0;
      if (!qtk::utf8_next(s_, i_, u)) return false;
    }
    return false;
  }
  bool number() {
    const std::size_t from = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
    return i_ > from && s_[i_ - 1] != '-';
  }
  const std::string& s_;
  std::size_t i_ = 0;
};

bool well_formed(const std::string& s) { return JsonCheck(s).document(); }

struct Json : Read {
  // The command with and without --json: the same exit code and messages,
  // and a well-formed document.
  Result both(const std::string& command, std::vector<std::string> extra = {}) {
    std::vector<std::string> text{command, setup.string()};
    text.insert(text.end(), extra.begin(), extra.end());
    std::vector<std::string> json = text;
    json.push_back("--json");
    const Result t = run(text), j = run(json);
    EXPECT_EQ(t.code, j.code) << command;
    EXPECT_EQ(t.err, j.err) << command;
    EXPECT_TRUE(well_formed(j.out)) << j.out;
    return j;
  }
};

bool has(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

TEST_F(Json, ListAndTestDescribeTheInstaller) {
  build(setup, stub_bytes, {{".", "a.txt", sample(150000, 3)}, {"d", "caf\xe9.txt", {}}, control()});
  for (const char* c : {"list", "test"}) {
    const Result r = both(c);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(has(r.out, "\"format\": \"qtk-archive\"")) << r.out;
    EXPECT_TRUE(has(r.out, "\"format_version\": 1")) << r.out;
    EXPECT_TRUE(has(r.out, std::string("\"command\": \"") + c + "\"")) << r.out;
    EXPECT_TRUE(has(r.out, "{\"path\": \"a.txt\", \"size\": 150000, \"time\": \"2001-09-09T01:46:40Z\", "
                           "\"mtime\": 1000000000, \"packets\": 2, \"stored\": 105985, \"ok\": true}"))
        << r.out;
    EXPECT_TRUE(has(r.out, "{\"path\": \"d/caf\xc3\xa9.txt\", \"size\": 0,")) << r.out;
    EXPECT_TRUE(has(r.out, "\"faults\": [],")) << r.out;
    EXPECT_TRUE(has(r.out, "\"ok\": true\n}")) << r.out;
    // The test stub is no Windows program: no execution level.
    EXPECT_TRUE(has(r.out, "\"stub\": {\"windows\": false, \"manifest\": false, \"execution_level\": null, "
                           "\"elevation\": null}"))
        << r.out;
    EXPECT_FALSE(has(r.out, "path_bytes")) << r.out;
  }
}

TEST_F(Json, TheExecutionLevelOfTheStub) {
  fs::create_directories(root / "tree");
  write_text(root / "tree" / "setup.exe", "x");
  ASSERT_EQ(run({"pack", (root / "tree").string(), "-o", setup.string(), "--run", "setup.exe", "-q",
                 "--elevation", "highest"}).code, 0);
  const Result r = both("list");
  EXPECT_TRUE(has(r.out, "\"stub\": {\"windows\": true, \"manifest\": true, \"execution_level\": "
                         "\"highestAvailable\", \"elevation\": \"highest\"}"))
      << r.out;
  EXPECT_TRUE(has(r.out, "\"volumes\": [\n    {\"name\": \"" + setup.string() + "\", \"size\": " +
                             std::to_string(fs::file_size(setup)) + "}\n  ]"))
      << r.out;
}

TEST_F(Json, EveryFaultHasItsCode) {
  build(setup, stub_bytes, {{".", "a.txt", sample(150000, 3)}, control()});
  const Bytes good = read_bytes(setup);
  const auto offs = packet_offsets(good, stub_bytes.size(), good.size());
  Bytes bad = good;
  bad[offs[2] + 20] ^= 0x20;  // in a.txt's second data packet
  write_bytes(setup, bad);
  Result r = both("test");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "{\"code\": \"packet-check\", \"volume\": \"" + setup.string() +
                             "\", \"offset\": " + std::to_string(offs[2]) +
                             ", \"member_index\": 0, \"member\": {\"path\": \"a.txt\"}, \"message\": "))
      << r.out;
  EXPECT_TRUE(has(r.out, "{\"path\": \"a.txt\", \"size\": 150000,")) << r.out;
  EXPECT_TRUE(has(r.out, "\"ok\": false}")) << r.out;  // the member
  EXPECT_TRUE(has(r.out, "\"complete\": true,\n  \"ok\": false\n}")) << r.out;
  // list stops at the fault: the document says so.
  r = both("list");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "\"code\": \"packet-check\"")) << r.out;
  EXPECT_TRUE(has(r.out, "\"complete\": false,\n  \"ok\": false\n}")) << r.out;

  // What the installer meets after unpacking.
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}});
  r = both("test");
  EXPECT_TRUE(has(r.out, "{\"code\": \"no-control-file\", \"volume\": null, \"offset\": null, "
                         "\"member_index\": null, \"member\": null,"))
      << r.out;
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control("[system]\r\nrun=b.txt\r\n")});
  EXPECT_TRUE(has(both("test").out, "\"code\": \"run-not-member\""));
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, {".", "A.TXT", {'b'}}, control()});
  EXPECT_TRUE(has(both("test").out, "\"code\": \"same-file\""));

  // Volumes: a missing one, and no installer at all.
  build(setup, stub_bytes, {{".", "a.txt", sample(20000, 6)}, control()}, 2000);
  fs::remove(root / "setup.002");
  r = both("test");
  EXPECT_TRUE(has(r.out, "\"code\": \"volume-missing\"")) << r.out;
  EXPECT_TRUE(has(r.out, "\"volumes\": [\n    {\"name\": \"" + setup.string() + "\"")) << r.out;
  write_bytes(setup, stub_bytes);
  r = both("test");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "\"code\": \"not-installer\"")) << r.out;
  fs::remove(setup);
  r = both("list");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "\"code\": \"open-failed\"")) << r.out;
  // A usage error prints no document.
  r = run({"test", setup.string(), "--json", "--bogus"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out, "");
}

TEST_F(Json, NamesAreExactAndBytesThatAreNotTextAreEscaped) {
  // 0x81 is no character in code page 1252; 0x1b and the right-to-left
  // override are characters that a terminal would act on.
  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control(), {".", "bad\x81.txt", {'1'}}});
  for (const char* c : {"list", "test"}) {
    const Result r = both(c);
    EXPECT_TRUE(has(r.out, "{\"path\": \"bad\\\\x81.txt\", \"path_bytes\": \"626164812e747874\", \"size\": 1,"))
        << r.out;
    EXPECT_FALSE(has(r.out, "\x81")) << r.out;
  }
  EXPECT_TRUE(has(both("test").out, "\"code\": \"name-not-text\""));
  // In code page 1251 the same byte is a letter.
  const Result cyr = both("list", {"--codepage", "1251"});
  EXPECT_TRUE(has(cyr.out, "{\"path\": \"bad\xd0\x83.txt\", \"size\": 1,")) << cyr.out;

  build(setup, stub_bytes, {{".", "a.txt", {'a'}}, control(), {"d\x1b", "x.txt", {'1'}}});
  const Result r = both("test");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(has(r.out, "\"path\": \"d\\u001b/x.txt\"")) << r.out;
  EXPECT_FALSE(has(r.out, "\x1b")) << r.out;
}

// Every fault code is described in docs/json.md.
TEST(JsonDoc, DescribesEveryFaultCode) {
  std::ifstream f(QTK_JSON_DOC);
  const std::string doc((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(doc.size(), 1000u) << QTK_JSON_DOC;
  for (const char* code : qtk::kFaultCodes)
    EXPECT_NE(doc.find(std::string("| `") + code + "` |"), std::string::npos) << code << " is not in docs/json.md";
}

// qtk_add_installer (and QTKCPack, which takes the same list) can express
// every option of qtk pack: each is a keyword of the package, or one that
// the package sets itself. An option added to qtk fails here until the
// CMake package knows it.
TEST(CMakePackage, ExpressesEveryPackOption) {
  std::ifstream f(QTK_CMAKE_INSTALLER);
  const std::string module((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto list_after = [&](const std::string& function) {
    const std::size_t at = module.find("function(" + function + " out)");
    EXPECT_NE(at, std::string::npos) << function;
    const std::size_t from = module.find("set(${out} ", at);
    const std::size_t to = module.find(" PARENT_SCOPE)", from);
    std::vector<std::string> words;
    std::istringstream in(module.substr(from + 11, to - from - 11));
    for (std::string w; in >> w;) words.push_back(w);
    return words;
  };
  const std::vector<std::string> keywords = list_after("_qtk_pack_keywords");
  const std::vector<std::string> own = list_after("_qtk_pack_own_options");
  ASSERT_GE(keywords.size(), 10u);
  const std::vector<std::string> options = qtk::option_names("pack");
  auto keyword_of = [](std::string option) {
    option = option.substr(2);
    for (char& c : option) c = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return option;
  };
  for (const std::string& o : options) {
    const bool is_own = std::find(own.begin(), own.end(), o) != own.end();
    const bool is_keyword = o.rfind("--", 0) == 0 &&
                            std::find(keywords.begin(), keywords.end(), keyword_of(o)) != keywords.end();
    EXPECT_TRUE(is_own || is_keyword) << "qtk pack " << o << " has no keyword in cmake/package/QTKInstaller.cmake";
  }
  for (const std::string& k : keywords) {
    std::string o = "--" + k;
    for (char& c : o) c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(std::find(options.begin(), options.end(), o), options.end()) << k << " names no option of qtk pack";
  }
}

}  // namespace
