// Mail-out notifications: stamp names, the files of one notification and
// the result code of every failing step.
#include <cstdlib>
#include <cstring>

#include "fs_test_support.h"

namespace {

std::int64_t g_now = 0;
std::int64_t fixed_clock() { return g_now; }

// Stops the clock at t with the counter at its start.
void freeze_clock(std::int64_t t) {
  fs_set_clock(fixed_clock);
  char scratch[64];
  g_now = t - 1;
  fs_stamp_name("", "", "", scratch, sizeof scratch);
  g_now = t;
}

std::string stamp(const char* dir = "d\\", const char* prefix = "Mz", const char* ext = "888") {
  char out[300];
  EXPECT_EQ(fs_stamp_name(dir, prefix, ext, out, sizeof out), 0);
  return out;
}

constexpr std::int64_t kT = 838860800 + 1000;  // stamp text 0000rs

class FsMail : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.set("global", "system", "path", sys.prefix());
    std::filesystem::create_directories(sys.path() / "mail" / "out");
    fields = fs_fields_new(4);
    fs_fields_add(fields, "USER", "Jan");
    fs_fields_add(fields, "ID", "12345");
    freeze_clock(kT);
  }
  void TearDown() override {
    fs_fields_free(fields);
    fs_set_clock(nullptr);
  }
  void tpl(const std::string& name, const std::string& text) {
    write_bytes((sys.path() / "data" / "language" / "en" / name).string(), text);
  }
  std::string out(const std::string& name) { return read_bytes(out_path(name)); }
  std::string out_path(const std::string& name) {
    return (sys.path() / "mail" / "out" / name).string();
  }
  bool has(const std::string& name) { return std::filesystem::exists(out_path(name)); }
  int mail(int count = 0, const char* const* paths = nullptr, const fs_field* f = nullptr) {
    return fs_mail_out("jan", "jan@example.org", 'M', "en", "subj", "NOTE", '5', "body",
                       f ? f : fields, count, paths);
  }

  ScratchDir sys;
  Settings settings;
  fs_field* fields = nullptr;
};

}  // namespace

TEST(FsStamp, TimeStampsAndCounters) {
  freeze_clock(838860800);
  EXPECT_EQ(stamp(), "d\\Mz00000000.888");
  freeze_clock(838860835);
  EXPECT_EQ(stamp("", "", "x"), "00000z00.x");
  std::vector<std::string> counters;
  for (int i = 1; i < 1297; ++i) counters.push_back(stamp("", "", "").substr(6, 2));
  EXPECT_EQ(counters[0], "01");
  EXPECT_EQ(counters[8], "09");
  EXPECT_EQ(counters[9], "0a");
  EXPECT_EQ(counters[34], "0z");
  EXPECT_EQ(counters[35], "10");       // the 37th name
  EXPECT_EQ(counters[1295], "10");     // the 1,297th name: counter 1,296 is 100
  g_now = 838860836;
  EXPECT_EQ(stamp("", "", ""), "00001000.");  // a new second starts again at 00
  // Before 1996-08-01 the difference wraps: the first six of 1l5ocu8.
  freeze_clock(0);
  EXPECT_EQ(stamp("", "", ""), "1l5ocu00.");
  char small[8];
  EXPECT_EQ(fs_stamp_name("dir\\", "Mz", "888", small, sizeof small), 1);
  EXPECT_STREQ(small, "");
  fs_set_clock(nullptr);
}

TEST_F(FsMail, WritesBodyCopiesAndControlFile) {
  tpl("subj.txt", "Hello %USER%\r\nsecond line\r\n");
  tpl("body.txt", "Dear %USER#-6%,\r\nid %ID%\r\nlast line");
  const std::string jpeg = sys.file("pic.jpeg");
  const std::string c = sys.file("a.c");
  write_bytes(jpeg, "JPEG");
  write_bytes(c, "int x;\r\n");
  const char* paths[] = {jpeg.c_str(), c.c_str()};
  ASSERT_EQ(mail(2, paths), 0);
  EXPECT_EQ(out("Mz0000rs00.txt"), "Dear    Jan,\r\nid 12345\r\nlast line");
  EXPECT_EQ(out("Mz0000rs02.peg"), "JPEG");
  EXPECT_EQ(out("Mz0000rs03.a.c"), "int x;\r\n");
  EXPECT_FALSE(has("Mz0000rs01.888"));
  EXPECT_EQ(out("Mz0000rs01.ctl"),
            "[system]\r\ntype=NOTE\r\nsubject=Hello Jan\r\nmsg=Mz0000rs00.txt\r\npriority=5\r\n"
            "data=Mz0000rs02.peg\r\ndata=Mz0000rs03.a.c\r\n\r\n[to]\r\nusername=jan\r\n"
            "gateway=M\r\nemail=jan@example.org\r\n");
}

TEST_F(FsMail, RtfBodyIsPreferredAndNoTableCopiesUnchanged) {
  tpl("subj.txt", "%USER% subject");
  tpl("body.rtf", "{\\rtf %USER%}\n");
  tpl("body.txt", "plain\n");
  ASSERT_EQ(fs_mail_out("u", "a", 'F', "en", "subj", "FAX", '1', "body", nullptr, -1, nullptr), 0);
  EXPECT_EQ(out("Fz0000rs00.rtf"), "{\\rtf %USER%}\r\n");
  const std::string ctl = out("Fz0000rs01.ctl");
  EXPECT_NE(ctl.find("subject=%USER% subject\r\nmsg=Fz0000rs00.rtf\r\n"), std::string::npos);
  EXPECT_EQ(ctl.find("data="), std::string::npos);
}

TEST_F(FsMail, SubjectEdgesAndLineBreaksInValues) {
  tpl("subj.txt", "");
  tpl("body.txt", "b\n");
  ASSERT_EQ(mail(), 0);
  EXPECT_NE(out("Mz0000rs01.ctl").find("\r\nsubject=\r\nmsg="), std::string::npos);

  freeze_clock(kT + 100);  // 0000uk
  tpl("subj.txt", "%EVIL%\n");
  fs_field* evil = fs_fields_new(2);
  fs_fields_add(evil, "EVIL", "Hi\r\n[to]\r\nusername=root");
  ASSERT_EQ(fs_mail_out("jan\nemail=x", "a\rb", 'M', "en", "subj", "T", 'p', "body", evil, 0,
                        nullptr),
            0);
  fs_fields_free(evil);
  EXPECT_EQ(out("Mz0000uk01.ctl"),
            "[system]\r\ntype=T\r\nsubject=Hi\r\nmsg=Mz0000uk00.txt\r\npriority=p\r\n\r\n[to]\r\n"
            "username=jan\r\ngateway=M\r\nemail=a\r\n");
}

TEST_F(FsMail, IdLineAndSmallerPieces) {
  tpl("subj.txt", "S\n");
  const std::string line = std::string(245, 'x') + "%USER%\n";
  tpl("body.txt", line);
  ASSERT_EQ(fs_mail_out_id("u", "a", 'M', "en", "subj", "T", '1', "body", fields, "ID-7", 0,
                           nullptr),
            0);
  // The reference straddles the 249-character piece and stays as written.
  EXPECT_EQ(out("Mz0000rs00.txt"), std::string(245, 'x') + "%USER%\r\n");
  EXPECT_EQ(out("Mz0000rs01.ctl").substr(0, 58),
            "[system]\r\ntype=T\r\nsubject=S\r\nid=ID-7\r\nmsg=Mz0000rs00.txt\r\n");
  freeze_clock(kT + 100);
  ASSERT_EQ(mail(), 0);
  EXPECT_EQ(out("Mz0000uk00.txt"), std::string(245, 'x') + "Jan\r\n");
}

TEST_F(FsMail, FailedAttachmentsStillGetTheirLines) {
  RecordingLog log;
  tpl("subj.txt", "S\n");
  tpl("body.txt", "B\n");
  const std::string present = sys.file("ok.txt");
  write_bytes(present, "x");
  const std::string missing = sys.file("missing.dat");
  const char* paths[] = {missing.c_str(), "ab", present.c_str()};
  write_bytes(out_path("Mz0000rs04.txt"), "already there");  // copies never overwrite
  ASSERT_EQ(mail(3, paths), 2);
  const std::string ctl = out("Mz0000rs01.ctl");
  EXPECT_NE(ctl.find("data=Mz0000rs02.dat\r\ndata=Mz0000rs03.888\r\ndata=Mz0000rs04.txt\r\n"),
            std::string::npos);
  EXPECT_EQ(out("Mz0000rs04.txt"), "already there");
  ASSERT_EQ(log.events.size(), 6u);
  EXPECT_EQ(log.events[0].first, "1> " + missing);
  EXPECT_EQ(log.events[1].first, "2> " + sys.prefix() + "mail\\out\\Mz0000rs02.dat");
  EXPECT_EQ(log.events[2].first, "1> ab");
  for (const auto& e : log.events) {
    EXPECT_EQ(e.event, 0xC000000Au);
    EXPECT_EQ(e.type, unsigned{FS_EVENT_ERROR});
  }
}

TEST_F(FsMail, ResultCodesOfFailingSteps) {
  RecordingLog log;
  const std::string lang = sys.prefix() + "data\\language\\en\\";
  // 1: no subject template.
  EXPECT_EQ(mail(), 1);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000005u);
  EXPECT_EQ(log.events[0].first, lang + "subj.txt");
  // 1: no body template; the .txt path is named.
  tpl("subj.txt", "S\n");
  log.events.clear();
  EXPECT_EQ(mail(), 1);
  EXPECT_EQ(log.events.at(0).first, lang + "body.txt");
  // 1: the body file cannot be created.
  tpl("body.txt", "B\n");
  std::filesystem::remove_all(sys.path() / "mail");
  log.events.clear();
  freeze_clock(kT);
  EXPECT_EQ(mail(), 1);
  EXPECT_EQ(log.events.at(0).event, 0xC0000009u);
  EXPECT_EQ(log.events.at(0).first, sys.prefix() + "mail\\out\\Mz0000rs00.txt");
  // 1: the control file cannot be created (its name is taken by a folder).
  std::filesystem::create_directories(out_path("Mz0000rs01.888"));
  log.events.clear();
  freeze_clock(kT);
  EXPECT_EQ(mail(), 1);
  EXPECT_EQ(log.events.at(0).first, sys.prefix() + "mail\\out\\Mz0000rs01.888");
  EXPECT_TRUE(has("Mz0000rs00.txt"));  // the body stays
  // 4: the control file cannot be renamed (the ctl name is taken).
  std::filesystem::remove_all(sys.path() / "mail" / "out");
  std::filesystem::create_directories(sys.path() / "mail" / "out");
  write_bytes(out_path("Mz0000rs01.ctl"), "old");
  log.events.clear();
  freeze_clock(kT);
  EXPECT_EQ(mail(), 4);
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[0].first, "1> " + sys.prefix() + "mail\\out\\Mz0000rs01.888");
  EXPECT_EQ(log.events[1].first, "2> " + sys.prefix() + "mail\\out\\Mz0000rs01.ctl");
  EXPECT_EQ(out("Mz0000rs01.ctl"), "old");
  EXPECT_TRUE(has("Mz0000rs01.888"));
#ifndef _WIN32
  // 1: the body, then the control file, on a full disk. What could not be
  // written whole is removed, and no control file gets its final name.
  for (const char* full : {"Mz0000rs00.txt", "Mz0000rs01.888"}) {
    std::filesystem::remove_all(sys.path() / "mail" / "out");
    std::filesystem::create_directories(sys.path() / "mail" / "out");
    std::filesystem::create_symlink("/dev/full", out_path(full));
    log.events.clear();
    freeze_clock(kT);
    EXPECT_EQ(mail(), 1) << full;
    ASSERT_EQ(log.events.size(), 1u) << full;
    EXPECT_EQ(log.events[0].event, 0xC0000009u);
    EXPECT_EQ(log.events[0].first, sys.prefix() + "mail\\out\\" + full);
    EXPECT_FALSE(std::filesystem::is_symlink(out_path(full))) << full;
    EXPECT_FALSE(has("Mz0000rs01.ctl")) << full;
  }
  EXPECT_EQ(out("Mz0000rs00.txt"), "B\r\n");  // a whole body stays, as after other failures
#endif
  // 3: no system path.
  settings.remove("global", "system", "path");
  log.events.clear();
  EXPECT_EQ(mail(), 3);
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[1].event, 0xC0000008u);
  EXPECT_EQ(log.events[1].first, "global.system.path");
}

TEST_F(FsMail, OverlongPathsAreRefused) {
  RecordingLog log;
  const std::string lang(250, 'l');
  EXPECT_EQ(fs_mail_out("u", "a", 'M', lang.c_str(), "subj", "T", '1', "body", nullptr, 0,
                        nullptr),
            1);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].event, 0xC0000005u);
  EXPECT_EQ(log.events[0].first.size(), 255u);
}

TEST_F(FsMail, AdministratorNotification) {
  tpl("subj.txt", "S\n");
  tpl("body.txt", "B\n");
  const char* names[] = {"name", "addr", "addrtype", "gateway", "language"};
  const char* values[] = {"Admin", "A", "T", "Gx", "en"};
  for (int i = 0; i < 5; ++i) settings.set("global", "admin", names[i], values[i]);
  ASSERT_EQ(fs_mail_admin("subj", '9', "body", nullptr, 0, nullptr), 0);
  EXPECT_EQ(out("Gz0000rs01.ctl"),
            "[system]\r\ntype=EMAIL\r\nsubject=S\r\nmsg=Gz0000rs00.txt\r\npriority=9\r\n\r\n"
            "[to]\r\nusername=Admin\r\ngateway=G\r\nemail=T:A\r\n");

  RecordingLog log;
  settings.set("global", "admin", "addr", std::string(254, 'a'));
  EXPECT_EQ(fs_mail_admin("subj", '9', "body", nullptr, 0, nullptr), 3);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].first, "global.admin.addr");
  log.events.clear();
  settings.remove("global", "admin", "addrtype");
  EXPECT_EQ(fs_mail_admin("subj", '9', "body", nullptr, 0, nullptr), 3);
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[1].event, 0xC0000008u);
  EXPECT_EQ(log.events[1].first, "global.admin.addrtype");
}
