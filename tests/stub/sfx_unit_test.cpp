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
