// The stub's flow end to end: volumes and diskette prompts, Cancel, links
// planted in the work directory, the Czech texts and the packer's output.
#include "sfx_flow_fixture.h"

namespace {

class SfxVolumes : public SfxFlow {};

// Three volumes; a member spans the first two; volume 3 is missing at first.
TEST_F(SfxVolumes, VolumesWithDisketteRetriesAndProgressRestart) {
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
  EXPECT_EQ(s.finish(), 3);  // the setup program's
  EXPECT_EQ(slurp(work_ / "span/two.txt"), "part one, part two");
  EXPECT_TRUE(fs::exists(work_ / "setup-report.txt"));
}

TEST_F(SfxVolumes, CancelDuringDisketteExitsWithOne) {
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

TEST_F(SfxVolumes, NoSetupProgramStartsAfterCancel) {
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

TEST_F(SfxVolumes, PlantedLinksAreReplacedNotFollowed) {
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
    EXPECT_EQ(run(), 3);
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

TEST_F(SfxVolumes, LinkPlantedInPlaceOfAnEnteredFolderIsNotFollowed) {
  // While the diskette prompt is open, the folder d/e that the first member
  // went into is moved away and a link to a folder outside takes its name.
  // The members still to come in d/e go into the folder that was entered,
  // wherever it is now; once a member has gone elsewhere, d/e is entered
  // again, and then the link is refused.
  fs::create_directories(root_ / "elsewhere");
  TestArchive a;
  a.member("d/e", "one.txt", "1");
  a.volume_end();
  a.member("d/e", "two.txt", "2");
  a.member("d", "three.txt", "3");
  a.member("d/e", "four.txt", "4");
  a.archive_end();
  save(a);
  StubSession s(QTKSFX_STUB, own_, {"TMPDIR=" + work_.string(), "LC_ALL=C"}, root_.string());
  ASSERT_NE(s.expect("box information: Insert disk...:"), "");
  fs::rename(work_ / "d/e", work_ / "d/moved");
  fs::create_directory_symlink(root_ / "elsewhere", work_ / "d/e");
  s.ok();
  EXPECT_EQ(s.expect("box"), err("ERROR", "Can't open file " + work_dir_ + "d/e/four.txt for writing."));
  EXPECT_EQ(s.finish(), 1);
  EXPECT_TRUE(fs::is_empty(root_ / "elsewhere"));
  EXPECT_EQ(slurp(work_ / "d/moved/one.txt"), "1");
  EXPECT_EQ(slurp(work_ / "d/moved/two.txt"), "2");
  EXPECT_EQ(slurp(work_ / "d/three.txt"), "3");
}

TEST_F(SfxVolumes, VolumeNameWithoutDotGetsNumberAppended) {
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

TEST_F(SfxVolumes, CzechTexts) {
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

// What the packer writes, the stub reads: a folder packed by qtk over three
// volumes behind the console build comes out whole.
TEST_F(SfxVolumes, PackerOutputOverVolumes) {
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
  EXPECT_EQ(run(), 3);
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
  EXPECT_EQ(s.finish(), 3);
  EXPECT_EQ(s.boxes().size(), 2u);
  EXPECT_EQ(slurp(work_ / "a/b/big.bin"), big);
  EXPECT_TRUE(fs::exists(work_ / "setup-report.txt"));
}
}  // namespace
