#include "lookups/snapshot/SharedSnapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "lookups/GUIDTable.h"
#include "lookups/ProcessFlags.h"
#include "lookups/StaticCache.h"
#include "lookups/refresh/TableRebuild.h"
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
  // The log lines (source line included) and dump of a load, without the
  // line that gives its time.
  std::vector<std::string> LoadLines(size_t from) {
    std::vector<std::string> lines;
    auto all = log_->lines();
    for (size_t i = from; i < all.size(); ++i)
      if (all[i].message.rfind("Cache filled in", 0) != 0)
        lines.push_back(std::to_string(all[i].level) + all[i].tag + ":" +
                        std::to_string(all[i].line) + " " + all[i].message);
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
      // The load that streams the snapshot and the one that maps it log
      // and dump as the in-heap one does.
      mark = log_->lines().size();
      ASSERT_EQ(written.fastload(dir_.path(), proxy, true), 0);
      EXPECT_EQ(LoadLines(mark), heapLines);
      EXPECT_EQ(Dump().substr(dumpAt + heapDump.size()), heapDump);
      mark = log_->lines().size();
      ASSERT_EQ(mapped.fastload(dir_.path(), proxy, true), 0);
      EXPECT_EQ(LoadLines(mark), heapLines);
      EXPECT_EQ(Dump().substr(dumpAt + 2 * heapDump.size()), heapDump);
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
  for (bool proxy : {true, false}) {
    StaticCache first;
    ASSERT_EQ(first.fastload(dir_.path(), proxy, false), 0);
  }
  const std::string good = testsupport::ReadFile(snapshot());
  const std::string otherProxy = testsupport::ReadFile(snapshot(true, true));
  std::string otherCases = good;
  otherCases[104] = static_cast<char>(otherCases[104] ^ 1);  // the case table's fingerprint
  SharedSnapshot::Reseal(&otherCases[0], otherCases.size());
  auto write = [&](const std::string& bytes, mode_t mode) {
    ::unlink(snapshot().c_str());
    std::ofstream(snapshot(), std::ios::binary) << bytes;
    ::chmod(snapshot().c_str(), mode);
  };
  std::string garbage(good.size(), '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 131 + 7);
  std::string sealedGarbage = good.substr(0, 192) + garbage.substr(192);
  std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"truncated", [&] { write(good.substr(0, good.size() / 2), 0644); }},
      {"longer", [&] { write(good + "tail", 0644); }},
      {"garbage", [&] { write(garbage, 0644); }},
      {"group-writable", [&] { write(good, 0664); }},
      {"writable by others", [&] { write(good, 0646); }},
      {"built with the other proxy flag", [&] { write(otherProxy, 0644); }},
      {"written under another case table", [&] { write(otherCases, 0644); }},
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
  std::memcpy(&slotsAt, good.data() + 144, 8);
  std::memcpy(&slotCount, good.data() + 152, 8);
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

// Names of `folder` that hold ".tmp": temporary snapshots.
std::vector<std::string> Temporaries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().find(".tmp") != std::string::npos)
      names.push_back(entry.path().filename().string());
  return names;
}

// Something that is not a regular file in the snapshot's place is the
// operator's to remove: one line, the table in-heap, the thing left alone.
TEST_F(SharedSnapshotTest, NonFileInTheSnapshotsPlaceCostsOneLineAndStays) {
  MakeGuidDb(dir_.path(), {{"Ann@x", "{1-1}", 1}});
  const std::vector<std::pair<const char*, std::function<int()>>> places = {
      {"a folder", [&] { return ::mkdir(snapshot().c_str(), 0755); }},
      {"a link", [&] { return ::symlink(dir_.file("elsewhere").c_str(), snapshot().c_str()); }},
      {"a FIFO", [&] { return ::mkfifo(snapshot().c_str(), 0600); }},
  };
  for (const auto& [what, make] : places) {
    SCOPED_TRACE(what);
    ASSERT_EQ(make(), 0);
    log_->clear();
    StaticCache cache;
    ASSERT_EQ(cache.fastload(dir_.path(), false, false), 0);
    EXPECT_EQ(log_->count(snapshot()), 1);
    EXPECT_EQ(log_->count("must be removed by hand"), 1);
    EXPECT_FALSE(cache.mapped());
    GuidRecordMap out;
    EXPECT_TRUE(cache.find("ann@x", out));
    struct stat st;
    ASSERT_EQ(::lstat(snapshot().c_str(), &st), 0);
    EXPECT_FALSE(S_ISREG(st.st_mode));
    EXPECT_EQ(Temporaries(dir_.path()), std::vector<std::string>());
    std::filesystem::remove(snapshot());
  }
}

// A write that fails part-way through the streamed load (here the file size
// limit, as a full disk would): one line, the table read again in-heap,
// nothing left behind.
TEST_F(SharedSnapshotTest, SnapshotWriteFailingPartWayFallsBackToTheInHeapLoad) {
  MakeGuidDb(dir_.path(), testsupport::NumberedGroupRows(300));
  const pid_t child = testsupport::ForkChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16384, 16384};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 9;
    StaticCache cache;
    if (cache.fastload(dir_.path(), false, false) != 0 || cache.mapped()) return 1;
    for (int g = 0; g < 300; ++g) {
      GuidRecordMap out;
      if (!cache.find(testsupport::NumberedGroupName(g, 0), out) ||
          out.size() != static_cast<size_t>(testsupport::NumberedGroupSize(g)))
        return 2;
    }
    if (log_->count("Could not write the shared table snapshot " + snapshot()) != 1) return 3;
    if (!Temporaries(dir_.path()).empty() || ::access(snapshot().c_str(), F_OK) == 0) return 4;
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(child), 0);
}

// Every single-bit flip of a slot's offsets and of a group's bytes (a bit a
// byte, in turn) gives each key its own answer or "not found", never
// another's or a garbled one; Verify names the damage, and the lookups
// that met it are counted.
TEST_F(SharedSnapshotTest, DamagedSlotOrGroupNeverAnswersAndVerifyNamesIt) {
  MakeGuidDb(dir_.path(), testsupport::LoaderEdgeRows());
  StaticCache heap;
  {
    ScopedSnapshotSetting off(false);
    ASSERT_EQ(heap.fastload(dir_.path(), true, false), 0);
  }
  {
    StaticCache writer;
    ASSERT_EQ(writer.fastload(dir_.path(), true, false), 0);
  }
  const std::string good = testsupport::ReadFile(snapshot(true, true));
  std::vector<std::pair<std::string, GuidRecordMap>> answers;
  heap.entries.forEachByFrequency([&](const MFU_Node_Type<MFC_Cache_Value_Type>& n) {
    answers.emplace_back(n.name, *n.value.map);
  });
  uint64_t groupsEnd = 0, slotsAt = 0, slotCount = 0;
  std::memcpy(&groupsEnd, good.data() + 136, 8);
  std::memcpy(&slotsAt, good.data() + 144, 8);
  std::memcpy(&slotCount, good.data() + 152, 8);
  std::vector<size_t> bits;  // bit offsets into the file
  for (uint64_t i = 0; i < slotCount; ++i)
    for (size_t bit = 32; bit < 96; ++bit) bits.push_back((slotsAt + i * 12) * 8 + bit);
  for (size_t at = 192; at < groupsEnd; ++at) bits.push_back(at * 8 + at % 8);
  for (size_t bit : bits) {
    std::string image = good;
    image[bit / 8] = static_cast<char>(image[bit / 8] ^ (1 << (bit % 8)));
    auto damaged = SharedSnapshot::FromBytes(image.data(), image.size(), nullptr);
    ASSERT_TRUE(damaged);
    // An empty slot's key offset is never read.
    const size_t byte = bit / 8;
    const bool emptySlot = byte >= slotsAt && good.compare(slotsAt + (byte - slotsAt) / 12 * 12 + 4,
                                                           4, std::string(4, '\0')) == 0;
    for (const auto& [key, records] : answers) {
      GuidRecordMap out;
      if (damaged->Find(key, out)) {
        ASSERT_EQ(out, records) << key.substr(0, 20) << " bit " << bit;
      }
    }
    if (!emptySlot) {
      EXPECT_GT(damaged->damageSeen(), 0u) << "bit " << bit;
    }
    if (!emptySlot || (bit - slotsAt * 8) % 96 < 64) {
      EXPECT_NE(damaged->Verify(), "") << "bit " << bit;
    }
  }

  // Through the cache: damage costs one line however often it is met, and
  // shows in the statistics.
  std::string image = good;
  for (uint64_t i = 0; i < slotCount; ++i) image[slotsAt + i * 12 + 8] ^= 0x10;  // key offsets
  ::unlink(snapshot(true, true).c_str());
  testsupport::WriteFile(snapshot(true, true), image);
  ::chmod(snapshot(true, true).c_str(), 0644);
  StaticCache mapped;
  ASSERT_EQ(mapped.fastload(dir_.path(), true, false), 0);
  ASSERT_TRUE(mapped.mapped());
  for (const auto& [key, records] : answers) {
    GuidRecordMap out;
    EXPECT_FALSE(mapped.find(key, out)) << key.substr(0, 20);
  }
  EXPECT_EQ(mapped.GetStatistics().snapshotDamage, answers.size());
  EXPECT_EQ(log_->count("is damaged"), 1);
}

// A group that offers a key none of its names makes fails the snapshot,
// and nothing of it is written.
TEST_F(SharedSnapshotTest, GroupOfferingAForeignKeyFailsTheSnapshot) {
  GuidGroup group{"{G}", {"A@X", "B@X"}, {{1, SGuidRecord("a@x", "{G}", 1)}}};
  SharedSnapshotBuilder builder(true, false);
  ASSERT_TRUE(builder.Begin(dir_.path(), nullptr));
  builder.Take(group);
  builder.Finish(recordInfo_t());
  std::string why;
  EXPECT_FALSE(builder.Install(snapshot(), SSnapshotSource(), &why));
  EXPECT_EQ(why, "a key is neither its group's GUID nor one of its names");
  EXPECT_EQ(Temporaries(dir_.path()), std::vector<std::string>());
}

// A group whose key list names a record one past its last is refused by
// every reader, not read.
TEST_F(SharedSnapshotTest, KeyIndexPastTheRecordsIsRefused) {
  GuidGroup group{"{G}", {"A@X"}, {{1, SGuidRecord("a@x", "{G}", 1)}}};
  SharedSnapshotBuilder builder(true, false);
  ASSERT_TRUE(builder.Begin(dir_.path(), nullptr));
  builder.Take(group);
  builder.Finish(recordInfo_t());
  ASSERT_TRUE(builder.Install(snapshot(), SSnapshotSource(), nullptr));
  std::string image = testsupport::ReadFile(snapshot());
  uint64_t groupsEnd = 0;
  std::memcpy(&groupsEnd, image.data() + 136, 8);
  ASSERT_EQ(image[groupsEnd - 2], 2);  // the key list: record 0's name, then its end
  for (char which : {char(2), char(3)}) {
    image[groupsEnd - 2] = which;
    SharedSnapshot::Reseal(&image[0], image.size());
    auto snap = SharedSnapshot::FromBytes(image.data(), image.size(), nullptr);
    ASSERT_TRUE(snap);
    GuidRecordMap out;
    const bool sound = which == 2;
    EXPECT_EQ(snap->Find("A@X", out), sound);
    EXPECT_EQ(snap->Verify().empty(), sound);
    EXPECT_EQ(snap->ForEachGroup([](const SSnapshotGroup&) {}), sound);
  }
}

// The table changed in ways that keep its size and modification time (an
// in-place edit, a copy over it, then the time set back): every later load
// answers from the new table.
TEST_F(SharedSnapshotTest, TableChangedInPlaceWithItsTimeSetBackIsSeen) {
  testsupport::TempDir edited, copied, other;
  MakeGuidDb(other.path(), {{"Smith, Jbhn", "{2-2}", 1}});
  const std::string copy = testsupport::ReadFile(other.file(GUIDDB_NAME));
  const std::vector<std::pair<const testsupport::TempDir*, std::function<void(const std::string&)>>>
      changes = {
          {&edited,
           [](const std::string& db) {
             testsupport::ExecSql(db, "UPDATE GUID SET Name = 'Smith, Jbhn';");
           }},
          {&copied, [&](const std::string& db) { testsupport::WriteFile(db, copy); }},
      };
  for (const auto& change : changes)
    MakeGuidDb(change.first->path(), {{"Smith, Jahn", "{2-2}", 1}});
  // Settled tables, so that only their identity vouches for the snapshots.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  for (const auto& [folder, change] : changes) {
    const std::string db = folder->file(GUIDDB_NAME);
    {
      StaticCache first;
      ASSERT_EQ(first.fastload(folder->path(), false, false), 0);
      ASSERT_TRUE(first.mapped());
    }
    struct stat before, after;
    ASSERT_EQ(::stat(db.c_str(), &before), 0);
    change(db);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, db.c_str(), times, 0), 0);
    ASSERT_EQ(::stat(db.c_str(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_ino, before.st_ino);
    StaticCache next;
    ASSERT_EQ(next.fastload(folder->path(), false, false), 0);
    GuidRecordMap out;
    EXPECT_TRUE(next.find("smith, jbhn", out)) << folder->path();
    EXPECT_FALSE(next.find("smith, jahn", out)) << folder->path();
  }
}

// A snapshot of a table changed less than a timestamp tick before is
// trusted only while the table's content is what it was built from: a copy
// within the tick keeps every time, so the identity alone cannot tell.
TEST_F(SharedSnapshotTest, SnapshotOfAYoungTableIsTrustedOnlyOnItsContent) {
  MakeGuidDb(dir_.path(), {{"Smith, Jahn", "{2-2}", 1}});
  StaticCache first;
  ASSERT_EQ(first.fastload(dir_.path(), false, false), 0);
  auto snap = SharedSnapshot::Open(snapshot(), nullptr, nullptr);
  ASSERT_TRUE(snap);
  ASSERT_TRUE(snap->source().young);  // the table was just made
  SSnapshotSource sameTick = snap->source();
  sameTick.database = dir_.file(GUIDDB_NAME);
  EXPECT_EQ(snap->MismatchWith(sameTick), "");

  // Once the table has settled, the next load writes it anew as settled.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  StaticCache later;
  ASSERT_EQ(later.fastload(dir_.path(), false, false), 0);
  EXPECT_TRUE(later.mapped());
  auto settled = SharedSnapshot::Open(snapshot(), nullptr, nullptr);
  ASSERT_TRUE(settled);
  EXPECT_FALSE(settled->source().young);

  testsupport::ExecSql(sameTick.database, "UPDATE GUID SET Name = 'Smith, Jbhn';");
  EXPECT_NE(snap->MismatchWith(sameTick), "");
}

// Names compare under the case table of the load: a locale set after it
// (for the process or a thread) changes no answer of the mapped table, as
// it changes none of the in-heap one; and processes of two case tables each
// keep a snapshot of their own.
TEST_F(SharedSnapshotTest, CaseTableIsTheLoadsAndEachKeepsItsOwnSnapshot) {
  const std::string turkish = testsupport::MakeTurkishLocale(dir_.path());
  ASSERT_NE(turkish, "");
  MakeGuidDb(dir_.path(), {{"Bill@x", "{1-1}", 1}, {"\xe9t\xe9@x", "{2-2}", 1}});
  StaticCache heap, mapped;
  {
    ScopedSnapshotSetting off(false);
    ASSERT_EQ(heap.fastload(dir_.path(), false, false), 0);
  }
  ASSERT_EQ(mapped.fastload(dir_.path(), false, false), 0);
  ASSERT_TRUE(mapped.mapped());
  const std::vector<std::string> keys = {"BILL@X", "bill@x", "\xc9T\xc9@X", "\xe9t\xe9@x",
                                         "B\xddLL@X"};
  auto expectSame = [&] {
    for (const std::string& key : keys) ExpectSameAnswer(heap, mapped, key);
  };
  ASSERT_NE(::setlocale(LC_CTYPE, turkish.c_str()), nullptr);
  expectSame();
  // A copy of the process's locale (duplocale: newlocale with LOCPATH set
  // leaks glibc's path list) for a thread.
  locale_t locale = ::duplocale(LC_GLOBAL_LOCALE);
  ASSERT_NE(locale, nullptr);
  ASSERT_NE(::setlocale(LC_CTYPE, "C"), nullptr);
  std::thread([&] {
    ::uselocale(locale);
    expectSame();
    ::uselocale(LC_GLOBAL_LOCALE);
    ::freelocale(locale);
  }).join();

  // A process in each locale, twice over: each maps its own after the first.
  log_->clear();
  for (int round = 0; round < 2; ++round)
    for (const char* locale : {turkish.c_str(), "C"}) {
      ASSERT_NE(::setlocale(LC_CTYPE, locale), nullptr);
      StaticCache cache;
      ASSERT_EQ(cache.fastload(dir_.path(), false, false), 0);
      EXPECT_TRUE(cache.mapped());
    }
  ASSERT_NE(::setlocale(LC_CTYPE, "C"), nullptr);
  EXPECT_EQ(log_->count("is not used"), 0);
  EXPECT_EQ(SharedSnapshot::AllPaths(dir_.path()).size(), 2u);
}

// A writer killed before its rename leaves a temporary file; the next load
// removes it, mapped or not. A running writer's stays.
TEST_F(SharedSnapshotTest, TemporaryOfAWriterThatIsGoneIsRemovedByTheNextLoad) {
  MakeGuidDb(dir_.path(), {{"Ann@x", "{1-1}", 1}});
  const pid_t gone = testsupport::ForkChild([] { return 0; });
  ASSERT_EQ(testsupport::WaitChild(gone), 0);
  const std::string dead =
      dir_.file(SharedSnapshot::kTempPrefix + std::to_string(gone) + "-abcdef");
  const std::string old = dir_.file(".GUIDDB.DAT.exchange.snapshot.tmpAbC123");
  const std::string live =
      dir_.file(SharedSnapshot::kTempPrefix + std::to_string(::getpid()) + "-abcdef");
  for (int load = 0; load < 2; ++load) {  // the first writes the snapshot, the second maps it
    for (const std::string& path : {dead, old, live}) testsupport::WriteFile(path, "x");
    EXPECT_EQ(SharedSnapshot::Leftovers(dir_.path()).size(), 3u);
    StaticCache cache;
    ASSERT_EQ(cache.fastload(dir_.path(), false, false), 0);
    EXPECT_TRUE(cache.mapped());
    EXPECT_EQ(SharedSnapshot::Leftovers(dir_.path()), std::vector<std::string>{live});
  }
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
