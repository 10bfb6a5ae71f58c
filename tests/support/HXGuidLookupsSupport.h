// A sandbox for the lookup service: settings, locks, the agent's home folder,
// the application manager's table and a log file, all in one temporary
// folder that the process points at for the scope of the object.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/AppMgrClient.h"
#include "lookups/HXGuidLookups.h"
#include "support/TestSupport.h"

namespace testsupport {

// One settings file: section -> ordered (name, value) pairs.
using SettingsSections =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

class LookupSandbox {
 public:
  // Points the settings folder, lock folder, application manager's table,
  // log file and instance of this process into the sandbox. Writes no
  // settings file.
  LookupSandbox();
  LookupSandbox(const LookupSandbox&) = delete;
  LookupSandbox& operator=(const LookupSandbox&) = delete;

  const std::string& root() const { return dir_.path(); }
  std::string settingsDir() const { return dir_.file("settings"); }
  std::string settingsFile() const { return settingsDir() + "/Instance001.ini"; }
  std::string lockDir() const { return dir_.file("locks"); }
  std::string homeDir() const { return dir_.file("home"); }
  // Where Initialize puts GUIDDB.DAT: "<home>/JobResults/GUIDCacheDir".
  std::string cacheDir() const { return homeDir() + "/JobResults/GUIDCacheDir"; }
  std::string dbFile() const { return cacheDir() + "/" GUIDDB_NAME; }
  std::string markerFile() const { return cacheDir() + "/GUIDDB.JOB"; }
  std::string appMgrFile() const { return dir_.file("appmgr.tsv"); }
  std::string logFile() const { return dir_.file("guidlookups.log"); }

  // Writes the settings file: "[vTaskHost] dHOME=<home>" (when withHome) and
  // the given "EventManager" values, each "name=value" verbatim.
  void WriteSettings(const std::vector<std::pair<std::string, std::string>>& eventManager,
                     bool withHome = true);
  // Writes the settings file as given, verbatim.
  void WriteSettingsText(const std::string& text);
  // A stored EventManager number, or -1 when missing.
  long long EventManagerNumber(const std::string& name) const;

  // The application manager's export: "status<TAB>GUID<TAB>name" lines.
  void WriteAppMgrTable(const std::vector<Row>& rows);
  // Creates the cache folder and GUIDDB.DAT holding `rows` as given.
  void MakeCacheDb(const std::vector<Row>& rows);

 private:
  TempDir dir_;
  ScopedConfig config_;
};

// Puts back the process-wide state of the lookup service as the library
// starts: refresh state undecided, downloads allowed, Exchange agent, no
// registered row source.
void ResetLookupProcessState();

// A fixture whose tests each start, and leave, the lookup service as a fresh
// process has it.
class FreshLookupProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLookupProcessState(); }
  void TearDown() override { ResetLookupProcessState(); }
};

// A fresh process with a sandbox whose table comes from the application manager.
class LookupServiceTest : public FreshLookupProcessTest {
 protected:
  using Values = std::vector<std::pair<std::string, std::string>>;
  void FreshSettings(Values extra = {}) {  // refreshed a minute ago
    extra.emplace_back("nLastGuidNameTableRefreshTime", std::to_string(time(nullptr) - 60));
    StaleSettings(std::move(extra));
  }
  void StaleSettings(Values extra = {}) {  // never refreshed: a rebuild is due
    extra.emplace_back("getSqlLiteDbFromHB", "0");
    sandbox.WriteSettings(extra);
  }
  // `service` in private mode over `rows` as job `jobId`, nothing to refresh.
  void StartPrivate(CHXGuidLookups& service, const std::vector<Row>& rows, uint64_t jobId) {
    FreshSettings();
    sandbox.MakeCacheDb(rows);
    ASSERT_FALSE(service.Initialize(jobId, 0, false, true, nullptr).IsError());
  }

  LookupSandbox sandbox;
};

// Registers `rows` as the application manager's table for the scope.
class ScopedRowSource {
 public:
  explicit ScopedRowSource(const std::vector<Row>& rows);
  explicit ScopedRowSource(GUIDRowSource source);
  ~ScopedRowSource();
  ScopedRowSource(const ScopedRowSource&) = delete;
  ScopedRowSource& operator=(const ScopedRowSource&) = delete;
};

// The files of rebuilds under way (or dead) in `folder`.
int RebuildFilesIn(const std::string& folder);

// A database that refuses to add the rows named `refused` (as the row
// source gives the name), as a full index or a bad page would; everything
// else is the real CGuidDB.
class RefusingGuidDB : public CGuidDB {
 public:
  explicit RefusingGuidDB(std::string refused) : refused_(std::move(refused)) {}
  int Add(SGuidRecord* record) override {
    return record->name == refused_ ? -1 : CGuidDB::Add(record);
  }

 private:
  std::string refused_;
};

// A database that reports the row named `dropped` as added without storing
// it, as a lost write would; everything else is the real CGuidDB.
class UnderReportingGuidDB : public CGuidDB {
 public:
  explicit UnderReportingGuidDB(std::string dropped) : dropped_(std::move(dropped)) {}
  int Add(SGuidRecord* record) override {
    return record->name == dropped_ ? 0 : CGuidDB::Add(record);
  }

 private:
  std::string dropped_;
};

// Rows of `groups` GUIDs, `perGroup` rows each: GUID "{<tag>-<g>}", names
// "user<g>@corp.test" (status 1) and "<tag>-<g>-<k>@corp.test" (status 2).
std::vector<Row> TaggedGroups(const std::string& tag, int groups, int perGroup);

// The sequence of rebuild events in a capture: "A:<name>" for each
// "Adding, ..." line, "C" for each successful COMMIT, "B" for each successful
// BEGIN, "F:<name>" for each failed Add of the rebuild.
std::vector<std::string> RebuildEvents(const CapturingLogWriter& log);

}  // namespace testsupport
