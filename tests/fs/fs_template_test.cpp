// Language templates: field tables, substitution and text catalogues.
#include <cstdlib>
#include <cstring>

#include "fs_test_support.h"

namespace {

struct Fields {
  fs_field* t;
  explicit Fields(int capacity = 8) : t(fs_fields_new(capacity)) {}
  ~Fields() { fs_fields_free(t); }
};

std::string subst(const fs_field* table, const std::string& source, size_t room = 60000) {
  std::vector<char> out(room + 1, '@');
  fs_substitute(table, '%', '#', source.c_str(), out.data(), room);
  EXPECT_EQ(out[room], '@') << "wrote past the room";
  return out.data();
}

struct Catalog {
  char** t = nullptr;
  int count = -1;
  explicit Catalog(const std::string& path) { t = fs_catalog_load(path.c_str(), &count); }
  ~Catalog() { fs_catalog_free(t, count); }
};

}  // namespace

TEST(FsSubstitute, ReferenceForms) {
  Fields f;
  ASSERT_EQ(fs_fields_add(f.t, "USER", "Jan"), 0);
  ASSERT_EQ(fs_fields_add(f.t, "ID", "12345"), 0);
  const std::pair<const char*, const char*> cases[] = {
      {"Dear %USER%,", "Dear Jan,"},
      {"%USER#6%", "Jan   "},
      {"%USER#+6%", "Jan   "},
      {"%USER#-6%", "   Jan"},
      {"%ID#3%", "123"},
      {"%ID#-3%", "123"},
      {"%user%", "%user%"},
      {"%NOSUCH%", "%NOSUCH%"},
      {"%NOSUCH%USER%", "%NOSUCHJan"},
      {"100% of %USER%", "100% of Jan"},
      {"%USER#x%", ""},
      // further forms
      {"%USER# 4%|", "Jan |"},
      {"%USER#--5%", ""},           // a second sign reads as no digits
      {"%USER#5", "Jan  "},         // width text ended by the end of the line
      {"%USER#0000000005XYZ", "Jan  Z"},  // 11 width characters, then one skipped
      {"%ABCDEFGHIJKLM%", "%ABCDEFGHIJKLM%"},  // 13 characters name nothing
      {"%", "%"},
      {"a%%b", "a%%b"},
  };
  for (const auto& [src, want] : cases) EXPECT_EQ(subst(f.t, src), want) << src;
}

TEST(FsSubstitute, LongestNameAndNoTable) {
  Fields f;
  ASSERT_EQ(fs_fields_add(f.t, "ABCDEFGHIJKL", "twelve"), 0);
  ASSERT_EQ(fs_fields_add(f.t, "", "empty-name"), 0);
  EXPECT_EQ(subst(f.t, "<%ABCDEFGHIJKL%>"), "<twelve>");
  EXPECT_EQ(subst(f.t, "<%%>"), "<empty-name>");
  EXPECT_EQ(subst(nullptr, "%ABCDEFGHIJKL%"), "%ABCDEFGHIJKL%");
  Fields empty;
  EXPECT_EQ(subst(empty.t, "x %Y% z"), "x %Y% z");
}

TEST(FsSubstitute, ValuesAreLiteralAndOutputIsBounded) {
  Fields f;
  ASSERT_EQ(fs_fields_add(f.t, "A", "%B% %s %n"), 0);
  ASSERT_EQ(fs_fields_add(f.t, "B", "never"), 0);
  EXPECT_EQ(subst(f.t, "%A%"), "%B% %s %n");
  // Every form stops at the room the caller has.
  EXPECT_EQ(subst(f.t, "xy%A%", 6), "xy%B%");
  EXPECT_EQ(subst(f.t, "%B#-20%", 8), "       ");
  EXPECT_EQ(subst(f.t, "%B#99999999999%", 10), "never    ");
  EXPECT_EQ(subst(f.t, "abc", 1), "");
  EXPECT_EQ(subst(f.t, "abc", 3), "ab");
}

TEST(FsFields, CapacityCountsTheEndField) {
  Fields f(3);
  EXPECT_EQ(fs_fields_add(f.t, "a", "1"), 0);
  EXPECT_EQ(fs_fields_add(f.t, "b", "2"), 0);
  EXPECT_EQ(fs_fields_add(f.t, "c", "3"), -1);  // full: refused, table unchanged
  EXPECT_EQ(f.t[2].name, nullptr);
  EXPECT_EQ(subst(f.t, "%a%%b%%c%"), "12%c%");
  Fields none(0);
  ASSERT_TRUE(none.t);
  EXPECT_EQ(fs_fields_add(none.t, "a", "1"), -1);
}

TEST(FsCatalog, MarkersNumberTheTexts) {
  ScratchDir dir;
  const std::string path = dir.file("cat.txt");
  write_bytes(path, "# title\r\n@1\r\nHello\r\n@2\r\nWorld\r\n@\r\n");
  {
    Catalog c(path);
    ASSERT_TRUE(c.t);
    ASSERT_EQ(c.count, 3);
    EXPECT_STREQ(c.t[0], "");
    EXPECT_STREQ(c.t[1], "Hello");
    EXPECT_STREQ(c.t[2], "World");
  }
  write_bytes(path, "# title\n@1\nHello\n@2\nWorld\n");
  {
    Catalog c(path);
    ASSERT_EQ(c.count, 3);
    EXPECT_STREQ(c.t[1], "Hello");
    EXPECT_EQ(c.t[2], nullptr);  // text after the last marker is not stored
  }
  write_bytes(path, "zero\n@3\nfirst\ntwo lines\n@3\nsecond\n@-1\n@x\nz\n@0\n");
  {
    Catalog c(path);
    ASSERT_EQ(c.count, 4);
    EXPECT_STREQ(c.t[0], "z");  // markers without digits mean 0; later text wins
    EXPECT_EQ(c.t[1], nullptr);
    EXPECT_STREQ(c.t[3], "second");
  }
  // The file's characters bound the slots: 14 characters make no table of
  // 2^31 slots, while a number the file can hold keeps its text.
  write_bytes(path, "@2147483646\nx\n");
  {
    Catalog c(path);
    ASSERT_TRUE(c.t);
    ASSERT_EQ(c.count, 15);
    EXPECT_STREQ(c.t[0], "");
    for (int i = 1; i < c.count; ++i) EXPECT_EQ(c.t[i], nullptr) << i;
  }
  write_bytes(path, "@9\nnine\n@\n");
  {
    Catalog c(path);
    ASSERT_EQ(c.count, 10);
    EXPECT_STREQ(c.t[9], "nine");
  }
}

TEST(FsCatalog, LongLinesArriveInPiecesAndTextsStayInTheirBuffer) {
  ScratchDir dir;
  const std::string path = dir.file("long.txt");
  // A 197-character first piece; the rest of the line starts with '@' and
  // is taken as a marker of its own.
  write_bytes(path, "@1\n" + std::string(197, 'a') + "@2tail\nmore\n@5\n");
  {
    Catalog c(path);
    ASSERT_EQ(c.count, 6);
    EXPECT_EQ(std::string(c.t[1]), std::string(197, 'a'));  // no line feed to drop
    EXPECT_STREQ(c.t[2], "more");
  }
  std::string big = "@1\n";
  for (int i = 0; i < 120; ++i) big += std::string(99, 'x') + "\n";
  write_bytes(path, big + "@2\n");
  {
    Catalog c(path);
    ASSERT_EQ(c.count, 3);
    EXPECT_EQ(std::strlen(c.t[1]), 9999u);  // cut at the work buffer
  }
}

TEST(FsCatalog, TraceAndMissingFile) {
  ScratchDir dir;
  RecordingLog log;
  const std::string path = dir.file("c.txt");
  write_bytes(path, "@0\n");
  fs_trace_level = 5;
  Catalog present(path);
  fs_trace_level = 0;
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000007u);
  EXPECT_EQ(log.events[0].type, unsigned{FS_EVENT_INFORMATION});
  EXPECT_EQ(log.events[0].first, path);

  log.events.clear();
  Catalog missing(dir.file("absent.txt"));  // 201 attempts, about 2 s
  EXPECT_EQ(missing.t, nullptr);
  EXPECT_EQ(missing.count, 0);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000005u);
  EXPECT_EQ(log.events[0].first, "");
}
