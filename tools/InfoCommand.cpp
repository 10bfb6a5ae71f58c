// guidlookup info: the state of this machine's GUID table in one screen.
//
// Reads only: the database is opened read-only, the settings and the job
// marker are read, and the refresh decision is computed without acting on it.
#include <sys/stat.h>

#include <iomanip>
#include <iostream>

#include "host/FXString.h"
#include "host/SQLite3.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

void Field(const char* name, const std::string& value) {
  std::cout << std::left << std::setw(18) << (std::string(name) + ":") << OneLine(value) << "\n";
}

}  // namespace

int RunInfo(const ToolContext& context) {
  RequireHome(context);
  CHXGuidLookups lookups;
  InitializeForPaths(lookups, 0, 0, true);
  const std::string database = DatabasePath(lookups);

  Field("settings file", context.settingsFile);
  Field("home (dHOME)", context.home);
  Field("log file", context.logFile);

  std::string failure;
  struct stat st;
  if (stat(database.c_str(), &st) != 0) {
    Field("database", database + " (missing)");
    failure = "no database at " + database +
              "; import a directory export with 'guidlookup import FILE' or run 'guidlookup "
              "refresh'";
  } else {
    Field("database", database);
    Field("size", std::to_string(static_cast<long long>(st.st_size)) + " bytes");
    long rows = 0, guids = 0;
    std::string error;
    if (CountRows(database, rows, guids, error)) {
      Field("rows", std::to_string(rows));
      Field("distinct GUIDs", std::to_string(guids));
    } else {
      Field("rows", "unreadable: " + error);
    }
    std::string why = CGuidDB::VerifyFile(database);
    Field("integrity", why.empty() ? "ok" : "FAILED: " + why);
    if (!why.empty()) failure = "the database " + database + " failed its check: " + why;
  }

  bool found = false;
  unsigned long last = SettingNumber("nLastGuidNameTableRefreshTime", 0, &found);
  Field("last refresh",
        found ? FormatLocalAndUtc(static_cast<int64_t>(last)) + ", " + std::to_string(last)
              : "never");
  unsigned long interval = SettingNumber("SmtpGuidTableRefreshInterval", 1440, &found);
  Field("refresh interval",
        interval == 0 ? std::string("0 (refreshing by time is off)")
                      : std::to_string(interval) + " minutes" + (found ? "" : " (default)"));
  unsigned long source = SettingNumber("getSqlLiteDbFromHB", 1, &found);
  Field("refresh source", DescribeRefreshSource(source, found));

  const std::string marker = lookups.jobMarkerPath();
  unsigned long jobId = 0;
  if (ReadJobMarker(marker, jobId))
    Field("job marker", marker + ": job " + std::to_string(jobId));
  else
    Field("job marker", marker + (FXFile::DoesFileExist(marker) ? ": holds no job id" : ": none"));

  std::string reason;
  GuidRefreshState decision = IsSQLiteRefreshNeeded(reason, 0, marker, 0);
  Field("next refresh", std::string(decision == RefreshNeeded ? "due" : "not due") + ": " + reason);

  if (!failure.empty()) throw ToolError(kExitFailure, failure);
  return kExitOk;
}

}  // namespace guidlookup
