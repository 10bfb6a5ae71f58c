// Tests of the one way the library writes a file aside and renames it in,
// and of the real calls under it.
#include "host/StagedFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "host/FileSystem.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

class StagedFileTest : public ::testing::Test {
 protected:
  bool Exists(const std::string& name) const {
    return ::access(dir_.file(name).c_str(), F_OK) == 0;
  }
  unsigned ModeOf(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  TempDir dir_;
};

// A pid whose process has ended.
pid_t DeadPid() {
  const pid_t pid = testsupport::ForkChild([] { return 0; });
  testsupport::WaitChild(pid);
  return pid;
}

TEST_F(StagedFileTest, LeftoversAreRemovedByTheRuleAsked) {
  const std::string dead = ".p-" + std::to_string(DeadPid()) + "-abc";
  const std::string mine = ".p-" + std::to_string(::getpid()) + "-abc";
  const std::string other = "GUIDDB.DAT";
  struct Case {
    hostfs::Leftovers which;
    bool deadGoes, mineGoes;
  } cases[] = {{hostfs::Leftovers::kKeep, false, false},
               {hostfs::Leftovers::kWriterGone, true, false},
               {hostfs::Leftovers::kAll, true, true}};
  for (const Case& c : cases) {
    for (const std::string& name : {dead, mine, other}) WriteFile(dir_.file(name), "x");
    hostfs::StagedFileOptions options;
    options.prefix = ".p-";
    options.withPid = true;
    options.leftovers = c.which;
    hostfs::StagedFile staged;
    ASSERT_TRUE(staged.Create(dir_.path(), options).ok());
    EXPECT_EQ(staged.path().rfind(dir_.file(mine.substr(0, mine.size() - 3)), 0), 0u)
        << staged.path();
    EXPECT_EQ(Exists(dead), !c.deadGoes) << static_cast<int>(c.which);
    EXPECT_EQ(Exists(mine), !c.mineGoes) << static_cast<int>(c.which);
    EXPECT_TRUE(Exists(other));
  }
}

// The final mode is exact whatever the umask; without one the umask narrows
// the creation mode, as for any file the process makes.
TEST_F(StagedFileTest, FinalModeIsExactAndCreationModeFollowsTheUmask) {
  const mode_t saved = ::umask(077);
  struct Case {
    int finalMode;
    unsigned expected;
  } cases[] = {{0644, 0644}, {-1, 0600}};
  for (const Case& c : cases) {
    const std::string destination = dir_.file("out" + std::to_string(c.finalMode));
    hostfs::StagedFileOptions options;
    options.prefix = ".out.tmp";
    options.finalMode = c.finalMode;
    hostfs::StagedFile staged;
    ASSERT_TRUE(staged.Create(dir_.path(), options).ok());
    EXPECT_EQ(ModeOf(staged.path()), 0600u);
    ASSERT_TRUE(staged.Write("new", 3).ok());
    ASSERT_TRUE(staged.Flush().ok());
    ASSERT_TRUE(staged.Install(destination).ok());
    EXPECT_EQ(ModeOf(destination), c.expected) << c.finalMode;
    EXPECT_EQ(ReadFile(destination), "new");
  }
  ::umask(saved);
}

TEST_F(StagedFileTest, InstallKeepsALinkAndAbandonTakesSqlitesFiles) {
  WriteFile(dir_.file("target"), "old");
  ASSERT_EQ(::symlink("target", dir_.file("link").c_str()), 0);
  {
    hostfs::StagedFile staged;
    ASSERT_TRUE(staged.Create(dir_.path(), {".link.tmp"}).ok());
    ASSERT_TRUE(staged.Write("new", 3).ok());
    ASSERT_TRUE(staged.Flush().ok());
    ASSERT_TRUE(staged.Install(dir_.file("link")).ok());
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link")));
  EXPECT_EQ(ReadFile(dir_.file("target")), "new");

  std::string abandoned;
  {
    hostfs::StagedFile staged;
    hostfs::StagedFileOptions options{".db.tmp"};
    options.sqlite = true;
    ASSERT_TRUE(staged.Create(dir_.path(), options).ok());
    abandoned = staged.path();
    for (const char* suffix : {"-journal", "-wal", "-shm"}) WriteFile(abandoned + suffix, "j");
  }
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"link", "target"}));
}

TEST_F(StagedFileTest, CopyFromTakesAWholeRegularFileOnly) {
  std::string big(3 << 16, 'x');  // more than one buffer, should the kernel refuse to copy
  for (size_t i = 0; i < big.size(); i += 4097) big[i] = static_cast<char>('a' + i % 26);
  WriteFile(dir_.file("source"), big);
  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  hostfs::StagedFile staged;
  ASSERT_TRUE(staged.Create(dir_.path(), {".copy.tmp"}).ok());
  ASSERT_TRUE(staged.Write("head:", 5).ok());
  ASSERT_TRUE(staged.CopyFrom(dir_.file("source")).ok());
  ASSERT_TRUE(staged.Flush().ok());
  EXPECT_EQ(ReadFile(staged.path()), "head:" + big);

  hostfs::StagedFile refused;
  ASSERT_TRUE(refused.Create(dir_.path(), {".refused.tmp"}).ok());
  for (const char* name : {"fifo", "missing", "."}) {
    const Status status = refused.CopyFrom(dir_.file(name));
    EXPECT_FALSE(status.ok()) << name;
    EXPECT_NE(status.sysError(), 0) << name;
  }
}

// The production calls reach the kernel: each reports the kernel's refusal.
TEST(RealFileSystemTest, EachCallReportsTheKernelsErrno) {
  TempDir dir;
  WriteFile(dir.file("there"), "x");
  hostfs::FileSystem& fs = hostfs::FileSystemInUse();
  int fd = -1;
  EXPECT_EQ(fs.CreateExclusive(dir.file("there"), 0600, fd), EEXIST);
  EXPECT_EQ(fs.Fsync(-1), EBADF);
  EXPECT_EQ(fs.Fdatasync(-1), EBADF);
  EXPECT_EQ(fs.Rename(dir.file("missing"), dir.file("other")), ENOENT);
  EXPECT_EQ(fs.SyncFolder(dir.file("missing")), ENOENT);
  ASSERT_EQ(fs.CreateExclusive(dir.file("new"), 0600, fd), 0);
  EXPECT_EQ(fs.Fsync(fd), 0);
  EXPECT_EQ(fs.Fdatasync(fd), 0);
  ::close(fd);
  EXPECT_EQ(fs.Rename(dir.file("new"), dir.file("there")), 0);
  EXPECT_EQ(fs.SyncFolder(dir.path()), 0);
}

}  // namespace
