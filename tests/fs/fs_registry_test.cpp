// Settings lookup: the server rule, key paths, the value limit and reports.
#include <cstdlib>

#include "fs_test_support.h"

namespace {

std::string get(const char* scope, const char* section, const char* name) {
  char* v = fs_reg_get(scope, section, name);
  if (!v) return "<none>";
  std::string s = v;
  std::free(v);
  return s;
}

}  // namespace

TEST(FsRegistry, StarServerReadsGlobalSettingsHere) {
  Settings settings;
  settings.set("global", "system", "path", "C:\\relay\\");
  RecordingLog log;
  char* first = fs_reg_get("global", "system", "path");
  ASSERT_TRUE(first);
  EXPECT_STREQ(first, "C:\\relay\\");
  first[0] = 'X';  // each result is the caller's own copy
  std::free(first);
  EXPECT_EQ(get("global", "system", "path"), "C:\\relay\\");
  EXPECT_TRUE(log.events.empty());
}

TEST(FsRegistry, MissingLocalValueGivesOneWarning) {
  Settings settings;
  RecordingLog log;
  EXPECT_EQ(get("0local", "system", "nothing"), "<none>");
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].type, unsigned{FS_EVENT_WARNING});
  EXPECT_EQ(log.events[0].event, 0xC000000Bu);
  EXPECT_EQ(log.events[0].first, "0local.system.nothing");
  // A missing key reads the same way.
  log.events.clear();
  EXPECT_EQ(get("0local", "nokey", "x"), "<none>");
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].first, "0local.nokey.x");
}

TEST(FsRegistry, GlobalLookupWithoutServerGivesTwoWarnings) {
  Settings settings;
  settings.remove("0local", "system", "server");
  settings.set("global", "system", "path", "p");
  RecordingLog log;
  EXPECT_EQ(get("global", "system", "path"), "<none>");
  ASSERT_EQ(log.events.size(), 2u);
  for (const auto& e : log.events) {
    EXPECT_EQ(e.type, unsigned{FS_EVENT_WARNING});
    EXPECT_EQ(e.event, 0xC000000Bu);
    EXPECT_EQ(e.first, "0local.system.server");
  }
}

TEST(FsRegistry, ValueLimitIs298Characters) {
  Settings settings;
  settings.set("0local", "system", "a", std::string(298, 'a'));
  settings.set("0local", "system", "b", std::string(299, 'b'));
  RecordingLog log;
  EXPECT_EQ(get("0local", "system", "a"), std::string(298, 'a'));
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(get("0local", "system", "b"), "<none>");
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].first, "0local.system.b");
}

TEST(FsRegistry, AbsentSectionUsesTheScopeKey) {
  Settings settings;
  settings.set("0local", "", "top", "t");
  RecordingLog log;
  EXPECT_EQ(get("0local", nullptr, "top"), "t");
  EXPECT_EQ(get("0local", nullptr, "missing"), "<none>");
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].first, "0local..missing");
}

TEST(FsRegistry, UnreachableServerIsReported) {
  Settings settings;
  settings.set("0local", "system", "server", "nosuchbox");
  RecordingLog log;
  EXPECT_EQ(get("global", "system", "path"), "<none>");
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].type, unsigned{FS_EVENT_WARNING});
  EXPECT_EQ(log.events[0].first, "\\nosuchbox: global.system.path");
  log.events.clear();
  char* v = fs_reg_get_remote("nosuchbox", "global", nullptr, "x");
  EXPECT_EQ(v, nullptr);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].first, "\\nosuchbox: global..x");
}

#ifdef _WIN32
TEST(FsRegistry, ServerNamingThisMachineIsReachedThroughItsName) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD n = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &n));
  Settings settings;
  settings.set("0local", "system", "server", name);
  settings.set("global", "system", "path", "remote-path");
  EXPECT_EQ(get("global", "system", "path"), "remote-path");
}
#else
TEST(FsRegistry, GlobalSettingsComeFromTheNamedServer) {
  Settings settings;
  settings.set("0local", "system", "server", "Relay1");
  settings.set("global", "system", "path", "local-copy");
  settings.set_remote("relay1", "global", "system", "path", "server-copy");
  settings.set_remote("relay1", "0local", "system", "id", "server-id");
  settings.set("0local", "system", "id", "local-id");
  EXPECT_EQ(get("global", "system", "path"), "server-copy");
  EXPECT_EQ(get("0local", "system", "id"), "local-id");  // never read remotely
}

TEST(FsRegistry, StoreNamesIgnoreCaseAndUnnamedValueIsAt) {
  Settings settings;
  settings.set("0local", "System", "Path", "x");
  settings.set("0local", "deflt", "@", "default");
  EXPECT_EQ(get("0LOCAL", "SYSTEM", "path"), "x");
  EXPECT_EQ(get("0local", "deflt", ""), "default");
  // Value data ending in a zero byte counts that byte within the 299.
  write_bytes((settings.store_dir("local", "SOFTWARE\\Quillon\\Relaymark\\0local\\system") / "z")
                  .string(),
              std::string(298, 'z') + std::string(1, '\0'));
  EXPECT_EQ(get("0local", "system", "z"), std::string(298, 'z'));
  // Names cannot climb out of the store.
  EXPECT_EQ(get("0local", "..", "server"), "<none>");
}
#endif
