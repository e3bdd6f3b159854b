// The real Win32 stub under Wine: good archives, every failure of start-up
// and the walk, volumes with their diskette prompts, Cancel.
#include "sfx_wine_fixture.h"

namespace {

TEST_F(SfxWine, GoodArchive) {
  TestArchive a(stub_image());
  a.member(".", "readme.txt", "hello\r\n", 946684800);
  a.member("docs/deep", "a.txt", std::string(150000, 'a'), 1262304000);
  a.member("docs", "b.txt", "bee", 1300000000);
  control_and_setup(a);
  a.archive_end();
  save(a);
  int escapes = 0;
  SfxRunOptions o;
  // Escape (IDCANCEL) leaves the dialog alone.
  o.on_dialog = [&](HWND dialog) {
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ++escapes;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 3);  // the setup program's own
  EXPECT_EQ(escapes, 1);
  expect_boxes(r, {});
  EXPECT_EQ(r.dialog_caption, "Preparing installation");
  EXPECT_EQ(r.dialog_texts, "Preparing installation. Please wait...|Win32 SFX 1.1|Cancel|QTK 1.1");
  EXPECT_EQ(r.last_status, "\r\nSetu program\r\n" + work_ + "setup.exe\r\nran. Waiting for its completion.");
  EXPECT_EQ(slurp(work_ + "readme.txt"), "hello\r\n");
  EXPECT_EQ(slurp(work_ + "docs\\deep\\a.txt"), std::string(150000, 'a'));
  EXPECT_EQ(write_time(work_ + "docs\\deep\\a.txt"), 1262304000);
  EXPECT_EQ(write_time(work_ + "docs\\b.txt"), 1300000000);
  // Started with its path alone, in its own directory, and waited for.
  EXPECT_EQ(slurp(work_ + "setup-report.txt"),
            "cmdline=" + work_ + "setup.exe\ncwd=" + work_.substr(0, work_.size() - 1) + "\ndone\n");
  // A setup program that succeeds makes the installer succeed.
  SfxRunOptions zero;
  zero.env.push_back("SFX_SETUP_EXIT=0");
  EXPECT_EQ(run(zero).exit_code, 0);
}

// Two bytes swapped in a stored packet: its sum and xor agree still, the
// member's checksum does not. The damaged-packet failure, exit code 1.
TEST_F(SfxWine, SwappedBytesFailTheChecksum) {
  TestArchive a(stub_image());
  a.recorded(".", "a.txt", "", "", "some data", true);
  TestArchive::Bytes& v = a.volume(0);
  std::swap(v[v.size() - PACKET_HEADER_SIZE - 8 - 2], v[v.size() - PACKET_HEADER_SIZE - 8 - 3]);
  control_and_setup(a);
  a.archive_end();
  save(a);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"ERROR", "Error reading file. Installation self-extract file is probably damaged.", false},
                   closing_files()});
  EXPECT_FALSE(exists(work_ + "setup-report.txt"));
}

TEST_F(SfxWine, SetupProgramMissing) {
  TestArchive a(stub_image());
  a.member(".", "qtksfx.ini", "[system]\nrun=missing.exe\n");
  a.archive_end();
  save(a);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"ERROR", "Can't run program " + work_ + "missing.exe.", false}, closing_files()});
}

TEST_F(SfxWine, StartUpFailures) {
  {
    // No such file (the extension is missing): the program reads its own
    // file through its module path, here the bare stub; the message names
    // the path as started.
    SfxRunOptions o;
    o.command_line = root_ + "setup";
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "File " + root_ + "setup is not valid QTK file -- missing or bad signature or version-id.",
                      false},
                     closing()});
  }
  {
    spill(own_, "MZ");
    const SfxRun r = run();
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "Error during seek in file " + own_ + ".", false}, closing()});
  }
  {
    SfxRunOptions o;
    o.command_line = "\"" + kStub + "\"";  // the bare stub: no archive behind it
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{"ERROR", "File " + kStub + " is not valid QTK file -- missing or bad signature or version-id.",
                      false},
                     closing()});
  }
}

TEST_F(SfxWine, ArchiveFailures) {
  struct Case {
    const char* name;
    void (*build)(TestArchive&);
    std::string caption, text;
  };
  const std::string bad = "CRC is invalid or packet can't be read -- file " + own_ + " is damaged!";
  const Case cases[] = {
      {"truncated", [](TestArchive& a) { a.member(".", "x.txt", "x"); a.trailer_only(); }, "ERROR", bad},
      {"unexpected", [](TestArchive& a) { a.data("stray"); a.archive_end(); }, "ERROR",
       "Uncorrect packet. File " + own_ + " is invalid."},
      {"member end", [](TestArchive& a) { a.header(".", "x.txt", 0); a.data("xy"); a.end(3, 1); a.archive_end(); },
       "Problem...", "Incorrect length or number of packets. File " + own_ + " is damaged."},
      {"refused path", [](TestArchive& a) { a.member("..", "x.txt", "x"); a.archive_end(); }, "Problem...",
       "Uncorrect packet. File " + own_ + " is invalid."},
      {"no control file", [](TestArchive& a) { a.member(".", "x.txt", "x"); a.archive_end(); }, "ERROR",
       "Can't find file QTKSFX.INI in self extract file.."},
      {"no run entry", [](TestArchive& a) { a.member(".", "qtksfx.ini", "[system]\r\nrun_me=1\r\n"); a.archive_end(); },
       "ERROR", "There is no command [SYSTEM] RUN=... in file QTKSFX.INI"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestArchive a(stub_image());
    c.build(a);
    save(a);
    // A control file left by an earlier installer is not this archive's.
    spill(work_ + "qtksfx.ini", "[system]\r\nrun=setup.exe\r\n");
    spill(work_ + "setup.exe", slurp(kSetup));
    const SfxRun r = run();
    EXPECT_EQ(r.exit_code, 1);
    expect_boxes(r, {{c.caption, c.text, false}, closing_files()});
    EXPECT_FALSE(exists(work_ + "setup-report.txt"));
  }
  {
    // The control file extracted, then removed while the diskette prompt
    // is open: reading it fails (and the library reports that to the event
    // log).
    TestArchive a(stub_image());
    control_and_setup(a);
    a.volume_end();
    a.archive_end();
    save(a);
    SfxRunOptions o;
    o.on_box = [&](const SfxBox&, int index) {
      if (index == 0) DeleteFileA((work_ + "qtksfx.ini").c_str());
      return SfxAnswer::ok;
    };
    const SfxRun r = run(o);
    EXPECT_EQ(r.exit_code, 1);
    ASSERT_EQ(r.boxes.size(), 3u);
    EXPECT_EQ(r.boxes[1].text, "Can't open file " + work_ + "qtksfx.ini for reading.");
    EXPECT_EQ(r.boxes[2].text, closing_files().text);
  }
  // An output that cannot be created: a directory stands in its place, or
  // a read-only file.
  TestArchive a(stub_image());
  a.member(".", "taken", "x");
  a.archive_end();
  save(a);
  CreateDirectoryA((work_ + "taken").c_str(), nullptr);
  const SfxRun r = run();
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"ERROR", "Can't open file " + work_ + "./taken for writing.", false}, closing_files()});
  EXPECT_FALSE(exists(root_ + "x.txt"));
  RemoveDirectoryA((work_ + "taken").c_str());
  spill(work_ + "taken", "read-only");
  SetFileAttributesA((work_ + "taken").c_str(), FILE_ATTRIBUTE_READONLY);
  // After a run of members faster than the status box paints, the box
  // names the member that failed while its boxes are open.
  TestArchive many(stub_image());
  for (int k = 0; k < 150; ++k) many.member("many", "m" + std::to_string(k) + ".txt", "x");
  many.member(".", "taken", "x");
  many.archive_end();
  save(many);
  const SfxRun ro = run();
  EXPECT_EQ(ro.exit_code, 1);
  expect_boxes(ro, {{"ERROR", "Can't open file " + work_ + "./taken for writing.", false}, closing_files()});
  EXPECT_EQ(ro.last_status, "\r\nPreparing file:\r\n\r\n" + work_ + "./taken");
  EXPECT_EQ(slurp(work_ + "taken"), "read-only");
  EXPECT_EQ(slurp(work_ + "many\\m149.txt"), "x");
}


TEST_F(SfxWine, ThreeVolumesWithALateDiskette) {
  TestArchive a(stub_image());
  a.header("span", "two.txt", 1300000000);
  a.data("part one,");
  a.volume_end();
  a.data(" part two");
  a.end(18, 2);
  a.volume_end();
  control_and_setup(a);
  a.archive_end();
  save(a);
  MoveFileA((root_ + "setup.002").c_str(), (root_ + "held-back").c_str());
  SfxRunOptions o;
  o.on_box = [&](const SfxBox& box, int index) {
    if (index == 2) MoveFileA((root_ + "held-back").c_str(), (root_ + "setup.002").c_str());
    (void)box;
    return SfxAnswer::ok;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 3);
  expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true},
                   {"Insert disk...", std::string("Insert disk numbered 3") + kTail, true},
                   {"Insert disk...", std::string("Incorrect disk or disk error. Insert disk numbered 3") + kTail, false}});
  EXPECT_EQ(slurp(work_ + "span\\two.txt"), "part one, part two");
  EXPECT_TRUE(exists(work_ + "setup-report.txt"));
}

TEST_F(SfxWine, CancelDuringTheDiskettePrompt) {
  TestArchive a(stub_image());
  a.member(".", "x.txt", "x");
  a.volume_end();
  a.archive_end();
  save(a);
  SfxRunOptions o;
  o.on_box = [](const SfxBox& box, int) {
    return box.caption == "Insert disk..." ? SfxAnswer::leave_open_and_cancel_dialog : SfxAnswer::ok;
  };
  const SfxRun r = run(o);
  EXPECT_EQ(r.exit_code, 1);
  expect_boxes(r, {{"Insert disk...", std::string("Insert disk numbered 2") + kTail, true},
                   {"Cancelled by user.",
                    "Canceled by user. There are lost files in directory " + work_ + ", probably.", false}});
}

}  // namespace
