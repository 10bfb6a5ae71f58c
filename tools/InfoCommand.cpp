// guidlookup info: the state of this machine's GUID table in one screen.
//
// Reads only: the database is opened read-only, the settings and the job
// marker are read, and the refresh decision is computed without acting on it.
// The library's set-up is not called, since it would create the GUID cache
// folder; nothing is created or written.
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
  const std::string folder = GuidCacheDir(context);
  const std::string database = DatabasePath(folder);

  Field("settings file", context.settingsFile.empty() ? std::string("none (no settings folder)")
                                                      : context.settingsFile);
  Field("home (dHOME)", context.home);
  Field("log file", context.logFile.empty() ? std::string("none") : context.logFile);

  std::string failure;
  struct stat st;
  if (stat(database.c_str(), &st) != 0) {
    Field("database", database + " (missing)");
    failure = "no database at " + database +
              (FXFolder::DoesFolderExist(folder) ? std::string()
                                                 : " (the folder " + folder + " does not exist)") +
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

  // A number the library cannot read counts as missing; the operator sees
  // the text and what applies instead.
  NumberSetting last = ReadNumberSetting("nLastGuidNameTableRefreshTime", 0);
  std::string text = NotANumber(last, "taken as never refreshed");
  if (text.empty())
    text = last.valid ? FormatLocalAndUtc(static_cast<int64_t>(last.value)) + ", " +
                            std::to_string(last.value)
                      : "never";
  Field("last refresh", text);
  NumberSetting interval = ReadNumberSetting("SmtpGuidTableRefreshInterval", 1440);
  text = NotANumber(interval, "the default 1440 minutes applies");
  if (text.empty())
    text = interval.value == 0
               ? std::string("0 (refreshing by time is off)")
               : std::to_string(interval.value) + " minutes" + (interval.valid ? "" : " (default)");
  Field("refresh interval", text);
  Field("refresh source", DescribeRefreshSource(ReadNumberSetting("getSqlLiteDbFromHB", 1)));

  const std::string marker = folder + "/" GUID_JOB_MARKER_NAME;
  unsigned long jobId = 0;
  if (ReadJobMarker(marker, jobId))
    Field("job marker", marker + ": job " + std::to_string(jobId));
  else
    Field("job marker", marker + (FXFile::DoesFileExist(marker) ? ": holds no job id" : ": none"));

  std::string reason;
  GuidRefreshState decision = IsSQLiteRefreshNeeded(reason, 0, marker, 0);
  Field("next refresh",
        std::string(decision == RefreshNeeded ? "due" : "not due") + ": " + PlainReason(reason));

  if (!failure.empty()) throw ToolError(kExitFailure, failure);
  return kExitOk;
}

}  // namespace guidlookup
