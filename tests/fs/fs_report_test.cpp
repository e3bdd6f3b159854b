// Event log reporting: source names, event types and insertion strings.
#include "fs_test_support.h"

TEST(FsReport, WritesSourceTypeIdentifierAndBothStrings) {
  RecordingLog log;
  EXPECT_EQ(fs_report(9, 1, 0xC0000005u, "C:\\x\\y.ini", "[here.cpp:12]"), 0);
  ASSERT_EQ(log.events.size(), 1u);
  const LoggedEvent& e = log.events[0];
  EXPECT_EQ(e.source, "Relaymark.FS_API");
  EXPECT_EQ(e.type, unsigned{FS_EVENT_ERROR});
  EXPECT_EQ(e.event, 0xC0000005u);
  EXPECT_EQ(e.first, "C:\\x\\y.ini");
  EXPECT_EQ(e.second, "[here.cpp:12]");
}

TEST(FsReport, LevelsMapToEventTypes) {
  RecordingLog log;
  const std::pair<int, unsigned> cases[] = {
      {0, FS_EVENT_ERROR},       {1, FS_EVENT_ERROR},         {2, FS_EVENT_WARNING},
      {3, FS_EVENT_INFORMATION}, {4, FS_EVENT_AUDIT_FAILURE}, {5, FS_EVENT_ERROR},
      {-1, FS_EVENT_ERROR}};
  for (const auto& [level, type] : cases) {
    log.events.clear();
    fs_report(9, level, 0x40000002u, "t", "l");
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].type, type) << "level " << level;
  }
}

TEST(FsReport, ComponentTableAndLineDriverLabels) {
  RecordingLog log;
  const char* names[] = {"null    ",           "Relaymark.Server",    "Relaymark.Archivist",
                         "Relaymark.Database", "Relaymark.Gate.Fax",  "Relaymark.Gate.Mail",
                         "Relaymark.Router",   "Relaymark.Router",    "Relaymark.FA_API",
                         "Relaymark.FS_API",   "Relaymark.SysAtt"};
  for (int c = 0; c <= 10; ++c) {
    log.events.clear();
    fs_report_brief(c, 3, 1, "m");
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].source, names[c]);
    EXPECT_EQ(log.events[0].second, "");
  }
  const std::pair<int, const char*> drivers[] = {
      {100, "00 (d)"}, {105, "05 (d)"}, {299, "199 (d)"}, {300, "00 (i)"}, {305, "05 (i)"},
      {412, "112 (i)"}};
  for (const auto& [c, label] : drivers) {
    log.events.clear();
    fs_report_brief(c, 1, 7, "m");
    ASSERT_EQ(log.events.size(), 1u);
    EXPECT_EQ(log.events[0].source, "Relaymark.LineDrv");
    EXPECT_EQ(log.events[0].first, "m");
    EXPECT_EQ(log.events[0].second, label) << c;
  }
  // The full form carries the location, not the label.
  log.events.clear();
  fs_report(305, 1, 7, "m", "[a:1]");
  EXPECT_EQ(log.events[0].second, "[a:1]");
  // Numbers that name no component fall back to the placeholder source.
  EXPECT_STREQ(fs_source_name(50), "null    ");
  EXPECT_STREQ(fs_source_name(-3), "null    ");
}

TEST(FsReport, UnregisteredSourceWritesNothing) {
  RecordingLog log;
  log.refuse_open = true;
  EXPECT_EQ(fs_report(9, 1, 1, "x", "y"), 0);
  EXPECT_EQ(fs_report_brief(9, 1, 1, "x"), 0);
  EXPECT_TRUE(log.events.empty());
}

TEST(FsReport, PlatformLogAcceptsReports) {
  // No sink: the platform's own log takes the report; the call never fails.
  EXPECT_EQ(fs_report(9, 3, 0x40000002u, "fs_report platform check", "[test:1]"), 0);
  EXPECT_EQ(fs_report_brief(301, 2, 0x40000002u, "fs_report platform check"), 0);
}
