// The flow's pure helpers: formatting, joining paths, the percentage.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

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

namespace {
// The Windows rules that the work directory's lock rests on, as a fake:
// a path names a file by its identity (short names, substituted drives and
// junctions are other spellings of it), a token may or may not open it, and
// an open is refused for sharing against every open handle of that file,
// whoever holds it: read (1), write (2, 4) and delete (0x10000) access
// against the others' sharing (1, 2, 4), both ways.
struct FakeWindows {
  std::map<std::string, int> files;        // spelling -> identity
  std::set<std::pair<int, bool>> denied;   // identity, elevated: no write access
  struct Open {
    int file;
    unsigned long access, share;
  };
  std::vector<Open> open;
  static bool conflict(unsigned long access, unsigned long share) {
    return ((access & 0x1) && !(share & 1)) || ((access & 0x6) && !(share & 2)) ||
           ((access & 0x10000) && !(share & 4));
  }
  // CreateFileW: 0 and a handle index, or the error.
  unsigned long create(const std::string& path, unsigned long access, unsigned long share, bool elevated,
                       std::size_t* handle = nullptr) {
    const int file = files.at(path);
    if ((access & 0x6) && denied.count({file, elevated})) return 5;  // ERROR_ACCESS_DENIED
    for (const Open& o : open)
      if (o.file == file && (conflict(access, o.share) || conflict(o.access, share))) return 32;
    open.push_back({file, access, share});
    if (handle) *handle = open.size() - 1;
    return 0;
  }
};
}  // namespace

// One folder is one lock whatever its spelling, elevated and unelevated
// installers exclude each other, and other programs' usual opens of the
// folder go on while it is held. Wine shows none of this.
TEST(SfxLock, OneFolderOneLockForEveryoneOnWindows) {
  FakeWindows w;
  w.files = {{"C:\\Users\\Ann\\AppData\\Local\\Temp\\", 1}, {"C:\\Users\\ANN~1\\AppData\\Local\\Temp\\", 1},
             {"T:\\", 1}, {"C:\\Temp\\", 2}, {"C:\\Windows\\", 3}};
  w.denied = {{3, false}};  // the Windows directory: unelevated, no writing
  const auto lock = [&](const std::string& path, bool elevated) {
    return sfx_lock_answer(w.create(path, SFX_LOCK_ACCESS, SFX_LOCK_SHARE, elevated));
  };
  EXPECT_EQ(lock("C:\\Users\\Ann\\AppData\\Local\\Temp\\", true), SFX_LOCK_TAKEN);
  for (const bool elevated : {false, true})
    for (const char* other : {"C:\\Users\\ANN~1\\AppData\\Local\\Temp\\", "T:\\"})
      EXPECT_EQ(lock(other, elevated), SFX_LOCK_BUSY) << other << elevated;
  EXPECT_EQ(lock("C:\\Temp\\", false), SFX_LOCK_TAKEN);  // another folder
  // A list of the folder, its handle for change notices, one for its times,
  // the setup program's current directory: all go on.
  EXPECT_EQ(w.create("T:\\", 0x1, 0x7, false), 0u);
  EXPECT_EQ(w.create("T:\\", 0x1, 0x3, false), 0u);
  EXPECT_EQ(w.create("T:\\", 0x80, 0x3, false), 0u);
  EXPECT_EQ(w.create("T:\\", 0x20, 0x3, false), 0u);
  // Where an installer may not write at all there is no lock to wait for.
  EXPECT_EQ(lock("C:\\Windows\\", false), SFX_LOCK_NONE);
  EXPECT_EQ(lock("C:\\Windows\\", true), SFX_LOCK_TAKEN);
  // Once the holder's handles are closed (its setup program ended too) the
  // next one takes it.
  w.open.clear();
  EXPECT_EQ(lock("T:\\", false), SFX_LOCK_TAKEN);
}

namespace {
struct FakeLock {
  std::vector<int> answers;  // take's answers in turn, the last repeated
  std::size_t takes = 0;
  std::set<std::pair<unsigned long, unsigned long>> living;  // (pid, lock) held up the chain
  std::string said;
  std::int64_t clock = 0;
};
FakeLock* g_lock;
SfxLockSeam fake_seam(FakeLock& f) {
  g_lock = &f;
  return SfxLockSeam{
      &f,
      [](void* c) {
        auto* l = static_cast<FakeLock*>(c);
        const std::size_t k = l->takes++;
        return l->answers[k < l->answers.size() ? k : l->answers.size() - 1];
      },
      [](void* c, unsigned long pid, unsigned long lock) {
        return static_cast<FakeLock*>(c)->living.count({pid, lock}) > 0;
      },
      [](void* c) { static_cast<FakeLock*>(c)->said += "waiting;"; },
      [] { return g_lock->clock; },
      [](unsigned ms) { g_lock->clock += ms == 200 ? 3 : 1000; },  // three seconds a look
      [](void* c) { static_cast<FakeLock*>(c)->said += "notice;"; }};
}
}  // namespace

// The variable exempts only through an entry that the platform finds held
// up the chain; a wait says so at once and why after a while, once each.
TEST(SfxLock, ExemptOnlyBelowALivingHolderAndWaitVisibly) {
  char entry[24];
  sfx_lock_entry(entry, 0x1c8, 0x2c);
  EXPECT_STREQ(entry, "1c8.2c");
  sfx_lock_entry(entry, 0, 0xffffffffUL);
  EXPECT_STREQ(entry, "0.ffffffff");

  FakeLock f;
  f.answers = {SFX_LOCK_TAKEN};
  f.living = {{0x1c8, 0x2c}};
  for (const char* list : {"1c8.2c", "junk;1c8.2c", "1c8.2d;1c9.2c;2c.1c8", "1c8.;.2c;1c8;1c8.2c0", "1C8.2C", ""}) {
    f.takes = 0;
    const bool below = std::string(list) == "1c8.2c" || std::string(list) == "junk;1c8.2c";
    EXPECT_EQ(sfx_lock_wait(list, fake_seam(f)), below ? SFX_LOCK_HELD_ABOVE : SFX_LOCK_TAKEN) << list;
    EXPECT_EQ(f.takes, below ? 0u : 1u) << list;
  }
  EXPECT_EQ(f.said, "");

  // Busy for 13 looks (36 seconds): one line at once, one notice after ten
  // seconds; then taken. No lock to be had: on at once.
  f = FakeLock{};
  f.answers.assign(13, SFX_LOCK_BUSY);
  f.answers.push_back(SFX_LOCK_TAKEN);
  EXPECT_EQ(sfx_lock_wait(nullptr, fake_seam(f)), SFX_LOCK_TAKEN);
  EXPECT_EQ(f.takes, 14u);
  EXPECT_EQ(f.said, "waiting;notice;");
  f = FakeLock{};
  f.answers = {SFX_LOCK_NONE};
  EXPECT_EQ(sfx_lock_wait(nullptr, fake_seam(f)), SFX_LOCK_NONE);
  EXPECT_EQ(f.said, "");
}
