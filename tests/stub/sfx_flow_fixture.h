// The stub's flow end to end, shared set-up: the console build runs real
// archives in a scratch folder of its own.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
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
    "[ \"$SETUP_EXIT\" = kill ] && kill -KILL $$\n"
    "exit ${SETUP_EXIT:-3}\n";

inline std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void spill(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary);
  f << bytes;
}

class SfxFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unless the run says otherwise (QTKSFX_DECODERS=1: the walk reads and
    // decodes on its own thread), the stub decodes on more threads than
    // the machine has processors, so that packets come ready out of order.
    setenv("QTKSFX_DECODERS", "4", 0);
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

}  // namespace
