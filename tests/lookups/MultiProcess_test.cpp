// Several processes resolve addresses in private mode while another process
// rebuilds the table: every answer is a whole group of the old table or of
// the new one, no lookup fails, and no process meets a locked database.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "host/FXString.h"
#include "lookups/HXGuidLookups.h"
#include "support/HXGuidLookupsSupport.h"

namespace {

using testsupport::ForkChild;
using testsupport::LookupSandbox;
using testsupport::ReadFile;
using testsupport::ScopedRowSource;
using testsupport::TaggedGroups;
using testsupport::WaitChild;

constexpr int kGroups = 1000;
constexpr int kOldGroupSize = 3;  // rows per GUID in the old table ("v1")
constexpr int kNewGroupSize = 4;  // and in the new one ("v2")
constexpr int kReaders = 3;

// Reader exit codes.
enum ReaderResult {
  kReaderOk = 0,
  kLookupFailed = 20,
  kPartialAnswer = 21,
  kMixedAnswer = 22,
  kNeverSawNewTable = 23,
  kNeverSawOldTable = 24,
  kSetUpFailed = 25,
  kSignalFailed = 26,
};

// Which table a complete answer for group `g` comes from: 1 or 2; 0 for an
// answer that is not one whole group of either.
int TableOf(const GuidRecordMap& records, int g) {
  if (records.empty()) return 0;
  std::string first = records.begin()->second.guid;
  FXString::ReplaceAll(first, "X", "-", 0);
  int version = first == "{v1-" + std::to_string(g) + "}"   ? 1
                : first == "{v2-" + std::to_string(g) + "}" ? 2
                                                            : 0;
  if (version == 0) return 0;
  size_t expected = version == 1 ? kOldGroupSize : kNewGroupSize;
  if (records.size() != expected) return 0;
  const std::string guid = "{v" + std::to_string(version) + "-" + std::to_string(g) + "}";
  const std::string alias = "v" + std::to_string(version) + "-" + std::to_string(g) + "-";
  bool firstRecord = true;
  for (const auto& entry : records) {
    const SGuidRecord& r = entry.second;
    if (!firstRecord && r.guid != guid) return 0;
    firstRecord = false;
    if (r.name != "user" + std::to_string(g) + "@corp.test" && r.name.rfind(alias, 0) != 0)
      return 0;
  }
  return version;
}

class MultiProcessTest : public testsupport::FreshLookupProcessTest {
 protected:
  std::string DoneFile() const { return sandbox.root() + "/rebuild.done"; }

  // One reader process: resolves addresses until it has seen the new table
  // after the rebuild ended. Signals `readyFd` after its first lookup, which
  // takes the process's refresh decision (the table is fresh: no refresh).
  int Reader(int index, int readyFd) {
    SetLogWriter(MakeDefaultLogWriter());
    CHXGuidLookups service;
    if (service.Initialize(100 + index, 0, false, true, nullptr).IsError()) return kSetUpFailed;
    bool sawOld = false;
    bool sawNew = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (unsigned i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
      int g = static_cast<int>((i * 7919u + static_cast<unsigned>(index) * 131u) % kGroups);
      std::string address = "user" + std::to_string(g) + "@corp.test";
      GuidRecordMap records;
      if (!service.Lookup(address, records, false)) return kLookupFailed;
      if (records.empty()) return kPartialAnswer;
      int version = TableOf(records, g);
      if (version == 0) return kMixedAnswer;
      sawOld = sawOld || version == 1;
      sawNew = sawNew || version == 2;
      if (i == 0) {
        char byte = 1;
        if (write(readyFd, &byte, 1) != 1) return kSignalFailed;
        close(readyFd);
      }
      if (sawNew && access(DoneFile().c_str(), F_OK) == 0) break;
    }
    if (!sawOld) return kNeverSawOldTable;
    if (!sawNew) return kNeverSawNewTable;
    return kReaderOk;
  }

  // The rebuilding process: a job that asks for a refresh.
  int Rebuilder() {
    testsupport::ScopedConfig level(hostconfig::Knob::kLogLevel, "2");
    SetLogWriter(MakeDefaultLogWriter());
    ScopedRowSource source(TaggedGroups("v2", kGroups, kNewGroupSize));
    CHXGuidLookups service;
    if (service.Initialize(99, GuidRefreshJobFlag, false, true, nullptr).IsError()) return 30;
    std::string address = "user7@corp.test";
    GuidRecordMap records;
    if (!service.Lookup(address, records, false)) return 31;
    return TableOf(records, 7) == 2 ? 0 : 32;
  }

  LookupSandbox sandbox;
};

TEST_F(MultiProcessTest, ReadersNeverSeeAPartialTableWhileAnotherProcessRebuilds) {
  testsupport::ScopedConfig level(hostconfig::Knob::kLogLevel, "1");
  sandbox.WriteSettings({{"getSqlLiteDbFromHB", "0"},
                         {"nLastGuidNameTableRefreshTime", std::to_string(time(nullptr) - 60)},
                         // Most lookups miss and reach the database.
                         {"AddressCacheMemorySize", "2"},
                         // Many commits: many moments at which a reader could
                         // see a partial table if it could read at all.
                         {"nTotalNumberOfRecordsToCommit", "50"}});
  sandbox.MakeCacheDb(TaggedGroups("v1", kGroups, kOldGroupSize));

  std::vector<pid_t> readers;
  std::vector<int> readyFds;
  for (int r = 0; r < kReaders; ++r) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    readers.push_back(ForkChild([&, r] {
      close(fds[0]);
      return Reader(r, fds[1]);
    }));
    close(fds[1]);
    readyFds.push_back(fds[0]);
  }
  // Every reader has decided (no refresh) before the rebuild starts.
  bool allReady = true;
  for (int fd : readyFds) {
    pollfd pfd{fd, POLLIN, 0};
    char byte = 0;
    allReady = allReady && poll(&pfd, 1, 30000) == 1 && read(fd, &byte, 1) == 1;
    close(fd);
  }
  pid_t rebuilder = allReady ? ForkChild([&] { return Rebuilder(); }) : -1;
  int rebuilt = rebuilder > 0 ? WaitChild(rebuilder) : -1;
  testsupport::WriteFile(DoneFile(), "");
  std::vector<int> results;
  for (pid_t pid : readers) results.push_back(WaitChild(pid));

  ASSERT_TRUE(allReady);
  EXPECT_EQ(0, rebuilt);
  for (int r = 0; r < kReaders; ++r) EXPECT_EQ(kReaderOk, results[r]) << "reader " << r;

  std::string log = ReadFile(sandbox.logFile());
  EXPECT_NE(std::string::npos, log.find("[" + std::to_string(kGroups * kNewGroupSize) +
                                        "] rows inserted into local guid_name table."));
  EXPECT_EQ(std::string::npos, log.find("locked")) << log.substr(0, 4000);
  EXPECT_EQ(std::string::npos, log.find("Failed to find a match"));
  EXPECT_EQ(std::string::npos, log.find("Unable to"));
  EXPECT_EQ(static_cast<size_t>(kGroups * kNewGroupSize),
            testsupport::ReadAllRows(sandbox.dbFile()).size());
}

}  // namespace
