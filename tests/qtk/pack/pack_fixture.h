// qtk pack, shared set-up: a scratch folder and the tool run in-process.
#pragma once

#include <sys/time.h>

#include <cstring>

#include "archive.h"
#include "qtk_test_util.h"
#include "pe/test_icon.h"

namespace {

struct Pack : QtkTest {
  fs::path src, out, dst;
  void SetUp() override {
    QtkTest::SetUp();
    src = root / "src";
    out = root / "out" / "setup.exe";
    dst = root / "dst";
    fs::create_directories(out.parent_path());
    write_text(src / "setup.exe", "MZ setup");
    write_bytes(src / "big.bin", sample(250001, 1));       // three data packets
    write_bytes(src / "empty", {});
    write_text(src / "with space" / "a b.txt", "spaces");
    write_text(src / "n1" / "n2" / "n3" / "deep.txt", "deep");
    write_text(src / "n1" / "top.txt", "top");
    write_text(src / "caf\xc3\xa9" / "n\xc3\xa1ve.txt", "code page");  // café/náve.txt
  }
  // The tree after extraction, without the control file pack wrote.
  void expect_round_trip() {
    ASSERT_EQ(run({"extract", out.string(), "-C", dst.string(), "-q"}).code, 0);
    ASSERT_TRUE(fs::exists(dst / "qtksfx.ini"));
    fs::remove(dst / "qtksfx.ini");
    expect_same_tree(src, dst);
  }
};

}  // namespace
