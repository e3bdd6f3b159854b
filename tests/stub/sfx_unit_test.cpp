// The flow's pure helpers: formatting, joining paths, the percentage.
#include <gtest/gtest.h>

#include <string>

#include "sfx.h"

TEST(SfxFormat, PutsTheArgumentIntoTheOnePlace) {
  char out[64];
  EXPECT_TRUE(sfx_format(out, sizeof out, "open %s now", "a.txt"));
  EXPECT_STREQ(out, "open a.txt now");
  // Templates without a place show unchanged whatever the argument.
  EXPECT_TRUE(sfx_format(out, sizeof out, "Program can't continue.", "ignored"));
  EXPECT_STREQ(out, "Program can't continue.");
  // Only the first place takes the argument; "%%" is a percent sign; other
  // directives are not interpreted.
  EXPECT_TRUE(sfx_format(out, sizeof out, "%s %s 100%% %d", "x"));
  EXPECT_STREQ(out, "x %s 100% %d");
}

TEST(SfxFormat, LongTextsAreBoundedAndMarked) {
  char out[SFX_PATH_ROOM];
  const std::string arg(3000, 'p');
  EXPECT_FALSE(sfx_format(out, sizeof out, "file %s end", arg.c_str()));
  const std::string s = out;
  EXPECT_EQ(s.size(), 1023u);
  EXPECT_EQ(s.substr(0, 6), "file p");
  EXPECT_EQ(s.substr(1020), "...");
}

TEST(SfxJoin, RefusesInsteadOfCutting) {
  char out[8];
  EXPECT_TRUE(sfx_join(out, sizeof out, "ab", "cd", "e", "fg"));
  EXPECT_STREQ(out, "abcdefg");
  EXPECT_FALSE(sfx_join(out, sizeof out, "abcd", "efgh"));
  EXPECT_STREQ(out, "");
}

TEST(SfxPercent, SpansOfAnySize) {
  EXPECT_EQ(sfx_percent(100, 100, 300), 0);
  EXPECT_EQ(sfx_percent(199, 100, 300), 49);
  EXPECT_EQ(sfx_percent(300, 100, 300), 100);
  // Volumes near 2 GiB: the product does not overflow.
  EXPECT_EQ(sfx_percent(0x7FFFFFF0, 0, 0x7FFFFFFF), 99);
  EXPECT_EQ(sfx_percent(0x7FFFFFFF, 0, 0x7FFFFFFF), 100);
  // An empty later volume is a volume read in full; positions outside the
  // span stay within 0 to 100.
  EXPECT_EQ(sfx_percent(0, 0, 0), 100);
  EXPECT_EQ(sfx_percent(10, 20, 30), 0);
  EXPECT_EQ(sfx_percent(40, 20, 30), 100);
}

TEST(SfxLockList, WholeEntriesOnly) {
  EXPECT_TRUE(sfx_list_has("1a-2b;3c-4d", "3c-4d"));
  EXPECT_TRUE(sfx_list_has("1a-2b;3c-4d", "1a-2b"));
  EXPECT_FALSE(sfx_list_has("1a-2b;3c-4d", "3c-4"));
  EXPECT_FALSE(sfx_list_has("1a-2b;3c-4d", "a-2b"));
  EXPECT_FALSE(sfx_list_has(nullptr, "1a-2b"));
  EXPECT_FALSE(sfx_list_has(";;", ""));
}

namespace {
// Fakes of the two ways of starting: what each was asked, what it answers.
std::string g_started;
unsigned long g_direct_answer, g_shell_answer;
unsigned long fake_direct(const void* program, int* code) {
  g_started += std::string("direct:") + static_cast<const char*>(program) + ";";
  if (g_direct_answer == 0) *code = 3;
  return g_direct_answer;
}
unsigned long fake_shell(const void* program, int* code) {
  g_started += std::string("shell:") + static_cast<const char*>(program) + ";";
  if (g_shell_answer == 0) *code = 7;
  return g_shell_answer;
}
bool start(unsigned long direct, unsigned long shell, int* code) {
  g_started.clear();
  g_direct_answer = direct;
  g_shell_answer = shell;
  return sfx_start_setup("c:/t/setup.exe", fake_direct, fake_shell, code);
}
}  // namespace

// The shell (and with it the consent prompt) is used only for a program
// that asks for elevation; its refusal is a program that did not start.
TEST(SfxStartSetup, ThroughTheShellOnlyForElevation) {
  int code = -1;
  EXPECT_TRUE(start(0, 0, &code));
  EXPECT_EQ(code, 3);
  EXPECT_EQ(g_started, "direct:c:/t/setup.exe;");
  EXPECT_FALSE(start(2, 0, &code));  // not found: no second try
  EXPECT_EQ(g_started, "direct:c:/t/setup.exe;");
  code = -1;
  EXPECT_TRUE(start(SFX_ELEVATION_REQUIRED, 0, &code));
  EXPECT_EQ(code, 7);
  EXPECT_EQ(g_started, "direct:c:/t/setup.exe;shell:c:/t/setup.exe;");
  EXPECT_FALSE(start(SFX_ELEVATION_REQUIRED, 1223, &code));  // consent refused
}
