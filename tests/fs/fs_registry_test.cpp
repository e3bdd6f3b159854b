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

TEST(FsRegistry, KeysThatMayOnlyBeReadAreRead) {
  Settings settings;
  settings.set("0local", "system", "mode", "read-only");
#ifdef _WIN32
  // The key grants everyone reading (and changing its permissions back),
  // not writing.
  const char* key = "SOFTWARE\\Quillon\\Relaymark\\0local\\system";
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  alignas(DWORD) unsigned char acl_room[256];
  auto* acl = reinterpret_cast<ACL*>(acl_room);
  ASSERT_TRUE(InitializeAcl(acl, sizeof acl_room, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ | WRITE_DAC, everyone));
  auto set_dacl = [&](ACL* dacl) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, WRITE_DAC, &h), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS);
    RegCloseKey(h);
  };
  set_dacl(acl);
  HKEY full = nullptr;
  const LONG all = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &full);
  if (all == ERROR_SUCCESS) RegCloseKey(full);
  EXPECT_EQ(all, ERROR_ACCESS_DENIED) << "the key still grants full access";
  RecordingLog log;
  EXPECT_EQ(get("0local", "system", "mode"), "read-only");
  EXPECT_TRUE(log.events.empty());
  set_dacl(nullptr);  // everyone everything again, so that the key can go
  FreeSid(everyone);
#else
  // Natively a key directory that may not be written (an administrator
  // reads it anyway).
  const auto dir = settings.store_dir("local", "SOFTWARE\\Quillon\\Relaymark\\0local\\system");
  std::filesystem::permissions(dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                        std::filesystem::perms::group_read | std::filesystem::perms::group_exec);
  RecordingLog log;
  EXPECT_EQ(get("0local", "system", "mode"), "read-only");
  EXPECT_TRUE(log.events.empty());
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
#endif
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
