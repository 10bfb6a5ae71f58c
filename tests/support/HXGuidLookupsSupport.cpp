#include "support/HXGuidLookupsSupport.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "host/Settings.h"
#include "lookups/HXGuidLookups.h"

namespace testsupport {

namespace {

using Knob = hostconfig::Knob;

std::string MakeDir(const std::string& path) {
  ::mkdir(path.c_str(), 0755);
  return path;
}

// The text between "<open>" and the next "]" after it, or "".
std::string Between(const std::string& s, const std::string& open) {
  size_t b = s.find(open);
  if (b == std::string::npos) return "";
  b += open.size();
  size_t e = s.find(']', b);
  return e == std::string::npos ? "" : s.substr(b, e - b);
}

}  // namespace

LookupSandbox::LookupSandbox()
    : config_({{Knob::kSettingsDir, MakeDir(dir_.file("settings"))},
               {Knob::kLockDir, MakeDir(dir_.file("locks"))},
               {Knob::kAppMgrTable, dir_.file("appmgr.tsv")},
               {Knob::kLogFile, dir_.file("guidlookups.log")},
               {Knob::kInstance, "Instance001"}}) {
  MakeDir(homeDir());
}

void LookupSandbox::WriteSettings(
    const std::vector<std::pair<std::string, std::string>>& eventManager, bool withHome) {
  std::ostringstream text;
  if (withHome) text << "[vTaskHost]\ndHOME=" << homeDir() << "\n";
  text << "[EventManager]\n";
  for (const auto& kv : eventManager) text << kv.first << "=" << kv.second << "\n";
  WriteSettingsText(text.str());
}

void LookupSandbox::WriteSettingsText(const std::string& text) { WriteFile(settingsFile(), text); }

long long LookupSandbox::EventManagerNumber(const std::string& name) const {
  HXPlatformInfo settings;
  settings.setFocus("Instance001");
  unsigned long value = 0;
  if (!settings.getNumber("EventManager", name.c_str(), &value)) return -1;
  return static_cast<long long>(value);
}

void LookupSandbox::WriteAppMgrTable(const std::vector<Row>& rows) {
  std::ostringstream text;
  for (const auto& r : rows)
    text << std::get<2>(r) << "\t" << std::get<1>(r) << "\t" << std::get<0>(r) << "\n";
  WriteFile(appMgrFile(), text.str());
}

void LookupSandbox::MakeCacheDb(const std::vector<Row>& rows) {
  MakeDir(homeDir() + "/JobResults");
  MakeDir(cacheDir());
  MakeGuidDb(cacheDir(), rows);
}

void ResetLookupProcessState() {
  CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshUndecided);
  shouldFetchGUIDTable.store(true);
  bIsExchGuid.store(true);
  GUIDFromName::SetGUIDRowSource(GUIDRowSource());
}

ScopedRowSource::ScopedRowSource(const std::vector<Row>& rows) {
  GUIDFromName::SetGUIDRowSource([rows](std::list<GUIDNameInfo>& out) {
    for (const auto& r : rows) {
      GUIDNameInfo info;
      info.name = std::get<0>(r);
      info.guid = std::get<1>(r);
      info.status = std::get<2>(r);
      out.push_back(info);
    }
    return 0;
  });
}

ScopedRowSource::ScopedRowSource(GUIDRowSource source) {
  GUIDFromName::SetGUIDRowSource(std::move(source));
}

ScopedRowSource::~ScopedRowSource() { GUIDFromName::SetGUIDRowSource(GUIDRowSource()); }

std::vector<Row> TaggedGroups(const std::string& tag, int groups, int perGroup) {
  std::vector<Row> rows;
  for (int g = 0; g < groups; ++g) {
    std::string guid = "{" + tag + "-" + std::to_string(g) + "}";
    rows.emplace_back("user" + std::to_string(g) + "@corp.test", guid, 1);
    for (int k = 1; k < perGroup; ++k)
      rows.emplace_back(tag + "-" + std::to_string(g) + "-" + std::to_string(k) + "@corp.test",
                        guid, 2);
  }
  return rows;
}

int RebuildFilesIn(const std::string& folder) {
  int count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir))
      if (std::string(entry->d_name).rfind(".GUIDDB.DAT.rebuild-", 0) == 0) ++count;
    closedir(dir);
  }
  return count;
}

std::vector<std::string> RebuildEvents(const CapturingLogWriter& log) {
  std::vector<std::string> events;
  for (const LogLine& line : log.lines()) {
    if (line.message.rfind("Adding, Guid=[", 0) == 0)
      events.push_back("A:" + Between(line.message, "Name=["));
    else if (line.message == "COMMIT successfully executed")
      events.push_back("C");
    else if (line.message == "BEGIN successfully executed")
      events.push_back("B");
    else if (line.message.rfind("Unable to add row with GUID [", 0) == 0)
      events.push_back("F:" + Between(line.message, "name ["));
  }
  return events;
}

}  // namespace testsupport
