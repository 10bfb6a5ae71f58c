#include "lookups/SharedSnapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "lookups/ProcessFlags.h"
#include "lookups/StaticCache.h"
#include "lookups/TableRebuild.h"
#include "support/StaticCacheSupport.h"
#include "support/TestSupport.h"

namespace {

using testsupport::MakeGuidDb;
using testsupport::ScopedSnapshotSetting;

class SharedSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { bIsExchGuid = true; }
  void TearDown() override { bIsExchGuid = true; }

  std::string snapshot(bool exchange = true, bool proxy = false) const {
    return SharedSnapshot::PathFor(dir_.path(), exchange, proxy);
  }
  // The in-heap answer and the mapped one for `key` agree.
  static void ExpectSameAnswer(StaticCache& heap, StaticCache& mapped, const std::string& key) {
    GuidRecordMap a, b;
    const bool foundA = heap.find(key, a), foundB = mapped.find(key, b);
    EXPECT_EQ(foundA, foundB) << key.substr(0, 40);
    EXPECT_EQ(a, b) << key.substr(0, 40);
  }
  // The log lines and dump of a load, without the line that gives its time.
  std::vector<std::string> LoadLines(size_t from) {
    std::vector<std::string> lines;
    auto all = log_->lines();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].message.rfind("Cache filled in", 0) != 0)
        lines.push_back(std::to_string(all[i].level) + all[i].tag + all[i].message);
    return lines;
  }
  std::string Dump() const { return testsupport::ReadFile(dir_.file("CIDumpCache.log")); }

  testsupport::TempDir dir_;
  testsupport::ScopedConfig config_{{hostconfig::Knob::kLockDir, dir_.path()},
                                    {hostconfig::Knob::kLogFile, ""},
                                    {hostconfig::Knob::kLogDir, dir_.path()}};
  testsupport::ScopedLogCapture log_;
};

// Every key of the in-heap load, in its own and in other cases, cut and
// absent probes: the mapped snapshot (as written and as mapped by a later
// load) answers each alike, and writes the same log lines and dump.
TEST_F(SharedSnapshotTest, MappedLoadAnswersLikeTheInHeapLoad) {
  MakeGuidDb(dir_.path(), testsupport::LoaderEdgeRows());
  for (bool lotus : {false, true}) {
    for (bool proxy : {false, true}) {
      SCOPED_TRACE(std::string(lotus ? "notes" : "exchange") + (proxy ? " proxy" : ""));
      bIsExchGuid = !lotus;
      StaticCache heap, written, mapped;
      size_t mark = log_->lines().size();
      const size_t dumpAt = Dump().size();
      {
        ScopedSnapshotSetting off(false);
        ASSERT_EQ(heap.fastload(dir_.path(), proxy, true), 0);
      }
      const std::vector<std::string> heapLines = LoadLines(mark);
      const std::string heapDump = Dump().substr(dumpAt);
      ASSERT_EQ(written.fastload(dir_.path(), proxy, false), 0);
      mark = log_->lines().size();
      ASSERT_EQ(mapped.fastload(dir_.path(), proxy, true), 0);
      EXPECT_EQ(LoadLines(mark), heapLines);
      EXPECT_EQ(Dump().substr(dumpAt + heapDump.size()), heapDump);
      EXPECT_FALSE(heap.mapped());
      EXPECT_TRUE(written.mapped());
      EXPECT_TRUE(mapped.mapped());
      EXPECT_EQ(mapped.keyCount(), heap.keyCount());
      EXPECT_EQ(mapped.GetStatistics().rows, heap.GetStatistics().rows);
      EXPECT_EQ(mapped.GetStatistics().bytesMapped,
                SharedSnapshot::Open(snapshot(!lotus, proxy), nullptr, nullptr)->sizeBytes());
      EXPECT_EQ(heap.GetStatistics().bytesMapped, 0u);

      std::vector<std::string> probes = {"",
                                         "nobody@x",
                                         "{AB-1}",
                                         "{ab-1}",
                                         "cn=x/o=y",
                                         std::string(10239, 'L') + "@X",
                                         std::string(10400, 'l')};
      heap.entries.forEachByFrequency([&](const MFU_Node_Type<MFC_Cache_Value_Type>& n) {
        probes.push_back(n.name);
        std::string lower = n.name, mixed = n.name;
        for (size_t i = 0; i < lower.size(); ++i) {
          lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
          if (i % 2) mixed[i] = lower[i];
        }
        probes.push_back(lower);
        probes.push_back(mixed);
        probes.push_back(n.name + "x");
      });
      for (const std::string& key : probes) {
        ExpectSameAnswer(heap, written, key);
        ExpectSameAnswer(heap, mapped, key);
      }
    }
  }
}

TEST_F(SharedSnapshotTest, HostileSnapshotsAreRefusedAndReplaced) {
  MakeGuidDb(dir_.path(), testsupport::LoaderEdgeRows());
  StaticCache heap;
  {
    ScopedSnapshotSetting off(false);
    ASSERT_EQ(heap.fastload(dir_.path(), false, false), 0);
  }
  {
    StaticCache first;
    ASSERT_EQ(first.fastload(dir_.path(), false, false), 0);
  }
  const std::string good = testsupport::ReadFile(snapshot());
  auto write = [&](const std::string& bytes, mode_t mode) {
    ::unlink(snapshot().c_str());
    std::ofstream(snapshot(), std::ios::binary) << bytes;
    ::chmod(snapshot().c_str(), mode);
  };
  std::string garbage(good.size(), '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
  std::string sealedGarbage = good.substr(0, 152) + garbage.substr(152);
  std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"truncated", [&] { write(good.substr(0, good.size() / 2), 0644); }},
      {"longer", [&] { write(good + "tail", 0644); }},
      {"garbage", [&] { write(garbage, 0644); }},
      {"group-writable", [&] { write(good, 0664); }},
      {"a link",
       [&] {
         ::unlink(snapshot().c_str());
         ASSERT_EQ(::symlink(dir_.file("elsewhere").c_str(), snapshot().c_str()), 0);
       }},
  };
  if (::geteuid() == 0)
    cases.push_back({"another owner", [&] {
                       write(good, 0644);
                       ASSERT_EQ(::chown(snapshot().c_str(), 65534, 65534), 0);
                     }});
  for (auto& [what, make] : cases) {
    SCOPED_TRACE(what);
    make();
    StaticCache cache;
    ASSERT_EQ(cache.fastload(dir_.path(), false, false), 0);
    EXPECT_EQ(log_->count("The shared table snapshot " + snapshot() + " is not used"), 1);
    log_->clear();
    ExpectSameAnswer(heap, cache, "ann@example.com");
    std::string why;
    EXPECT_TRUE(SharedSnapshot::Open(snapshot(), nullptr, &why)) << why;  // replaced
  }

  // Damage past a sound header: a garbage body; slots that keep their tags
  // but name offsets past the end; a table with no empty slot and no
  // matching tag (a probe cycle).
  uint64_t slotsAt = 0, slotCount = 0;
  std::memcpy(&slotsAt, good.data() + 104, 8);
  std::memcpy(&slotCount, good.data() + 112, 8);
  std::string pastEnd = good, cycle = good;
  for (uint64_t i = 0; i < slotCount; ++i) {
    const size_t at = slotsAt + i * 12;
    std::memset(&pastEnd[at + 4], 0xf0, 8);
    cycle[at] = static_cast<char>(cycle[at] ^ 1);
    if (cycle.compare(at + 4, 4, std::string(4, '\0')) == 0) cycle[at + 4] = 1;
  }
  for (std::string* image : {&sealedGarbage, &pastEnd, &cycle}) {
    auto damaged = SharedSnapshot::FromBytes(image->data(), image->size(), nullptr);
    ASSERT_TRUE(damaged);
    GuidRecordMap out{{5, SGuidRecord("keep", "g", 5)}};
    EXPECT_FALSE(damaged->Find("ANN@EXAMPLE.COM", out));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_NE(damaged->Verify(), "");
  }
  EXPECT_EQ(SharedSnapshot::FromBytes(good.data(), good.size(), nullptr)->Verify(), "");
}

TEST_F(SharedSnapshotTest, SnapshotThatCannotBeWrittenCostsOneLineAndLeavesNothing) {
  MakeGuidDb(dir_.path(), {{"Ann@x", "{1-1}", 1}});
  ASSERT_EQ(::mkdir(snapshot().c_str(), 0755), 0);  // nothing can be renamed over it
  StaticCache cache;
  ASSERT_EQ(cache.fastload(dir_.path(), false, false), 0);
  EXPECT_EQ(log_->count("Could not write the shared table snapshot " + snapshot()), 1);
  EXPECT_FALSE(cache.mapped());
  GuidRecordMap out;
  EXPECT_TRUE(cache.find("ann@x", out));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.find(".tmp") != std::string::npos; }),
            0);
}

// Another process replaces the table: the next load maps the new one, and a
// load made before keeps answering from what it mapped.
TEST_F(SharedSnapshotTest, RefreshByAnotherProcessIsSeenByTheNextLoadOnly) {
  MakeGuidDb(dir_.path(), {{"Old@x", "{1-1}", 1}});
  StaticCache before;
  ASSERT_EQ(before.fastload(dir_.path(), false, false), 0);
  const pid_t refresher = testsupport::ForkChild([&] {
    std::list<GUIDNameInfo> rows = {{1, "{2-2}", "New@x"}};
    return RebuildGuidTable(dir_.path(), RowsOf(rows)).replaced ? 0 : 1;
  });
  ASSERT_EQ(testsupport::WaitChild(refresher), 0);
  EXPECT_NE(::access(snapshot().c_str(), F_OK), 0);  // the refresh removed the stale one
  const pid_t next = testsupport::ForkChild([&] {
    StaticCache cache;
    GuidRecordMap out;
    return cache.fastload(dir_.path(), false, false) == 0 && cache.mapped() &&
                   cache.find("new@x", out) && !cache.find("old@x", out)
               ? 0
               : 1;
  });
  EXPECT_EQ(testsupport::WaitChild(next), 0);
  GuidRecordMap out;
  EXPECT_TRUE(before.find("old@x", out));
  EXPECT_FALSE(before.find("new@x", out));
}

TEST_F(SharedSnapshotTest, ConcurrentProcessesBuildOneSnapshotAndAnswerAlike) {
  MakeGuidDb(dir_.path(), testsupport::NumberedGroupRows(300));
  std::vector<pid_t> children;
  const std::string inodes = dir_.file("inodes");
  for (int i = 0; i < 4; ++i)
    children.push_back(testsupport::ForkChild([&] {
      StaticCache cache;
      if (cache.fastload(dir_.path(), false, false) != 0 || !cache.mapped()) return 1;
      for (int g = 0; g < 300; ++g) {
        GuidRecordMap out;
        if (!cache.find(testsupport::NumberedGroupName(g, 0), out) ||
            out.size() != static_cast<size_t>(testsupport::NumberedGroupSize(g)))
          return 2;
      }
      struct stat st;
      if (::stat(snapshot().c_str(), &st) != 0) return 3;
      std::ofstream(inodes, std::ios::app) << st.st_ino << "\n";
      return 0;
    }));
  for (pid_t child : children) EXPECT_EQ(testsupport::WaitChild(child), 0);
  std::ifstream in(inodes);
  std::vector<std::string> seen;
  for (std::string line; std::getline(in, line);) seen.push_back(line);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 4);
  size_t files = 0;
  for (const auto& path : SharedSnapshot::AllPaths(dir_.path()))
    files += ::access(path.c_str(), F_OK) == 0;
  EXPECT_EQ(files, 1u);
}

}  // namespace
