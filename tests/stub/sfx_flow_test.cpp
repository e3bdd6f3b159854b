// The stub's flow end to end: the console build runs real archives. Good
// archives, and every failure of start-up, the walk, members and the
// control file.
#include "sfx_flow_fixture.h"
#include "../archive/record_forge.h"

namespace {

TEST_F(SfxFlow, GoodArchiveExtractsRunsSetupAndEndsWithItsExitCode) {
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

  EXPECT_EQ(run(), 3);  // the setup program's own exit code
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
  // directory, and the stub waited for it.
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

  // A setup program that succeeds gives 0; one ended by a signal fails.
  EXPECT_EQ(run({"SETUP_EXIT=0"}), 0);
  EXPECT_EQ(run({"SETUP_EXIT=kill"}), 128 + 9);
}

TEST_F(SfxFlow, SetupProgramThatCannotStartFailsWithMessage11) {
  TestArchive a;
  a.member(".", "qtksfx.ini", "[System]\nRun = not-there.exe\n");
  a.archive_end();
  save(a);
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(boxes_, (Boxes{err("ERROR", "Can't run program " + work_dir_ + "not-there.exe."), closing_files()}));
}

// Installers with one work directory and the same names in it take turns:
// each runs its own setup program over its own files. One that the setup
// program of the holder starts goes on at once (waiting would never end).
TEST_F(SfxFlow, InstallersSharingAWorkDirectoryTakeTurns) {
  auto installer = [&](const std::string& id, std::size_t size, const std::string& extra) {
    TestArchive a;
    a.member(".", "data.txt", std::string(size, id[0]));
    a.member(".", "qtksfx.ini", "[system]\nrun=setup.sh\n");
    a.member(".", "setup.sh",
             "#!/bin/sh\n" + extra + "sleep 0.3\necho \"" + id +
                 " $(head -c 1 data.txt) $(wc -c < data.txt)\" >> runs.txt\n");
    a.archive_end();
    save(a, id + ".exe");
  };
  installer("a", 300000, "");
  installer("b", 200000, "");
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    std::error_code ec;
    fs::remove(work_ / "runs.txt", ec);
    const std::vector<std::string> env = {"TMPDIR=" + work_.string(), "LC_ALL=C"};
    StubSession first(QTKSFX_STUB, (root_ / "a.exe").string(), env, root_.string());
    usleep(static_cast<useconds_t>(round * 30000));
    StubSession second(QTKSFX_STUB, (root_ / "b.exe").string(), env, root_.string());
    EXPECT_EQ(first.finish(), 0);
    EXPECT_EQ(second.finish(), 0);
    std::istringstream runs(slurp(work_ / "runs.txt"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(runs, l);) lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"a a 300000", "b b 200000"}));
  }

  // The nested installer shares the work directory and is a real program
  // (the console stub with its archive behind it).
  fs::remove(work_ / "runs.txt");
  const std::string stub = slurp(QTKSFX_STUB);
  TestArchive nested(TestArchive::Bytes(stub.begin(), stub.end()));
  nested.member(".", "qtksfx.ini", "[system]\nrun=inner.sh\n");
  nested.member(".", "inner.sh", "#!/bin/sh\necho inner >> runs.txt\n");
  nested.archive_end();
  save(nested, "nested.exe");
  fs::permissions(root_ / "nested.exe", fs::perms::owner_exec, fs::perm_options::add);
  installer("c", 10, (root_ / "nested.exe").string() + " < /dev/null > /dev/null; echo nested $? >> runs.txt\n");
  EXPECT_EQ(run({}, (root_ / "c.exe").string()), 0);
  EXPECT_EQ(slurp(work_ / "runs.txt"), "inner\nnested 0\nc c 10\n");
}

// The lock is held until the setup program has ended, not the stub: after
// Cancel, after a kill, and against a variable handed down from a holder
// that has ended. A waiting installer says so, and after a while shows why
// with message 1; Cancel then ends it.
TEST_F(SfxFlow, TheLockLastsUntilTheSetupProgramEnds) {
  auto installer = [&](const std::string& name, const std::string& setup) {
    TestArchive a;
    a.member(".", "qtksfx.ini", "[system]\nrun=" + name + ".sh\n");
    a.member(".", name + ".sh", "#!/bin/sh\n" + setup);
    a.archive_end();
    save(a, name + ".exe");
  };
  // The long setup program says when it starts and ends, and keeps the
  // variable it was given; it lets go of the stub's output, so that the
  // stub's end is seen as it happens.
  installer("long", "exec > /dev/null < /dev/null\necho \"$QTKSFX_WORK_LOCK\" > lock.txt\necho long-start >> runs.txt\nsleep 1.5\n"
                    "echo long-end >> runs.txt\n");
  installer("next", "echo next >> runs.txt\n");
  const std::vector<std::string> env = {"TMPDIR=" + work_.string(), "LC_ALL=C"};
  auto runs = [&] { return slurp(work_ / "runs.txt"); };
  for (const std::string how : {"cancel", "kill"}) {
    SCOPED_TRACE(how);
    std::error_code ec;
    fs::remove(work_ / "runs.txt", ec);
    StubSession first(QTKSFX_STUB, (root_ / "long.exe").string(), env, root_.string());
    ASSERT_NE(first.expect("status:  / Setu program"), "");
    for (int i = 0; i < 500 && runs().find("long-start") == std::string::npos; ++i) usleep(10000);
    if (how == "cancel") {
      first.interrupt();
      ASSERT_NE(first.expect("box error: Cancelled by user."), "");
      first.ok();
      EXPECT_EQ(first.finish(), 1);
    } else {
      kill(first.pid(), SIGKILL);
      EXPECT_EQ(first.finish(), -1);
    }
    // An unrelated installer that inherited a variable from an installer
    // that has ended (the one just ended, as an application that its setup
    // program started would hand it to its updater later; or junk) waits
    // like any other: the variable names no lock that it holds.
    std::string stale = slurp(work_ / "lock.txt");
    stale = how == "kill" ? stale.substr(0, stale.find('\n')) : "x.y;;.;1.3;" + std::to_string(getpid()) + ".0";
    ASSERT_FALSE(stale.empty());
    auto later = env;
    later.push_back("QTKSFX_WORK_LOCK=" + stale);
    StubSession second(QTKSFX_STUB, (root_ / "next.exe").string(), later, root_.string());
    EXPECT_EQ(second.expect("waiting: "), "waiting: another installer works in " + work_dir_);
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(runs(), "long-start\nlong-end\nnext\n");
  }

  // A lock that is never let go (another user's on a shared folder): the
  // notice, then Cancel ends the wait.
  const int fd = open(work_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  auto fast = env;
  fast.push_back("QTKSFX_FAST_CLOCK=1");
  StubSession stuck(QTKSFX_STUB, (root_ / "next.exe").string(), fast, root_.string());
  EXPECT_NE(stuck.expect("waiting: "), "");
  EXPECT_EQ(stuck.expect("box"), err("Problem...", "Can't open file " + work_dir_ + " for writing."));
  stuck.ok();
  stuck.interrupt();
  EXPECT_EQ(stuck.expect("box"), err("Cancelled by user.", "Canceled by user. There are lost files in directory " +
                                                              work_dir_ + ", probably."));
  EXPECT_EQ(stuck.finish(), 1);
  close(fd);
  EXPECT_EQ(runs(), "long-start\nlong-end\nnext\n");
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

TEST_F(SfxFlow, DamageAfterManyGoodMembersShowsWhenTheWalkGetsThere) {
  // Packets are decoded ahead of the walk. A damaged packet far into the
  // archive is shown when the walk reaches it: after every member before
  // it has been written whole (and the damaged member's first packet),
  // and nothing after it is written or shown, not even the codec's report
  // on a later packet that was decoded ahead.
  const TestArchive::Bytes far{0xA0, 0x86, 0x01, 0x00, 0x12, 0x34, 0x56, 0x78};  // report 2
  const std::string read_error = err("ERROR", "Error reading file. Installation self-extract file is probably damaged.");
  const std::string report = err("Problem...", "Error during file decompression. Code = 2. Installation "
                                               "self-extract file is probably damaged. Switch to main "
                                               "application's window and press \"Cancel\".");
  std::vector<std::string> good;
  std::uint32_t x = 7;
  for (int m = 0; m < 30; ++m) {
    std::string c;
    while (c.size() < 120000 + 5000u * static_cast<unsigned>(m)) {  // two or three packets each
      x = x * 1103515245u + 12345u;
      c += "word" + std::to_string((x >> 16) % 97) + (x & 0x100 ? "\n" : " ");
    }
    good.push_back(c);
  }
  for (const bool check_bytes : {false, true}) {
    fs::remove_all(work_);
    fs::create_directories(work_);
    TestArchive a;
    for (std::size_t m = 0; m < good.size(); ++m)
      a.member("good/" + std::to_string(m % 3), "m" + std::to_string(m), good[m], 1000000000 + static_cast<int>(m));
    a.header(".", "damaged.txt", 0);
    a.data("written before the damage");
    if (check_bytes) {
      a.data("damaged");
      a.volume(0).back() ^= 0x55;
    } else {
      a.framed(SFX_MEMBER_DATA, 100000, far);
    }
    a.end(100025, 2);
    a.member(".", "after.txt", "x");
    a.header(".", "late.txt", 0);
    a.framed(SFX_MEMBER_DATA, 100000, far);
    a.end(100000, 1);
    control_and_setup(a);
    a.archive_end();
    save(a);

    EXPECT_EQ(run(), 1);
    const Boxes want = check_bytes ? Boxes{read_error, closing_files()} : Boxes{report, read_error, closing_files()};
    EXPECT_EQ(boxes_, want);
    // The boxes come after the damaged member's status, the last one shown.
    const auto damaged_status = std::find_if(lines_.begin(), lines_.end(), [](const std::string& l) {
      return l.rfind("status: ", 0) == 0 && l.find("damaged.txt") != std::string::npos;
    });
    ASSERT_NE(damaged_status, lines_.end());
    EXPECT_EQ(std::find_if(lines_.begin(), damaged_status, [](const std::string& l) { return l.rfind("box ", 0) == 0; }),
              damaged_status);
    EXPECT_EQ(std::count_if(damaged_status, lines_.end(), [](const std::string& l) { return l.rfind("status: ", 0) == 0; }), 1);

    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(work_)) files += e.is_regular_file();
    EXPECT_EQ(files, good.size() + 1);
    for (std::size_t m = 0; m < good.size(); ++m) {
      const fs::path p = work_ / ("good/" + std::to_string(m % 3)) / ("m" + std::to_string(m));
      EXPECT_EQ(slurp(p), good[m]) << m;
      struct stat st;
      EXPECT_TRUE(stat(p.c_str(), &st) == 0 && st.st_mtime == 1000000000 + static_cast<time_t>(m)) << m;
    }
    EXPECT_EQ(slurp(work_ / "damaged.txt"), "written before the damage");
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

TEST_F(SfxFlow, MemberRecordsNameTheFilesAndCheckTheirContent) {
  // The fields spell the names in code page 1252 ('_' for what it lacks);
  // the console build would write their bytes as they stand, so only the
  // record can give the UTF-8 names.
  const std::string setup_u = "instal\xc3\xa1tor.sh";
  {
    TestArchive a;
    a.recorded(".", "p_\xedru_ka.txt", "", "p\xc5\x99\xc3\xadru\xc4\x8dka.txt", "manual");
    a.recorded("dokumenty/_", "caf\xe9.txt", "dokumenty/\xe6\x97\xa5", "caf\xc3\xa9.txt", "");
    a.recorded(".", "qtksfx.ini", "", "", "[system]\r\nrun=instal\xe1tor.sh\r\nrun.utf8=" + setup_u + "\r\n");
    a.recorded(".", "instal\xe1tor.sh", "", setup_u, kSetupScript);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(boxes_, Boxes{});
    EXPECT_EQ(slurp(work_ / "p\xc5\x99\xc3\xadru\xc4\x8dka.txt"), "manual");
    EXPECT_TRUE(fs::exists(work_ / "dokumenty/\xe6\x97\xa5/caf\xc3\xa9.txt"));
    EXPECT_EQ(slurp(work_ / "setup-report.txt"),
              "arg=" + work_dir_ + setup_u + " 0\ncwd=" + work_.string() + "\ndone\n");
  }
  // Content that the packets' check bytes let pass: two bytes swapped in a
  // stored packet, a checksum on a member without data. The damaged-packet
  // failure, after the content was written.
  const Boxes damaged{err("ERROR", "Error reading file. Installation self-extract file is probably damaged."),
                      closing_files()};
  {
    TestArchive a;
    a.recorded(".", "a.txt", "", "", "some data", true);
    TestArchive::Bytes& v = a.volume(0);
    std::swap(v[v.size() - PACKET_HEADER_SIZE - 8 - 2], v[v.size() - PACKET_HEADER_SIZE - 8 - 3]);
    control_and_setup(a);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, damaged);
    EXPECT_EQ(slurp(work_ / "a.txt"), "some dtaa");
  }
  {
    TestArchive a;
    SfxRecordOut rec;
    rec.codepage = 1252;
    rec.crc = 0x1234;
    a.header(".", "empty.txt", 0, &rec);
    a.end(0, 0);
    control_and_setup(a);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(boxes_, damaged);
  }
}

TEST_F(SfxFlow, HostileRecordsWriteNothing) {
  using forge::operator+;
  const forge::Bytes cp = forge::codepage(1252);
  const std::pair<std::string, forge::Bytes> cases[] = {
      // The fields name a harmless file, the record another one.
      {"setup.sh", forge::record(forge::field(SFX_TAG_NAME, "escape.txt") + cp)},
      {"escape.txt", forge::record(forge::field(SFX_TAG_DIR, "../..") + cp)},
      {"escape.txt", forge::record(forge::field(SFX_TAG_DIR, "/tmp") + cp)},
      {"escape\xe9.txt", forge::record(forge::field(SFX_TAG_NAME, "escape\xc0\xa9.txt") + cp)},
      {"escape.txt", forge::record(forge::crc(0) + cp, 900)},
  };
  for (const auto& [name, rec] : cases) {
    TestArchive a;
    const forge::Bytes h = forge::header(".", name, 0, rec);
    a.packet(SFX_MEMBER_HEADER, h.data(), static_cast<std::uint32_t>(h.size()));
    a.data("x");
    a.end(1, 1);
    control_and_setup(a);
    a.archive_end();
    save(a);
    EXPECT_EQ(run(), 1) << name;
    EXPECT_EQ(boxes_, (Boxes{err("Problem...", "Uncorrect packet. File " + own_ + " is invalid."), closing_files()}));
    EXPECT_FALSE(fs::exists(root_ / "escape.txt"));
    EXPECT_FALSE(fs::exists(work_ / name));
  }
}

TEST_F(SfxFlow, BackslashesSeparateMemberPathsAsOnWindows) {
  TestArchive a;
  a.member(".\\DATA", "a.txt", "a");
  a.member("docs\\deep", "b.txt", "b");
  a.member(".", "qtksfx.ini", "[system]\r\nrun=bin\\setup.sh\r\n");
  a.member("bin", "setup.sh", kSetupScript);
  a.archive_end();
  save(a);
  EXPECT_EQ(run(), 3);  // the setup program's own exit code
  EXPECT_EQ(boxes_, Boxes{});
  EXPECT_EQ(slurp(work_ / "DATA/a.txt"), "a");  // its time set too: no box says otherwise
  EXPECT_EQ(slurp(work_ / "docs/deep/b.txt"), "b");
  EXPECT_FALSE(fs::exists(work_ / ".\\DATA"));
  EXPECT_FALSE(fs::exists(work_ / "docs\\deep"));
  // The setup program is found and started in its own folder.
  EXPECT_EQ(slurp(work_ / "bin/setup-report.txt"),
            "arg=" + work_dir_ + "bin/setup.sh 0\ncwd=" + work_.string() + "/bin\ndone\n");
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
  // Never up: after 30 (here quickly passing) seconds, 19 and 7, exit code
  // 1, since nothing was installed.
  EXPECT_EQ(run({"QTKSFX_NO_WINDOW=1", "QTKSFX_FAST_CLOCK=1"}), 1);
  EXPECT_EQ(boxes_, (Boxes{err("Problem...", "Can't create a window on screen."), closing()}));
  // Up, but without its progress bar: the same pair from the UI thread,
  // exit code 1. The main thread goes on meanwhile and may show its own
  // failure (this archive has no control file) before, between or after
  // them, until the process ends.
  EXPECT_EQ(run({"QTKSFX_NO_PROGRESS_BAR=1"}), 1);
  const auto no_window = std::find(boxes_.begin(), boxes_.end(), err("Problem...", "Can't create a window on screen."));
  ASSERT_NE(no_window, boxes_.end());
  // The UI thread's closing box follows, unless the main thread ended the
  // process with its own failure first.
  const bool main_failed =
      std::find(boxes_.begin(), boxes_.end(), err("ERROR", "Can't find file QTKSFX.INI in self extract file..")) !=
      boxes_.end();
  EXPECT_TRUE(main_failed || std::find(no_window + 1, boxes_.end(), closing()) != boxes_.end());
}

}  // namespace
