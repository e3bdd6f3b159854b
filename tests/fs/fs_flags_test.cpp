// Service flag files: state flags, level flags, test flags, the cached
// pattern, and the directory walk.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <cstring>

#include "fs_test_support.h"

// The test program is linked with --wrap=malloc: the library's allocations
// come here, and one of a chosen size can be made to fail.
extern "C" void* __real_malloc(std::size_t size);
namespace {
std::size_t g_fail_size = 0;
}  // namespace
extern "C" void* __wrap_malloc(std::size_t size) {
  if (g_fail_size != 0 && size == g_fail_size) {
    g_fail_size = 0;
    return nullptr;
  }
  return __real_malloc(size);
}

namespace {

// The result a state flag gives, or -1 for other names.
int state_of(std::string name) {
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "run.rlm") return 0;
  if (name == "pause.rlm") return 1;
  if (name == "stop.rlm") return 2;
  if (name == "down.rlm") return 3;
  return -1;
}

class FsFlags : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_init();
    settings.set("global", "system", "path", sys.prefix());
    std::filesystem::create_directories(sys.path() / "flag");
  }
  void TearDown() override { fs_init(); }
  void touch(const std::string& name) { write_bytes((sys.path() / "flag" / name).string(), "x"); }
  bool exists(const std::string& name) {
    return std::filesystem::exists(sys.path() / "flag" / name);
  }
  // Names in the order in which the walk yields them.
  std::vector<std::string> listing() {
    std::vector<std::string> names;
    const std::string pattern = sys.prefix() + "flag\\*.rlm";
    for (fs_dir_entry* e = fs_find_first(pattern.c_str(), 0); e; e = fs_find_next(e))
      names.push_back(e->name);
    return names;
  }

  ScratchDir sys;
  Settings settings;
};

}  // namespace

TEST_F(FsFlags, EmptyDirectoryMeansStopAndLevelZero) {
  fs_trace_level = 3;
  EXPECT_EQ(fs_poll_flags("svc"), 2);
  EXPECT_EQ(fs_trace_level, 0);
  std::filesystem::remove_all(sys.path() / "flag");
  fs_trace_level = 3;
  EXPECT_EQ(fs_poll_flags("svc"), 2);
  EXPECT_EQ(fs_trace_level, 0);
}

TEST_F(FsFlags, StateFlagsIgnoreCaseAndTheLastListedWins) {
  touch("RUN.RLM");
  EXPECT_EQ(fs_poll_flags("svc"), 0);
  touch("pause.rlm");
  touch("down.rlm");
  const auto names = listing();
  ASSERT_EQ(names.size(), 3u);
  int want = -1;
  for (const auto& n : names) want = state_of(n);
  EXPECT_EQ(fs_poll_flags("svc"), want);
  touch("notes.txt");  // other names do not match the pattern at all
  touch("other.rlm");
  EXPECT_EQ(fs_poll_flags("svc"), want);
}

TEST_F(FsFlags, LevelFlagsUseTheFifthCharacter) {
  touch("levl5.rlm");
  EXPECT_EQ(fs_poll_flags("svc"), 2);
  EXPECT_EQ(fs_trace_level, 5);
  std::filesystem::remove(sys.path() / "flag" / "levl5.rlm");
  touch("levl6.rlm");
  EXPECT_EQ(fs_poll_flags("svc"), 2);
  EXPECT_EQ(fs_trace_level, 0);
}

TEST_F(FsFlags, WalkTraceFollowsThePreviousPollsLevel) {
  RecordingLog log;
  touch("levl5.rlm");
  fs_poll_flags("svc");
  EXPECT_TRUE(log.events.empty());
  fs_poll_flags("svc");  // level 5 from the first poll: the walk start is traced
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000006u);
  EXPECT_EQ(log.events[0].type, unsigned{FS_EVENT_INFORMATION});
  EXPECT_EQ(log.events[0].first, sys.prefix() + "flag\\*.rlm");
}

TEST_F(FsFlags, TestFlagIsDeletedOnlyByItsService) {
  touch("tst-x.rlm");
  touch("TST-Long.rlm");
  EXPECT_EQ(fs_poll_flags("y"), 2);
  EXPECT_TRUE(exists("tst-x.rlm"));
  EXPECT_EQ(fs_poll_flags("x"), 2);
  EXPECT_FALSE(exists("tst-x.rlm"));
  EXPECT_EQ(fs_poll_flags("long"), 2);
  EXPECT_FALSE(exists("TST-Long.rlm"));
  // A name starting with a level digit makes its test flag a level flag.
  touch("tst-3abc.rlm");
  EXPECT_EQ(fs_poll_flags("3abc"), 2);
  EXPECT_EQ(fs_trace_level, 3);
  EXPECT_TRUE(exists("tst-3abc.rlm"));
}

TEST_F(FsFlags, PatternIsReadAgainOnlyAfterStop) {
  ScratchDir other;
  std::filesystem::create_directories(other.path() / "flag");
  write_bytes((other.path() / "flag" / "down.rlm").string(), "");
  touch("run.rlm");
  EXPECT_EQ(fs_poll_flags("svc"), 0);
  settings.set("global", "system", "path", other.prefix());
  EXPECT_EQ(fs_poll_flags("svc"), 0);  // the first path stays in use
  touch("stop.rlm");
  std::filesystem::remove(sys.path() / "flag" / "run.rlm");
  EXPECT_EQ(fs_poll_flags("svc"), 2);
  EXPECT_EQ(fs_poll_flags("svc"), 3);  // now the new path
  fs_init();
  settings.set("global", "system", "path", sys.prefix());
  EXPECT_EQ(fs_poll_flags("svc"), 2);  // fs_init clears the cached pattern
}

TEST_F(FsFlags, MissingOrOverlongSystemPathMeansDown) {
  RecordingLog log;
  settings.remove("global", "system", "path");
  fs_trace_level = 4;
  EXPECT_EQ(fs_poll_flags("svc"), 3);
  EXPECT_EQ(fs_trace_level, 4);
  ASSERT_EQ(log.events.size(), 2u);  // the lookup's warning, then the poll's error
  EXPECT_EQ(log.events[1].event, 0xC0000008u);
  EXPECT_EQ(log.events[1].type, unsigned{FS_EVENT_ERROR});
  EXPECT_EQ(log.events[1].first, "");
  log.events.clear();
  settings.set("global", "system", "path", std::string(246, 'p') + "\\");
  EXPECT_EQ(fs_poll_flags("svc"), 3);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000008u);
}

TEST_F(FsFlags, TestFlagWithSystemPathGoneEndsThePoll) {
  RecordingLog log;
  touch("tst-x.rlm");
  touch("run.rlm");
  fs_poll_flags("nobody");  // caches the pattern
  settings.remove("global", "system", "path");
  log.events.clear();
  EXPECT_EQ(fs_poll_flags("x"), 3);
  EXPECT_TRUE(exists("tst-x.rlm"));
  ASSERT_FALSE(log.events.empty());
  EXPECT_EQ(log.events.back().event, 0xC0000008u);
}

TEST_F(FsFlags, WalkModesAndRecords) {
  const auto dir = sys.path() / "walk";
  std::filesystem::create_directories(dir / "Sub.rlm");
  write_bytes((dir / "a.rlm").string(), "12345");
  write_bytes((dir / "B.RLM").string(), "");
  write_bytes((dir / "c.txt").string(), "");
  const std::string base = sys.prefix() + "walk\\";

  std::vector<std::string> files;
  for (fs_dir_entry* e = fs_find_first((base + "*.rlm").c_str(), 0); e; e = fs_find_next(e)) {
    files.push_back(e->name);
    EXPECT_EQ(e->is_directory, 0);
    EXPECT_EQ(e->mode, 0);
    if (files.back() == "a.rlm") {
      EXPECT_EQ(e->size, 5u);
      EXPECT_LT(std::abs(static_cast<long long>(e->write_time) - std::time(nullptr)), 600);
    }
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"B.RLM", "a.rlm"}));

  std::vector<std::string> dirs;
  for (fs_dir_entry* e = fs_find_first((base + "*").c_str(), 1); e; e = fs_find_next(e)) {
    dirs.push_back(e->name);
    EXPECT_EQ(e->is_directory, 1);
  }
  EXPECT_EQ(dirs, std::vector<std::string>{"Sub.rlm"});

  EXPECT_EQ(fs_find_first((base + "*.none").c_str(), 0), nullptr);
  EXPECT_EQ(fs_find_first((base + "c.txt").c_str(), 1), nullptr);
  EXPECT_EQ(fs_find_first((sys.prefix() + "absent\\*").c_str(), 0), nullptr);
  fs_dir_entry* early = fs_find_first((base + "?.rlm").c_str(), 0);
  ASSERT_TRUE(early);
  fs_find_close(early);

  // Without memory for the record the walk yields nothing, reports it and
  // leaves the process running (and the search closed).
  RecordingLog log;
  g_fail_size = sizeof(fs_dir_entry);
  EXPECT_EQ(fs_find_first((base + "*.rlm").c_str(), 0), nullptr);
  EXPECT_EQ(g_fail_size, 0u) << "the record was not allocated with malloc";
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000001u);
  EXPECT_EQ(log.events[0].type, unsigned{FS_EVENT_ERROR});
}
