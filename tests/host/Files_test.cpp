// Tests of the host file helpers.
#include "host/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

class FilesTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(FilesTest, ReadWholeFileRefusesWhatIsNotARegularFile) {
  std::string content, error;
  WriteFile(dir_.file("plain"), std::string("a\0b", 3));
  ASSERT_TRUE(hostfs::ReadWholeFile(dir_.file("plain"), content, &error)) << error;
  EXPECT_EQ(content, std::string("a\0b", 3));

  EXPECT_FALSE(hostfs::ReadWholeFile(dir_.file("missing"), content, &error));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(error, dir_.file("missing") + ": cannot open (No such file or directory)");

  // A FIFO without a writer would block an ordinary open for ever.
  ASSERT_EQ(mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(hostfs::ReadWholeFile(dir_.file("fifo"), content, &error));
  EXPECT_EQ(error, dir_.file("fifo") + ": not a regular file");
  EXPECT_FALSE(hostfs::ReadWholeFile(dir_.path(), content, &error));
  EXPECT_EQ(error, dir_.path() + ": not a regular file");
}

TEST_F(FilesTest, AtomicWriteThroughAChainOfLinksKeepsEveryLink) {
  ASSERT_EQ(mkdir(dir_.file("a").c_str(), 0755), 0);
  WriteFile(dir_.file("a/target"), "old");
  ASSERT_EQ(chmod(dir_.file("a/target").c_str(), 0600), 0);
  ASSERT_EQ(symlink("target", dir_.file("a/inner").c_str()), 0);
  ASSERT_EQ(symlink("a/inner", dir_.file("outer").c_str()), 0);
  EXPECT_EQ(hostfs::ResolveLinks(dir_.file("outer")), dir_.file("a/target"));

  std::string error;
  ASSERT_TRUE(hostfs::AtomicWriteFile(dir_.file("outer"), "new", &error)) << error;
  struct stat st;
  ASSERT_EQ(lstat(dir_.file("outer").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(lstat(dir_.file("a/inner").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(dir_.file("a/target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadFile(dir_.file("a/target")), "new");
}

TEST_F(FilesTest, AbandonedReplacementLeavesTheOldFileAndNoTemporary) {
  WriteFile(dir_.file("f"), "old");
  std::string error;
  const bool replaced = hostfs::AtomicReplace(
      dir_.file("f"),
      [](int fd) {
        hostfs::WriteAll(fd, "partial", 7);
        errno = ENOSPC;
        return false;
      },
      &error);
  const int err = errno;
  EXPECT_FALSE(replaced);
  EXPECT_EQ(err, ENOSPC) << error;
  EXPECT_EQ(ReadFile(dir_.file("f")), "old");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"f"});
}

}  // namespace
