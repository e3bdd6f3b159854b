// qtk.exe's output folders on Windows, under Wine: the folders that members
// went into stay held until extraction ends, and a held folder can be
// neither renamed nor removed (so no link can take its name meanwhile).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "sys/read_os.h"

namespace {

std::string temp_root() {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "qtk-held-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
}

TEST(OutputFolders, HeldFoldersCannotBeMovedUntilTheEnd) {
  const std::string root = temp_root();
  const int dir = qtk::open_output_dir(root);
  ASSERT_GE(dir, 0);
  std::string error;
  for (const char* name : {"one.txt", "two.txt"}) {
    const int f = qtk::create_output_file(dir, {"a", "b", name}, error);
    ASSERT_GE(f, 0) << error;
    ASSERT_TRUE(qtk::write_output(f, reinterpret_cast<const std::uint8_t*>("x"), 1, error)) << error;
    ASSERT_TRUE(qtk::close_output(f, error)) << error;
  }
  for (const char* folder : {"\\a\\b", "\\a"}) {
    EXPECT_FALSE(MoveFileA((root + folder).c_str(), (root + "\\moved").c_str())) << folder;
    EXPECT_FALSE(RemoveDirectoryA((root + folder).c_str())) << folder;
  }
  qtk::close_output_dir(dir);
  EXPECT_TRUE(MoveFileA((root + "\\a").c_str(), (root + "\\moved").c_str()));
  DeleteFileA((root + "\\moved\\b\\one.txt").c_str());
  DeleteFileA((root + "\\moved\\b\\two.txt").c_str());
  RemoveDirectoryA((root + "\\moved\\b").c_str());
  RemoveDirectoryA((root + "\\moved").c_str());
  RemoveDirectoryA(root.c_str());
}

}  // namespace
