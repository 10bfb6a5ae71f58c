// Every file the library replaces, under faults of the file system: a flush
// or rename that fails, and a crash at each step of the replacement. The
// file under its name must always be the previous one or the new one, whole.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "host/Settings.h"
#include "lookups/CacheKey.h"
#include "lookups/GUIDTable.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/refresh/Download.h"
#include "lookups/refresh/JobMarker.h"
#include "lookups/refresh/TableRebuild.h"
#include "lookups/refresh/Validator.h"
#include "lookups/snapshot/SharedSnapshot.h"
#include "support/FaultFileSystem.h"
#include "support/HXGuidLookupsSupport.h"

namespace {

using testsupport::FaultFileSystem;
using testsupport::LookupSandbox;
using testsupport::Row;
using Step = FaultFileSystem::Step;

const std::vector<Row> kOldRows = {{"old@corp.test", "{old-1}", 1}};
const std::vector<Row> kNewRows = {{"new@corp.test", "{new-1}", 1},
                                   {"two@corp.test", "{new-2}", 1}};
const std::list<GUIDNameInfo> kNewList = {{1, "{new-1}", "new@corp.test"},
                                          {1, "{new-2}", "two@corp.test"}};

// One sandbox per run: every run starts from the previous file.
struct Scene {
  LookupSandbox sandbox;
  std::string hb() const { return sandbox.root() + "/hb"; }
  // The cache and settings for a local copy from the control server's
  // folder, which holds kNewRows.
  void LocalCopySettings(const std::string& eventManager = "") {
    std::filesystem::create_directories(hb());
    testsupport::MakeGuidDb(hb(), kNewRows);
    sandbox.WriteSettingsText("[vTaskHost]\ndHOME=" + sandbox.homeDir() + "\n[EventManager]\n" +
                              eventManager +
                              "\n[Base]\nnHXPlatformType=1\ndMORVAXSQLLITEDBDIR=" + hb() + "\n");
  }
};

// A snapshot of one group, "{<tag>}" named "<tag>@x".
bool WriteSnapshot(const std::string& folder, const std::string& tag) {
  GuidGroup group{"{" + tag + "}",
                  {cachekey::Form(tag + "@x")},
                  {{1, SGuidRecord(tag + "@x", "{" + tag + "}", 1)}}};
  SharedSnapshotBuilder builder(true, false);
  std::string error;
  if (!builder.Begin(folder, &error)) return false;
  builder.Take(group);
  builder.Finish(recordInfo_t());
  return builder.Install(SharedSnapshot::PathFor(folder, true, false), SSnapshotSource(), &error);
}

struct Replaced {
  const char* name;
  bool database;
  std::function<std::string(const LookupSandbox&)> path;
  std::function<void(Scene&)> makeOld;
  std::function<bool(Scene&)> replace;  // true when it reports the new file in place
};

const std::vector<Replaced>& Cases() {
  static const std::vector<Replaced> cases = {
      {"rebuilt table", true, [](const LookupSandbox& s) { return s.dbFile(); },
       [](Scene& s) { s.sandbox.MakeCacheDb(kOldRows); },
       [](Scene& s) {
         return RebuildGuidTable(s.sandbox.cacheDir(), RowsOf(kNewList), SRebuildOptions())
             .replaced;
       }},
      {"downloaded table", true, [](const LookupSandbox& s) { return s.dbFile(); },
       [](Scene& s) {
         s.sandbox.MakeCacheDb(kOldRows);
         s.LocalCopySettings();
       },
       [](Scene& s) {
         std::string error;
         return DownloadGuidDatabase(s.sandbox.cacheDir(), error, nullptr);
       }},
      {"settings file", false, [](const LookupSandbox& s) { return s.settingsFile(); },
       [](Scene& s) {
         s.sandbox.WriteSettings({{"nX", "1"}});
       },
       [](Scene&) { return HXPlatformInfo().setNumber("EventManager", "nX", 2) != 0; }},
      {"job marker", false, [](const LookupSandbox& s) { return s.markerFile(); },
       [](Scene& s) {
         s.sandbox.MakeCacheDb(kOldRows);
         WriteJobMarker(s.sandbox.markerFile(), 1);
       },
       [](Scene& s) { return WriteJobMarker(s.sandbox.markerFile(), 2); }},
      {"validator", false,
       [](const LookupSandbox& s) { return s.cacheDir() + "/GUIDDB.VALIDATOR"; },
       [](Scene& s) {
         s.sandbox.MakeCacheDb(kOldRows);
         WriteDownloadValidator(s.sandbox.cacheDir(), s.sandbox.dbFile(),
                                {"\"v1\"", "", "", "", ""});
       },
       [](Scene& s) {
         WriteDownloadValidator(s.sandbox.cacheDir(), s.sandbox.dbFile(),
                                {"\"v2\"", "", "", "", ""});
         return testsupport::ReadFile(s.sandbox.cacheDir() + "/GUIDDB.VALIDATOR").find("v2") !=
                std::string::npos;
       }},
      {"snapshot", false,
       [](const LookupSandbox& s) { return SharedSnapshot::PathFor(s.cacheDir(), true, false); },
       [](Scene& s) {
         s.sandbox.MakeCacheDb(kOldRows);
         WriteSnapshot(s.sandbox.cacheDir(), "old");
       },
       [](Scene& s) { return WriteSnapshot(s.sandbox.cacheDir(), "new"); }},
  };
  return cases;
}

// What the file holds: its rows for a database (or why it is unusable),
// else its bytes; "missing" when it is not there.
std::string Fingerprint(const std::string& path, bool database) {
  if (!std::filesystem::exists(path)) return "missing";
  if (!database) return testsupport::ReadFile(path);
  const std::string why = CGuidDB::VerifyFile(path);
  if (!why.empty()) return "unusable: " + why;
  std::string rows;
  for (const Row& r : testsupport::ReadAllRows(path))
    rows += std::get<0>(r) + " " + std::get<1>(r) + " " + std::to_string(std::get<2>(r)) + "\n";
  return rows;
}

// `path` under `root`, seen under `image`.
std::string InImage(const std::string& path, const std::string& root, const std::string& image) {
  return image + path.substr(root.size());
}

class ReplacedFilesTest : public testsupport::FreshLookupProcessTest {
 protected:
  std::string NextImage() { return images_.file(std::to_string(++images_count_)); }

  testsupport::ScopedLogCapture log_;
  testsupport::TempDir images_;
  int images_count_ = 0;
};

TEST_F(ReplacedFilesTest, FailedFlushOrRenameIsReportedAndLeavesThePreviousFile) {
  const std::pair<FaultFileSystem::Op, int> faults[] = {{FaultFileSystem::Op::kFsync, EIO},
                                                        {FaultFileSystem::Op::kRename, EACCES}};
  for (const Replaced& c : Cases()) {
    for (const auto& fault : faults) {
      SCOPED_TRACE(std::string(c.name) + (fault.second == EIO ? ", flush" : ", rename"));
      Scene scene;
      c.makeOld(scene);
      const std::string file = c.path(scene.sandbox);
      const std::string before = Fingerprint(file, c.database);
      FaultFileSystem fs;
      fs.FailFrom(fault.first, fault.second);
      EXPECT_FALSE(c.replace(scene));
      EXPECT_GE(fs.calls(fault.first), 1);
      EXPECT_EQ(Fingerprint(file, c.database), before);
    }
  }
}

TEST_F(ReplacedFilesTest, CrashAtAnyStepLeavesThePreviousOrTheNewFileWhole) {
  for (const Replaced& c : Cases()) {
    for (Step step : {Step::kWritten, Step::kFlushed, Step::kRenamed, Step::kFolderFlushed}) {
      int crashes = 0;
      for (int nth = 1;; ++nth) {
        SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(static_cast<int>(step)) +
                     ", time " + std::to_string(nth));
        Scene scene;
        c.makeOld(scene);
        const std::string file = c.path(scene.sandbox);
        const std::string before = Fingerprint(file, c.database);
        const std::string image = NextImage();
        bool replaced = false;
        {
          FaultFileSystem fs;
          fs.CrashAt(step, nth, scene.sandbox.root(), image);
          replaced = c.replace(scene);
          if (!fs.crashed()) break;
        }
        ++crashes;
        ASSERT_TRUE(replaced);
        const std::string after = Fingerprint(file, c.database);
        ASSERT_NE(after, before);
        const std::string crashed =
            Fingerprint(InImage(file, scene.sandbox.root(), image), c.database);
        EXPECT_TRUE(crashed == before || crashed == after) << crashed;
      }
      EXPECT_GE(crashes, 1) << c.name << " never reached step " << static_cast<int>(step);
    }
  }
}

// The refresh time says the table is fresh: a crash must never leave it
// recorded beside a table the crash took back.
TEST_F(ReplacedFilesTest, RefreshTimeIsNeverRecordedForATableACrashCouldLose) {
  const std::string old = std::to_string(static_cast<long>(time(nullptr)) - 2 * 86400);
  struct Way {
    const char* name;
    std::function<void(Scene&)> set;
  } ways[] = {{"rebuild",
               [&](Scene& s) {
                 s.sandbox.WriteAppMgrTable(kNewRows);
                 s.sandbox.WriteSettings(
                     {{"getSqlLiteDbFromHB", "0"}, {"nLastGuidNameTableRefreshTime", old}});
               }},
              {"download", [&](Scene& s) {
                 s.LocalCopySettings("getSqlLiteDbFromHB=1\nnLastGuidNameTableRefreshTime=" + old);
               }}};
  for (const Way& way : ways) {
    int claimed = 0;  // images that hold a new refresh time
    for (Step step : {Step::kWritten, Step::kFlushed, Step::kRenamed, Step::kFolderFlushed}) {
      for (int nth = 1;; ++nth) {
        SCOPED_TRACE(std::string(way.name) + ", step " + std::to_string(static_cast<int>(step)) +
                     ", time " + std::to_string(nth));
        testsupport::ResetLookupProcessState();
        Scene scene;
        scene.sandbox.MakeCacheDb(kOldRows);
        way.set(scene);
        const std::string image = NextImage();
        {
          FaultFileSystem fs;
          fs.CrashAt(step, nth, scene.sandbox.root(), image);
          CHXGuidLookups service;
          service.guidCacheDir = scene.sandbox.cacheDir();
          service.jobId = 77;
          CGuidDB db;
          ASSERT_TRUE(service.UpdateGUIDDB(db)) << log_->dump();
          if (!fs.crashed()) break;
        }
        const std::string root = scene.sandbox.root();
        const std::string settings =
            testsupport::ReadFile(InImage(scene.sandbox.settingsFile(), root, image));
        // The refresh removes the time before it starts and records the new
        // one when done; only a new time claims a fresh table.
        const std::string line = "nLastGuidNameTableRefreshTime=";
        const size_t at = settings.find(line);
        if (at == std::string::npos ||
            settings.compare(at, line.size() + old.size(), line + old) == 0)
          continue;
        ++claimed;
        EXPECT_EQ(Fingerprint(InImage(scene.sandbox.dbFile(), root, image), true),
                  Fingerprint(scene.sandbox.dbFile(), true))
            << settings;
      }
    }
    EXPECT_GE(claimed, 1) << way.name;
  }
}

}  // namespace
