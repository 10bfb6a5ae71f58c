// The web root's releases in process, through the fault file system: a full
// disk or an I/O error at any call, and a crash at any step, leave a live
// release that is whole against its manifest.
#include "tools/Releases.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "host/Files.h"
#include "support/FaultFileSystem.h"
#include "support/GuidDBSupport.h"
#include "support/TestSupport.h"

namespace {

using guidlookup::Release;
using guidlookup::ReleaseStore;
using testsupport::FaultFileSystem;

class ReleasesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.file("www");
    std::filesystem::create_directories(root_);
    for (const char* name : {"a", "b"}) {
      std::filesystem::create_directories(dir_.file(name));
      std::vector<testsupport::Row> rows;
      for (int i = 0; i < 500; ++i)
        rows.push_back(testsupport::Row{name + std::to_string(i) + "@t.test",
                                        "{" + std::to_string(i) + "}", 1});
      testsupport::MakeGuidDb(dir_.file(name), rows);
    }
  }
  // Publishes table `name` into `root`; "" when it failed.
  std::string Publish(const std::string& root, const char* name) {
    hostfs::ScopedFd table(::open((dir_.file(name) + "/GUIDDB.DAT").c_str(), O_RDONLY));
    try {
      ReleaseStore store(root);
      store.Lock();
      return store.Publish(table.get(), 500, 500);
    } catch (const guidlookup::ToolError&) {
      return std::string();
    }
  }
  // Whether the live release of `root` is `id` and whole.
  static ::testing::AssertionResult LiveAndWhole(const std::string& root, const std::string& id) {
    ReleaseStore store(root);
    if (store.LiveId() != id) return ::testing::AssertionFailure() << "live: " << store.LiveId();
    for (const Release& r : store.List())
      if (r.live && !store.Verify(r).empty())
        return ::testing::AssertionFailure() << store.Verify(r);
    return ::testing::AssertionSuccess();
  }

  testsupport::TempDir dir_;
  std::string root_;
};

TEST_F(ReleasesTest, FailedCallLeavesTheLiveReleaseAndNothingHalfMade) {
  const std::string live = Publish(root_, "a");
  ASSERT_FALSE(live.empty());
  struct Case {
    FaultFileSystem::Op op;
    int err;
    int nth;
  };
  const Case cases[] = {
      {FaultFileSystem::Op::kCreate, ENOSPC, 1}, {FaultFileSystem::Op::kCreate, ENOSPC, 3},
      {FaultFileSystem::Op::kFsync, ENOSPC, 1},  {FaultFileSystem::Op::kFsync, EIO, 3},
      {FaultFileSystem::Op::kRename, EIO, 1},    {FaultFileSystem::Op::kRename, EXDEV, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.op)) + " " + std::to_string(c.nth));
    {
      FaultFileSystem fs;
      fs.FailFrom(c.op, c.err, c.nth);
      EXPECT_EQ(Publish(root_, "b"), "");
    }
    EXPECT_TRUE(LiveAndWhole(root_, live));
    EXPECT_EQ(ReleaseStore(root_).List().size(), 1u);
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/releases"))
      EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
}

// A crash at any point leaves the old release live or the new one, each
// whole; the next publish goes on from what the crash left.
TEST_F(ReleasesTest, CrashAtAnyStepLeavesAWholeLiveRelease) {
  const std::string old = Publish(root_, "a");
  ASSERT_FALSE(old.empty());
  int images = 0;
  for (auto step : {FaultFileSystem::Step::kWritten, FaultFileSystem::Step::kFlushed,
                    FaultFileSystem::Step::kRenamed, FaultFileSystem::Step::kFolderFlushed}) {
    for (int nth = 1;; ++nth) {
      const std::string image = dir_.file("image" + std::to_string(images));
      std::string made;
      bool crashed = false;
      {
        FaultFileSystem fs;
        fs.CrashAt(step, nth, root_, image);
        made = Publish(root_, "b");
        crashed = fs.crashed();
      }
      ASSERT_FALSE(made.empty());
      {
        // The real root goes back to the old release for the next round.
        ReleaseStore store(root_);
        store.Lock();
        store.MakeLive(old);
      }
      if (!crashed) break;
      ++images;
      SCOPED_TRACE("step " + std::to_string(static_cast<int>(step)) + ", time " +
                   std::to_string(nth));
      const std::string live = ReleaseStore(image).LiveId();
      EXPECT_TRUE(live == old || live == made) << live;
      EXPECT_TRUE(LiveAndWhole(image, live));
      EXPECT_FALSE(Publish(image, "a").empty());
      EXPECT_TRUE(LiveAndWhole(image, ReleaseStore(image).LiveId()));
    }
  }
  EXPECT_GT(images, 8);
}

}  // namespace
