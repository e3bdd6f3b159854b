// Configuration file reader: cleaning, pieces, lookups, editing and retries.
#include <chrono>
#include <cstring>

#include "fs_test_support.h"

namespace {

struct Table {
  fs_ini_entry* t = nullptr;
  explicit Table(fs_ini_entry* p) : t(p) {}
  ~Table() { fs_ini_free(t); }
  size_t size() const {
    size_t n = 0;
    while (t[n].section[0]) ++n;
    return n;
  }
};

fs_ini_entry* read_text(const ScratchDir& dir, const std::string& text) {
  const std::string path = dir.file("test.ini");
  write_bytes(path, text);
  return fs_ini_read(path.c_str());
}

}  // namespace

TEST(FsIni, ControlFileWithCrLfIsFoundIgnoringCase) {
  ScratchDir dir;
  Table t(read_text(dir, "[system]\r\nrun=setup.exe\r\n"));
  ASSERT_TRUE(t.t);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_STREQ(t.t[0].section, "SYSTEM");
  EXPECT_STREQ(t.t[0].key, "RUN");
  EXPECT_STREQ(t.t[0].value, "setup.exe");
  EXPECT_EQ(fs_ini_find(t.t, "system", "run"), &t.t[0]);
  EXPECT_EQ(fs_ini_find(t.t, "SYSTEM", "Run"), &t.t[0]);
  EXPECT_EQ(fs_ini_find(t.t, "system", "runx"), nullptr);
  EXPECT_EQ(fs_ini_find(t.t, "sys", "run"), nullptr);
}

TEST(FsIni, CleaningOfKeysValuesAndComments) {
  ScratchDir dir;
  Table t(read_text(dir,
                    "top=1\n"
                    "[ sys tem ]  trailing text\n"
                    "=v\n"
                    " a b = c d  ; note\n"
                    "x=\n"
                    ";x=1\n"
                    "x;=1\n"
                    "no equals here\n"
                    "\n"
                    "eq=a=b\n"
                    "\t k\xe9y\t=\t\tv\xe9 \n"
                    "lone=cr\rkept\n"));
  ASSERT_TRUE(t.t);
  ASSERT_EQ(t.size(), 7u);
  EXPECT_STREQ(t.t[0].section, "ALL");
  EXPECT_STREQ(t.t[0].key, "TOP");
  for (size_t i = 1; i < t.size(); ++i) EXPECT_STREQ(t.t[i].section, "SYSTEM");
  EXPECT_STREQ(t.t[1].key, "");
  EXPECT_STREQ(t.t[1].value, "v");
  EXPECT_STREQ(t.t[2].key, "AB");
  EXPECT_STREQ(t.t[2].value, "c d  ");
  EXPECT_STREQ(t.t[3].key, "X");
  EXPECT_STREQ(t.t[3].value, "");
  EXPECT_STREQ(t.t[4].key, "EQ");
  EXPECT_STREQ(t.t[4].value, "a=b");
  EXPECT_STREQ(t.t[5].key, "K\xe9Y");  // bytes above 127 are kept as they are
  EXPECT_STREQ(t.t[5].value, "v\xe9 ");
  EXPECT_STREQ(t.t[6].value, "cr\rkept");  // only CR LF pairs are line ends
}

TEST(FsIni, EmptyAndCommentOnlyFilesGiveEmptyTables) {
  ScratchDir dir;
  for (const char* text : {"", "; only a comment\n[section]\n\n[other]\r\n"}) {
    Table t(read_text(dir, text));
    ASSERT_TRUE(t.t) << text;
    EXPECT_EQ(t.size(), 0u);
    EXPECT_EQ(fs_ini_find(t.t, "ALL", ""), nullptr);
  }
}

TEST(FsIni, ParsingATextGivesWhatReadingItsFileGives) {
  RecordingLog log;
  ScratchDir dir;
  const std::string piece(196, 'x');
  // Line ends at and across the 198-character piece boundary, a lone CR at
  // the end, a zero byte inside a line, Ctrl-Z, no final line end.
  const std::string texts[] = {
      "[system]\r\nrun=setup.exe\r\n",
      "k=" + piece + "\r\nb=2\r\n",
      "k=" + piece + "x\r\nb=2",
      "a=1\r",
      std::string("a=1\0b=2\nc=3\n", 12),
      "[s]\na=1\x1a\nb=2\n",
      "",
  };
  for (const std::string& text : texts) {
    Table from_file(read_text(dir, text));
    Table from_text(fs_ini_parse(text.data(), text.size()));
    ASSERT_TRUE(from_file.t && from_text.t);
    ASSERT_EQ(from_text.size(), from_file.size()) << text;
    EXPECT_EQ(std::memcmp(from_text.t, from_file.t, (from_file.size() + 1) * sizeof(fs_ini_entry)), 0) << text;
  }
  // Only `len` bytes are read, and nothing goes to the event log.
  Table cut(fs_ini_parse("a=1\nb=2\n", 4));
  ASSERT_TRUE(cut.t);
  EXPECT_EQ(cut.size(), 1u);
  Table none(fs_ini_parse(nullptr, 0));
  ASSERT_TRUE(none.t);
  EXPECT_EQ(none.size(), 0u);
  fs_trace_level = 5;
  fs_ini_free(fs_ini_parse("a=1\n", 4));
  fs_init();
  EXPECT_TRUE(log.events.empty());
}

TEST(FsIni, SectionNamesAndWidthCuts) {
  ScratchDir dir;
  const std::string key30(30, 'k');
  const std::string value150(150, 'v');
  Table t(read_text(dir, "[abcdefghijklmnopq]\na=1\n[x\nb=2\n" + key30 + "=after\nc=" +
                             value150 + "\n[]\nd=4\n"));
  ASSERT_TRUE(t.t);
  ASSERT_EQ(t.size(), 5u);
  EXPECT_STREQ(t.t[0].section, "ABCDEFGHIJKL");
  EXPECT_STREQ(t.t[1].section, "X");
  EXPECT_EQ(std::string(t.t[2].key), std::string(19, 'K'));
  EXPECT_STREQ(t.t[2].value, "after");
  EXPECT_EQ(std::string(t.t[3].value), std::string(126, 'v'));
  // An empty header does not end the table early: its entries go to ALL.
  EXPECT_STREQ(t.t[4].section, "ALL");
  EXPECT_STREQ(t.t[4].key, "D");
}

TEST(FsIni, LongLinesAreReadInPiecesOf198) {
  ScratchDir dir;
  const std::string line = "a=" + std::string(196, 'x') + "b=" + std::string(50, 'y');
  ASSERT_EQ(line.size(), 250u);
  Table t(read_text(dir, line + "\r\nc=z\r\n"));
  ASSERT_TRUE(t.t);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_STREQ(t.t[0].key, "A");
  EXPECT_EQ(std::string(t.t[0].value), std::string(126, 'x'));
  EXPECT_STREQ(t.t[1].key, "B");
  EXPECT_EQ(std::string(t.t[1].value), std::string(50, 'y'));
  EXPECT_STREQ(t.t[2].value, "z");
}

TEST(FsIni, CtrlZEndsTheFile) {
  ScratchDir dir;
  Table t(read_text(dir, "a=1\r\n\x1a" "b=2\r\n"));
  ASSERT_TRUE(t.t);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_STREQ(t.t[0].key, "A");
}

TEST(FsIni, DuplicatesDeleteAndWriteBack) {
  ScratchDir dir;
  Table t(read_text(dir, "[s]\nk=first\nother=o\n[S]\nK=second\n"));
  ASSERT_TRUE(t.t);
  fs_ini_entry* first = fs_ini_find(t.t, "s", "k");
  fs_ini_entry* last = fs_ini_find_last(t.t, "s", "k");
  ASSERT_TRUE(first && last);
  EXPECT_STREQ(first->value, "first");
  EXPECT_STREQ(last->value, "second");

  fs_ini_delete(first);
  EXPECT_EQ(fs_ini_find(t.t, "s", "k"), last);
  EXPECT_EQ(fs_ini_find(t.t, "***", "k"), first);  // still in its place

  const std::string out = dir.file("out.ini");
  ASSERT_EQ(fs_ini_write(t.t, out.c_str()), 0);
  EXPECT_EQ(read_bytes(out), "[S]\nOTHER=o\n[S]\nK=second\n");

  EXPECT_EQ(fs_ini_write(t.t, dir.file("missing-dir/out.ini").c_str()), 1);
#ifndef _WIN32
  // A full disk: a small table fails when its buffer is written at the
  // close, a large one while it is written.
  EXPECT_EQ(fs_ini_write(t.t, "/dev/full"), 1);
  std::string many;
  for (int i = 0; i < 300; ++i) many += "k" + std::to_string(i) + "=" + std::string(100, 'v') + "\n";
  Table large(read_text(dir, many));
  ASSERT_TRUE(large.t);
  EXPECT_EQ(fs_ini_write(large.t, "/dev/full"), 1);
#endif
}

TEST(FsIni, AppendCopiesEntriesAndKeepsCase) {
  ScratchDir dir;
  fs_ini_entry* t = read_text(dir, "a=1\nb=2\n");
  ASSERT_TRUE(t);
  fs_ini_delete(&t[0]);
  fs_ini_entry add{};
  std::strcpy(add.section, "mixed");
  std::strcpy(add.key, "Key");
  std::strcpy(add.value, "Value");
  t = fs_ini_append(t, &add);
  ASSERT_TRUE(t);
  EXPECT_STREQ(t[0].section, "***");
  EXPECT_STREQ(t[1].key, "B");
  EXPECT_STREQ(t[2].section, "mixed");
  EXPECT_STREQ(t[2].key, "Key");
  EXPECT_STREQ(t[3].section, "");
  EXPECT_EQ(fs_ini_find(t, "MIXED", "key"), &t[2]);

  // A field that fills its whole width without a zero byte is cut inside it.
  std::memset(&add, 'z', sizeof add);
  t = fs_ini_append(t, &add);
  ASSERT_TRUE(t);
  EXPECT_EQ(std::string(t[3].section), std::string(14, 'z'));
  EXPECT_EQ(std::string(t[3].value), std::string(126, 'z'));
  fs_ini_free(t);

  fs_ini_entry* fresh = fs_ini_append(nullptr, &add);
  ASSERT_TRUE(fresh);
  EXPECT_STREQ(fresh[1].section, "");
  fs_ini_free(fresh);
}

TEST(FsIni, MissingFileIsRetriedElevenTimesThenReported) {
  RecordingLog log;
  ScratchDir dir;
  const std::string path = dir.file("absent.ini");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fs_ini_read(path.c_str()), nullptr);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_GE(ms, 95);  // ten waits of 10 ms
  ASSERT_EQ(log.events.size(), 1u);
  const LoggedEvent& e = log.events[0];
  EXPECT_EQ(e.source, "Relaymark.FS_API");
  EXPECT_EQ(e.type, unsigned{FS_EVENT_ERROR});
  EXPECT_EQ(e.event, 0xC0000005u);
  EXPECT_EQ(e.first, path);
  EXPECT_EQ(e.second.rfind("[fs_ini.cpp:", 0), 0u) << e.second;
  EXPECT_EQ(e.second.back(), ']');
}

TEST(FsIni, TraceOnlyAboveLevelFour) {
  RecordingLog log;
  ScratchDir dir;
  const std::string path = dir.file("t.ini");
  write_bytes(path, "a=1\n");
  fs_trace_level = 4;
  fs_ini_free(fs_ini_read(path.c_str()));
  EXPECT_TRUE(log.events.empty());
  fs_trace_level = 5;
  fs_ini_free(fs_ini_read(path.c_str()));
  fs_init();
  EXPECT_EQ(fs_trace_level, 0);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].type, unsigned{FS_EVENT_INFORMATION});
  EXPECT_EQ(log.events[0].event, 0x40000002u);
  EXPECT_EQ(log.events[0].first, path);
}

TEST(FsTrim, SpacesOnly) {
  char a[] = "   ";
  EXPECT_STREQ(fs_trim(a), "");
  char b[] = " a b ";
  EXPECT_STREQ(fs_trim(b), "a b");
  char c[] = "\tx \t ";
  EXPECT_STREQ(fs_trim(c), "\tx \t");
  char d[] = "";
  EXPECT_EQ(fs_trim(d), d);
}
