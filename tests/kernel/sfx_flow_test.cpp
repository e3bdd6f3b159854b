// The stub's flow end to end: the console build runs real archives.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "sfx_session.h"
#include "sfx_test_archive.h"

namespace fs = std::filesystem;

namespace {

const char* const kSetupScript =
    "#!/bin/sh\n"
    "{ echo \"arg=$0 $#\"; echo \"cwd=$(pwd)\"; } > setup-report.txt\n"
    "sleep 0.3\n"
    "echo done >> setup-report.txt\n"
    "exit 3\n";

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void spill(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary);
  f << bytes;
}

class SfxFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qtksfx-flow-XXXXXX";
    root_ = mkdtemp(tmpl);
    work_ = root_ / "work";
    fs::create_directories(work_);
    own_ = (root_ / "setup.exe").string();
    work_dir_ = work_.string() + "/";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void save(TestArchive& a, const std::string& base = "setup.exe") {
    for (std::size_t i = 0; i < a.volumes(); ++i) {
      std::string name = base;
      if (i > 0) {
        char num[32];
        std::snprintf(num, sizeof num, "%03zu", i);
        const auto slash = base.rfind('/');
        const auto dot = base.rfind('.');
        const bool has_dot = dot != std::string::npos && (slash == std::string::npos || dot > slash);
        name = (has_dot ? base.substr(0, dot) : base) + "." + num;
      }
      spill(root_ / name, std::string(a.volume(i).begin(), a.volume(i).end()));
    }
  }

  // A run that needs no answers (boxes close at once).
  int run(std::vector<std::string> env = {}, const std::string& argv0 = "") {
    env.push_back("TMPDIR=" + work_.string());
    env.push_back("LC_ALL=C");
    StubSession s(QTKSFX_STUB, argv0.empty() ? own_ : argv0, env, root_.string());
    s.close_input();
    const int code = s.finish();
    boxes_ = s.boxes();
    lines_ = s.lines;
    return code;
  }

  static void control_and_setup(TestArchive& a, const std::string& ini = "[system]\r\nrun=setup.sh\r\n") {
    a.member(".", "qtksfx.ini", ini);
    a.member(".", "setup.sh", kSetupScript);
  }

  std::string err(const std::string& caption, const std::string& text) {
    return "box error: " + caption + ": " + text;
  }
  std::string closing_files() {
    return "box information: ERROR: Program can't continue and it will be terminated. There are "
           "probably lost files in directory " + work_dir_ + ".";
  }
  std::string closing() {
    return "box information: ERROR: Program can't continue and it will be terminated.";
  }

  fs::path root_, work_;
  std::string own_, work_dir_;
  std::vector<std::string> boxes_, lines_;
};

using Boxes = std::vector<std::string>;

TEST_F(SfxFlow, GoodArchiveExtractsRunsSetupAndEndsWithZero) {
  TestArchive a;
  std::string big(250000, 0);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  a.member(".", "readme.txt", "hello\n", 946684800);
  a.member("docs/deep/er", "big.bin", big, 1262304000);
  a.member("docs", "empty.txt", "", 1500000000);
  control_and_setup(a);
  a.archive_end();
  save(a);
  spill(work_ / "readme.txt", "an older file that gets overwritten, longer than the new one");

  EXPECT_EQ(run(), 0);
  EXPECT_EQ(boxes_, Boxes{});
  EXPECT_EQ(slurp(work_ / "readme.txt"), "hello\n");
  struct stat st;
  ASSERT_EQ(stat((work_ / "docs/deep/er/big.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1262304000);
  EXPECT_EQ(st.st_atime, 1262304000);
  ASSERT_EQ(stat((work_ / "docs/empty.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1500000000);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(slurp(work_ / "docs/deep/er/big.bin"), big);

  // The setup program got its path as its only argument, ran in the work
  // directory, and the stub waited for it (its exit status 3 is not looked at).
  EXPECT_EQ(slurp(work_ / "setup-report.txt"),
            "arg=" + work_dir_ + "setup.sh 0\ncwd=" + work_.string() + "\ndone\n");

  // Status texts: one per member, then the setup program.
  std::vector<std::string> status;
  for (const auto& l : lines_)
    if (l.rfind("status: ", 0) == 0) status.push_back(l);
  ASSERT_EQ(status.size(), 6u);
  EXPECT_EQ(status[0], "status:  / Preparing file: /  / " + work_dir_ + "./readme.txt");
  EXPECT_EQ(status[1], "status:  / Preparing file: /  / " + work_dir_ + "docs/deep/er/big.bin");
  EXPECT_EQ(status[5], "status:  / Setu program / " + work_dir_ + "setup.sh / ran. Waiting for its completion.");
  // The bar only moves forward and reaches the end of the archive. Its 0 %
  // is set right after the trailer, which may be before the bar exists: the
  // main thread starts when the window is there, the bar follows.
  std::vector<int> progress;
  for (const auto& l : lines_)
    if (l.rfind("progress: ", 0) == 0) progress.push_back(std::atoi(l.c_str() + 10));
  ASSERT_FALSE(progress.empty());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << ::testing::PrintToString(progress);
  EXPECT_GE(progress.back(), 95);
}

TEST_F(SfxFlow, SetupProgramThatCannotStartFailsWithMessage11) {
  TestArchive a;
  a.member(".", "qtksfx.ini", "[System]\nRun = not-there.exe\n");
  a.archive_end();
  save(a);
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Can't run program " + work_dir_ + "not-there.exe."), closing_files()}));
}

TEST_F(SfxFlow, StartUpFailuresBeforeAnyPacketCloseWithMessage7) {
  // The path as started does not open: the program's own file is read
  // through its module path (here the bare console stub, with no archive),
  // and the messages name the path as started.
  EXPECT_EQ(run({}, (root_ / "setup").string()), 1);
  EXPECT_EQ(boxes_, (Boxes{err("ERROR", "File " + (root_ / "setup").string() +
                                            " is not valid QTK file -- missing or bad signature or version-id."),
                           closing()}));
  // Shorter than the signature: the seek fails.
  spill(own_, "MZ");
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Error during seek in file " + own_ + "."), closing()}));
  // Wrong signature.
  spill(own_, std::string(100, 'x'));
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(boxes_, (Boxes{err("ERROR", "File " + own_ +
                                            " is not valid QTK file -- missing or bad signature or version-id."),
                           closing()}));
}

TEST_F(SfxFlow, TopLevelFailuresCloseWithMessage8) {
  const std::string bad_packet = "CRC is invalid or packet can't be read -- file " + own_ + " is damaged!";
  {
    // The archive stops after its last member without an archive end.
    TestArchive a;
    a.member(".", "a.txt", "a");
    a.trailer_only();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", bad_packet), closing_files()}));
  }
  {
    // The first-packet offset points past the trailer.
    TestArchive a;
    a.archive_end();
    auto& v = a.volume(0);
    v[v.size() - 8] = 0xF0;
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", bad_packet), closing_files()}));
  }
  {
    // A member header stored with lengths that lie (nothing behind it).
    TestArchive a;
    a.framed(SFX_MEMBER_HEADER | PACKET_STORED, SFX_MEMBER_HEADER_SIZE, {});
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", bad_packet), closing_files()}));
  }
  {
    // Member data at the top level.
    TestArchive a;
    a.data("stray");
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Uncorrect packet. File " + own_ + " is invalid."), closing_files()}));
  }
}

TEST_F(SfxFlow, MemberFailures) {
  {
    // A data packet whose check bytes are wrong.
    TestArchive a;
    a.header(".", "a.txt", 0);
    a.data("some data");
    a.volume(0).back() ^= 0x55;
    a.end(9, 1);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Error reading file. Installation self-extract file is probably damaged."),
                             closing_files()}));
  }
  {
    // Data packets whose payload does not give their length: a stream of
    // ten bytes in a packet of eleven, and a stream that claims 100000
    // bytes from four bytes of code (the codec reports it once).
    const std::string read_error = "Error reading file. Installation self-extract file is probably damaged.";
    const TestArchive::Bytes ten{0x0A, 0, 0, 0, 0xB0, 0x3C, 0x6A, 0xC0};
    const TestArchive::Bytes far{0xA0, 0x86, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78};
    const Boxes lie{err("ERROR", read_error), closing_files()};
    const Boxes far_boxes{err("Problem...", "Error during file decompression. Code = 2. Installation "
                                            "self-extract file is probably damaged. Switch to main "
                                            "application's window and press \"Cancel\"."),
                          err("ERROR", read_error), closing_files()};
    for (const auto& [payload, claimed, want] :
         {std::tuple{ten, 11u, lie}, std::tuple{far, 100000u, far_boxes}}) {
      TestArchive a;
      a.header(".", "a.txt", 0);
      a.framed(SFX_MEMBER_DATA, claimed, payload);
      a.end(claimed, 1);
      control_and_setup(a);
      a.archive_end();
      save(a);
      EXPECT_EQ(run(), 1);
      EXPECT_EQ(boxes_, want);
      EXPECT_FALSE(fs::exists(work_ / "setup-report.txt"));
    }
  }
  const std::string mismatch = "Incorrect length or number of packets. File " + own_ + " is damaged.";
  for (auto [total, count] : {std::pair{10u, 1u}, std::pair{9u, 2u}}) {
    TestArchive a;
    a.header(".", "a.txt", 0);
    a.data("some data");
    a.end(total, count);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("Problem...", mismatch), closing_files()}));
    // The content was written before the end was judged.
    EXPECT_EQ(slurp(work_ / "a.txt"), "some data");
  }
  {
    // A member header inside a member.
    TestArchive a;
    a.header(".", "a.txt", 0);
    a.header(".", "b.txt", 0);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("Problem...", "Uncorrect packet. File " + own_ + " is invalid."), closing_files()}));
  }
  {
    // The output cannot be created (a directory stands in its place).
    TestArchive a;
    a.member(".", "taken", "x");
    a.archive_end();
    save(a);
    fs::create_directories(work_ / "taken");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Can't open file " + work_dir_ + "./taken for writing."), closing_files()}));
  }
}

TEST_F(SfxFlow, ControlFileFailures) {
  {
    // No member is the control file: one that an earlier installer left in
    // the shared work directory is not followed.
    TestArchive a;
    a.member(".", "other.txt", "x");
    a.member(".", "QTKSFX.INI", "[system]\nrun=setup.sh\n");  // another file here
    a.archive_end();
    save(a);
    spill(work_ / "qtksfx.ini", "[system]\nrun=setup.sh\n");
    spill(work_ / "setup.sh", kSetupScript);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Can't find file QTKSFX.INI in self extract file.."), closing_files()}));
    EXPECT_FALSE(fs::exists(work_ / "setup-report.txt"));
  }
  // The control file as a member, however its place in the work directory
  // is written.
  const std::pair<const char*, const char*> places[] = {{".", "qtksfx.ini"}, {"", "./qtksfx.ini"},
                                                        {"./.", "qtksfx.ini"}};
  int place = 0;
  for (const char* ini : {"[system]\n", "[setup]\nrun=setup.exe\n", "; nothing\n"}) {
    TestArchive a;
    a.member(places[place].first, places[place].second, ini);
    ++place;
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1) << ini;
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", "There is no command [SYSTEM] RUN=... in file QTKSFX.INI"),
                             closing_files()}))
        << ini;
  }
}

TEST_F(SfxFlow, RefusedMemberPathsWriteNothingOutside) {
  for (auto [dir, name] : {std::pair{"..", "escape.txt"}, std::pair{"/tmp", "escape.txt"},
                           std::pair{"a/../..", "escape.txt"}, std::pair{".", "../escape.txt"}}) {
    TestArchive a;
    a.member(dir, name, "x");
    control_and_setup(a);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1) << dir << " " << name;
    EXPECT_EQ(boxes_, (Boxes{err("Problem...", "Uncorrect packet. File " + own_ + " is invalid."), closing_files()}));
    EXPECT_FALSE(fs::exists(root_ / "escape.txt"));
  }
}

TEST_F(SfxFlow, PathsThatDoNotFitAreRefusedNotCut) {
  // A deep work directory: with it, directory and name need more than 1023
  // characters.
  work_ = root_ / std::string(200, 'w') / std::string(200, 'v');
  work_dir_ = work_.string() + "/";
  fs::create_directories(work_);
  const std::string dir = std::string(200, 'd') + "/" + std::string(200, 'e') + "/" + std::string(100, 'f');
  const std::string name(250, 'n');
  ASSERT_GT(work_dir_.size() + dir.size() + 1 + name.size(), 1023u);
  TestArchive a;
  a.member(dir, name, "x");
  a.archive_end();
  save(a);
  EXPECT_EQ(run(), 1);
  ASSERT_EQ(boxes_.size(), 2u);
  const std::string prefix = err("ERROR", "Can't open file " + work_dir_ + dir);
  EXPECT_EQ(boxes_[0].substr(0, prefix.size()), prefix);
  EXPECT_EQ(boxes_[1], closing_files());
  EXPECT_FALSE(fs::exists(work_ / std::string(200, 'd')));
}

TEST_F(SfxFlow, WorkDirectoryFallbacks) {
  TestArchive a;
  a.member(".", "here.txt", "x");
  a.archive_end();
  save(a);
  // Without a trailing separator one is appended.
  StubSession s(QTKSFX_STUB, own_, {"TMPDIR=" + work_.string(), "LC_ALL=C"}, root_.string());
  s.close_input();
  EXPECT_EQ(s.finish(), 1);
  EXPECT_TRUE(fs::exists(work_ / "here.txt"));
  // An empty temporary directory falls back to the system directory...
  fs::create_directories(root_ / "windows");
  EXPECT_EQ(run({"TMPDIR=", "QTKSFX_SYSTEM_DIR=" + (root_ / "windows").string() + "/"}), 1);
  EXPECT_TRUE(fs::exists(root_ / "windows/here.txt"));
  // ... and without that to "c:/" (here a folder below the current one).
  fs::create_directories(root_ / "c:");
  EXPECT_EQ(run({"TMPDIR=", "QTKSFX_SYSTEM_DIR="}), 1);
  EXPECT_TRUE(fs::exists(root_ / "c:/here.txt"));
}

TEST_F(SfxFlow, ProgressWindowFailures) {
  TestArchive a;
  a.archive_end();
  save(a);
  // Never up: after 30 (here quickly passing) seconds, 19 and 7, exit code 0.
  EXPECT_EQ(run({"QTKSFX_NO_WINDOW=1", "QTKSFX_FAST_CLOCK=1"}), 0);
  EXPECT_EQ(boxes_, (Boxes{err("Problem...", "Can't create a window on screen."), closing()}));
  // Up, but without its progress bar: the same pair from the UI thread,
  // exit code 1. The main thread goes on meanwhile and may show its own
  // failure (this archive has no control file) before the process ends.
  EXPECT_EQ(run({"QTKSFX_NO_PROGRESS_BAR=1"}), 1);
  ASSERT_GE(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0], err("Problem...", "Can't create a window on screen."));
  EXPECT_NE(std::find(boxes_.begin() + 1, boxes_.end(), closing()), boxes_.end());
}

// Three volumes; a member spans the first two; volume 3 is missing at first.
TEST_F(SfxFlow, VolumesWithDisketteRetriesAndProgressRestart) {
  TestArchive a;
  a.member(".", "one.txt", "first volume");
  a.header("span", "two.txt", 1300000000);
  a.data("part one,");
  a.volume_end();
  a.data(" part two");
  a.end(18, 2);
  a.volume_end();
  control_and_setup(a);
  a.archive_end();
  save(a);
  const fs::path third = root_ / "setup.002";
  fs::rename(third, root_ / "held-back");

  StubSession s(QTKSFX_STUB, own_, {"TMPDIR=" + work_.string(), "LC_ALL=C"}, root_.string());
  const std::string insert = "box information: Insert disk...: Insert disk numbered ";
  const std::string tail = ". If you want to cancel this operation, switch to main application's window and "
                           "press \"Cancel\" button.";
  EXPECT_EQ(s.expect("box"), insert + "2" + tail);
  s.ok();
  EXPECT_EQ(s.expect("progress: "), "progress: 0%");  // the bar restarts on the new volume
  EXPECT_EQ(s.expect("box"), insert + "3" + tail);
  s.ok();
  const std::string wrong = "box error: Insert disk...: Incorrect disk or disk error. Insert disk numbered 3" + tail;
  EXPECT_EQ(s.expect("box"), wrong);
  s.ok();
  EXPECT_EQ(s.expect("box"), wrong);
  fs::rename(root_ / "held-back", third);
  s.ok();
  EXPECT_EQ(s.finish(), 0);
  EXPECT_EQ(slurp(work_ / "span/two.txt"), "part one, part two");
  EXPECT_TRUE(fs::exists(work_ / "setup-report.txt"));
}

TEST_F(SfxFlow, CancelDuringDisketteExitsWithOne) {
  TestArchive a;
  a.member(".", "one.txt", "x");
  a.volume_end();
  a.archive_end();
  save(a);
  StubSession s(QTKSFX_STUB, own_, {"TMPDIR=" + work_.string(), "LC_ALL=C"}, root_.string());
  ASSERT_NE(s.expect("box information: Insert disk...:"), "");
  s.interrupt();
  EXPECT_EQ(s.expect("box"), err("Cancelled by user.", "Canceled by user. There are lost files in directory " +
                                                          work_dir_ + ", probably."));
  EXPECT_EQ(s.finish(), 1);
}

TEST_F(SfxFlow, NoSetupProgramStartsAfterCancel) {
  // The control file and setup program are on volume 1; the diskette
  // prompt holds the main thread while Cancel is pressed, and its Cancel box
  // stays open while the main thread reads volume 2 and reaches the setup.
  TestArchive a;
  control_and_setup(a);
  a.volume_end();
  a.archive_end();
  save(a);
  StubSession s(QTKSFX_STUB, own_, {"TMPDIR=" + work_.string(), "LC_ALL=C"}, root_.string());
  ASSERT_NE(s.expect("box information: Insert disk...:"), "");
  s.interrupt();
  ASSERT_EQ(s.expect("box"), err("Cancelled by user.", "Canceled by user. There are lost files in directory " +
                                                          work_dir_ + ", probably."));
  s.ok();  // answers the diskette prompt, the older box
  ASSERT_NE(s.expect("status:  / Setu program"), "");
  usleep(500000);
  EXPECT_FALSE(fs::exists(work_ / "setup-report.txt"));
  s.ok();  // closes the Cancel box
  EXPECT_EQ(s.finish(), 1);
  EXPECT_FALSE(fs::exists(work_ / "setup-report.txt"));
}

TEST_F(SfxFlow, PlantedLinksAreReplacedNotFollowed) {
  // The work directory is shared: someone has put a symbolic link and a hard
  // link where members will land, each leading to a file outside it.
  spill(root_ / "victim-s.txt", "keep me");
  spill(root_ / "victim-h.txt", "keep me too");
  fs::create_symlink(root_ / "victim-s.txt", work_ / "s.txt");
  fs::create_hard_link(root_ / "victim-h.txt", work_ / "h.txt");
  fs::create_directories(root_ / "elsewhere");
  {
    TestArchive a;
    a.member(".", "s.txt", "member s");
    a.member(".", "h.txt", "member h");
    control_and_setup(a);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(boxes_, Boxes{});
    EXPECT_EQ(slurp(root_ / "victim-s.txt"), "keep me");
    EXPECT_EQ(slurp(root_ / "victim-h.txt"), "keep me too");
    EXPECT_FALSE(fs::is_symlink(work_ / "s.txt"));
    EXPECT_EQ(slurp(work_ / "s.txt"), "member s");
    EXPECT_EQ(fs::hard_link_count(work_ / "h.txt"), 1u);
    EXPECT_EQ(slurp(work_ / "h.txt"), "member h");
  }
  for (const char* dir : {"d", "d/deeper"}) {
    // A member directory that is a link is neither entered nor created
    // through.
    fs::create_directory_symlink(root_ / "elsewhere", work_ / "d");
    TestArchive a;
    a.member(dir, "x.txt", "x");
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1) << dir;
    EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Can't open file " + work_dir_ + dir + "/x.txt for writing."),
                             closing_files()}));
    EXPECT_TRUE(fs::is_empty(root_ / "elsewhere")) << dir;
    fs::remove(work_ / "d");
  }
}

TEST_F(SfxFlow, VolumeNameWithoutDotGetsNumberAppended) {
  TestArchive a;
  a.volume_end();  // the very first packet sends the reader to volume 2
  a.member(".", "late.txt", "from volume 2");
  a.archive_end();
  own_ = (root_ / "disk.1" / "setup").string();
  fs::create_directories(root_ / "disk.1");
  save(a, "disk.1/setup");  // volume 2 is disk.1/setup.001
  EXPECT_EQ(run(), 1);      // no control file in this archive
  EXPECT_EQ(slurp(work_ / "late.txt"), "from volume 2");
}

TEST_F(SfxFlow, CzechTexts) {
  TestArchive a;
  a.member(".", "other.txt", "x");
  a.archive_end();
  save(a);
  StubSession s(QTKSFX_STUB, own_, {"TMPDIR=" + work_.string(), "LC_ALL=", "LANG=cs_CZ.UTF-8"}, root_.string());
  s.close_input();
  EXPECT_EQ(s.finish(), 1);
  EXPECT_EQ(s.boxes(), (Boxes{"box error: CHYBA: V balíčku chybí soubor QTKSFX.INI.",
                              "box information: CHYBA: Instalace nemůže dále pokračovat a bude nouzově ukončena. "
                              "Pravděpodobně zůstaly nějaké soubory v adresáři " + work_dir_ + "."}));
  EXPECT_EQ(s.lines.at(0), "window: Příprava instalace");
}

}  // namespace

namespace {
// What the packer writes, the stub reads: a folder packed by qtk over three
// volumes behind the console build comes out whole.
TEST_F(SfxFlow, PackerOutputOverVolumes) {
  const fs::path src = root_ / "src";
  fs::create_directories(src / "a/b");
  // Volumes as large as the stub plus 100000 bytes; data enough for three.
  const std::uintmax_t stub_size = fs::file_size(QTKSFX_STUB);
  std::string big(stub_size + 250000, 0);
  std::uint32_t x = 2463534242u;  // xorshift: data that does not compress
  for (char& c : big) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  spill(src / "a/b/big.bin", big);
  spill(src / "qtksfx.ini", "[system]\nrun=setup.sh\n");
  spill(src / "setup.sh", kSetupScript);
  const std::string cmd = std::string(QTK_TOOL) + " pack " + src.string() + " -o " + own_ + " --stub " +
                          QTKSFX_STUB + " --volume-size " + std::to_string(stub_size + 100000) + " > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  ASSERT_TRUE(fs::exists(root_ / "setup.002"));
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(boxes_.size(), 2u);  // the two diskette prompts
  EXPECT_EQ(slurp(work_ / "a/b/big.bin"), big);
  EXPECT_TRUE(fs::exists(work_ / "setup-report.txt"));

  // Started by a name that opens no file ("setup" typed at a prompt): the
  // program reads itself, and finds its later volumes, through its module
  // path.
  fs::remove_all(work_);
  fs::create_directories(work_);
  fs::permissions(own_, fs::perms::owner_exec, fs::perm_options::add);
  StubSession s(own_, "setup", {"TMPDIR=" + work_.string(), "LC_ALL=C"}, root_.string());
  s.close_input();
  EXPECT_EQ(s.finish(), 0);
  EXPECT_EQ(s.boxes().size(), 2u);
  EXPECT_EQ(slurp(work_ / "a/b/big.bin"), big);
  EXPECT_TRUE(fs::exists(work_ / "setup-report.txt"));
}
}  // namespace
