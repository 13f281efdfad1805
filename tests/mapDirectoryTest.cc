#include <gtest/gtest.h>

#include <filesystem>

#include "persistentStorage/tFileSystemAdapter.h"
#include "testSupport.h"

namespace nDRAVI100 {
namespace {

TEST(MapDirectory, FromTheDirectoryFile) {
  testing::tScratchTree tree;
  const std::string fallback = tree.mapDirectory();
  // Every name, relative or not, is taken inside the root.
  const std::string root = tree.root() + "/";
  const std::string longLine(5000, 'd');
  struct Case {
    std::optional<std::string> content;  // nothing: no directory file
    std::string expected;
  } cases[] = {
      {std::nullopt, fallback},
      {"", fallback},
      {"/opt/m\n", root + "opt/m/etc"},
      {"/opt/m/\n", root + "opt/m/etc"},
      {"/opt/m//\n", root + "opt/m//etc"},
      {"/opt/m\r\n", root + "opt/m/etc"},
      {"/opt/m", root + "opt/m/etc"},
      {"/\n", fallback},
      {"\n/opt/m\n", fallback},
      {"/opt/m\n/opt/n\n", root + "opt/m/etc"},
      {"  /opt/m\n", root + "  /opt/m/etc"},
      {std::string("/opt/m\0/x\n", 10), root + "opt/m/etc"},
      {"relative/dir\n", root + "relative/dir/etc"},
      {longLine, root + longLine.substr(0, 4097) + "/etc"},
      {std::string(4096, 'd') + "/" + "more", root + std::string(4096, 'd') + "/etc"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(tree.directoryFile());
    if (c.content) testing::writeFile(tree.directoryFile(), *c.content);
    tStatus status = 0;
    EXPECT_EQ(
        tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status, tree.root()),
        c.expected)
        << (c.content ? c.content->substr(0, 40) : "(no file)");
    EXPECT_EQ(status, 0);
  }
  tStatus status = -3;
  EXPECT_EQ(
      tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status, tree.root()),
      "");
  EXPECT_EQ(status, -3);
}

TEST(MapDirectory, UnreadableDirectoryFileFallsBack) {
  testing::tScratchTree tree;
  // A directory in its place opens but cannot be read.
  std::filesystem::create_directories(tree.directoryFile());
  tStatus status = 0;
  EXPECT_EQ(
      tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kLinux, status, tree.root()),
      tree.mapDirectory());
  EXPECT_EQ(status, 0);
}

TEST(MapDirectoryDeathTest, OnlyLinuxHasAMapDirectory) {
  tStatus status = 0;
  EXPECT_DEATH(tFileSystemAdapter::getDRAVIMapDirectory(tFileSystemAdapter::kOS0, status), "");
}

}  // namespace
}  // namespace nDRAVI100
