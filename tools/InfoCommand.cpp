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
#include "lookups/refresh/JobMarker.h"
#include "lookups/refresh/Validator.h"
#include "lookups/snapshot/SharedSnapshot.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

// Prints each field as text at once, or collects it for one JSON document.
class InfoOutput {
 public:
  explicit InfoOutput(bool json) : json_(json) {}
  void Field(const char* name, const std::string& text) {
    if (!json_)
      std::cout << std::left << std::setw(18) << (std::string(name) + ":") << OneLine(text) << "\n";
  }
  JsonObject& document() { return document_; }
  bool json() const { return json_; }

 private:
  bool json_;
  JsonObject document_;
};

JsonObject NumberJson(const NumberSetting& setting) {
  JsonObject object;
  if (setting.valid)
    object.addNumber("value", static_cast<unsigned long long>(setting.value));
  else
    object.addNull("value");
  object.addBool("set", setting.present);
  if (setting.present) object.add("text", setting.text).addBool("isNumber", setting.valid);
  return object;
}

}  // namespace

int RunInfo(const ToolContext& context, bool json) {
  RequireHome(context);
  const std::string folder = GuidCacheDir(context);
  const std::string database = DatabasePath(folder);
  InfoOutput out(json);
  JsonObject& doc = out.document();

  out.Field("settings file", context.settingsFile.empty() ? std::string("none (no settings folder)")
                                                          : context.settingsFile);
  if (context.settingsFile.empty())
    doc.addNull("settingsFile");
  else
    doc.add("settingsFile", context.settingsFile);
  out.Field("home (dHOME)", context.home);
  doc.add("home", context.home);
  out.Field("log file", context.logFile.empty() ? std::string("none") : context.logFile);
  if (context.logFile.empty())
    doc.addNull("logFile");
  else
    doc.add("logFile", context.logFile);

  std::string failure;
  JsonObject db;
  db.add("path", database);
  struct stat st;
  if (stat(database.c_str(), &st) != 0) {
    out.Field("database", database + " (missing)");
    db.addBool("exists", false);
    failure = "no database at " + database +
              (FXFolder::DoesFolderExist(folder) ? std::string()
                                                 : " (the folder " + folder + " does not exist)") +
              "; import a directory export with 'guidlookup import FILE' or run 'guidlookup "
              "refresh'";
  } else {
    out.Field("database", database);
    db.addBool("exists", true);
    out.Field("size", std::to_string(static_cast<long long>(st.st_size)) + " bytes");
    db.addNumber("sizeBytes", static_cast<long long>(st.st_size));
    long rows = 0, guids = 0;
    std::string error;
    if (CGuidDB::CountFile(database, rows, guids, error)) {
      out.Field("rows", std::to_string(rows));
      out.Field("distinct GUIDs", std::to_string(guids));
      db.addNumber("rows", static_cast<long long>(rows));
      db.addNumber("distinctGuids", static_cast<long long>(guids));
    } else {
      out.Field("rows", "unreadable: " + error);
      db.addNull("rows").addNull("distinctGuids").add("rowsError", OneLine(error));
    }
    std::string why = CGuidDB::VerifyFile(database);
    out.Field("integrity", why.empty() ? "ok" : "FAILED: " + why);
    db.add("integrity", why.empty() ? std::string("ok") : OneLine(why));
    if (!why.empty()) failure = "the database " + database + " failed its check: " + why;
    // The control server's release the table is, as the last refresh
    // recorded it for this very file; no scan here (check does that).
    const SDownloadValidator recorded = ReadDownloadValidator(folder, database);
    if (recorded.release.empty()) {
      out.Field("release", "not known (no refresh by release recorded for this file)");
      db.addNull("release").addNull("digest");
    } else {
      out.Field("release", recorded.release);
      out.Field("digest", recorded.digest);
      db.add("release", recorded.release).add("digest", recorded.digest);
    }
  }
  doc.addRaw("database", db.str());

  // The shared-mode snapshots beside the database; a missing one is no
  // finding (the next shared-mode load writes it).
  std::vector<std::string> snapshots;
  for (const std::string& path : SharedSnapshot::AllPaths(folder)) {
    std::string why;
    std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, nullptr, &why);
    if (!snapshot && why.empty()) continue;
    JsonObject item;
    item.add("path", path);
    if (!snapshot) {
      out.Field("snapshot", path + " (not usable: " + why + ")");
      snapshots.push_back(item.addBool("usable", false).add("reason", OneLine(why)).str());
      continue;
    }
    const SSnapshotSource& built = snapshot->source();
    // Judged as a load of its own options and case table would judge it.
    SSnapshotSource now;
    bool current = SSnapshotSource::Of(folder, built.exchange, built.addProxySmtp, now);
    now.caseTable = built.caseTable;
    current = current && snapshot->MismatchWith(now).empty();
    const std::string from = "device " + std::to_string(built.device) + ", inode " +
                             std::to_string(built.inode) + ", " + std::to_string(built.size) +
                             " bytes, modified " + FormatIso8601(built.mtimeSec);
    out.Field("snapshot", path + (current ? " (current)" : " (stale: the table was replaced)"));
    out.Field("  built from", std::string(built.exchange ? "Exchange" : "Lotus Notes") +
                                  (built.addProxySmtp ? " keys with proxy addresses" : " keys") +
                                  " of " + database + " (" + from + ")");
    out.Field("  size", std::to_string(snapshot->sizeBytes()) + " bytes, " +
                            std::to_string(snapshot->keyCount()) + " keys, " +
                            std::to_string(snapshot->rowCount()) + " rows");
    snapshots.push_back(
        item.addBool("usable", true)
            .addBool("current", current)
            .add("loader", built.exchange ? "exchange" : "notes")
            .addBool("proxyAddresses", built.addProxySmtp)
            .add("builtFrom", from)
            .addNumber("sizeBytes", static_cast<unsigned long long>(snapshot->sizeBytes()))
            .addNumber("keys", static_cast<unsigned long long>(snapshot->keyCount()))
            .addNumber("rows", static_cast<unsigned long long>(snapshot->rowCount()))
            .str());
  }
  if (snapshots.empty()) out.Field("snapshot", "none");
  doc.addRaw("snapshots", JsonArray(snapshots));
  // Temporary snapshots of writers that were stopped before their rename;
  // the next shared-mode load removes those whose writer is gone.
  std::vector<std::string> leftovers;
  for (const std::string& path : SharedSnapshot::Leftovers(folder)) {
    struct stat leftover;
    const long long size = lstat(path.c_str(), &leftover) == 0 ? leftover.st_size : 0;
    out.Field("snapshot leftover", path + " (" + std::to_string(size) + " bytes)");
    leftovers.push_back(JsonObject().add("path", path).addNumber("sizeBytes", size).str());
  }
  doc.addRaw("snapshotLeftovers", JsonArray(leftovers));

  // A number the library cannot read counts as missing; the operator sees
  // the text and what applies instead.
  NumberSetting last = ReadNumberSetting("nLastGuidNameTableRefreshTime", 0);
  std::string text = NotANumber(last, "taken as never refreshed");
  if (text.empty()) text = last.valid ? FormatIso8601(static_cast<int64_t>(last.value)) : "never";
  out.Field("last refresh", text);
  JsonObject lastJson = NumberJson(last);
  if (last.valid)
    lastJson.add("time", FormatIso8601(static_cast<int64_t>(last.value)));
  else
    lastJson.addNull("time");
  doc.addRaw("lastRefresh", lastJson.str());

  NumberSetting interval = ReadNumberSetting("SmtpGuidTableRefreshInterval", 1440);
  text = NotANumber(interval, "the default 1440 minutes applies");
  if (text.empty())
    text = interval.value == 0
               ? std::string("0 (refreshing by time is off)")
               : std::to_string(interval.value) + " minutes" + (interval.valid ? "" : " (default)");
  out.Field("refresh interval", text);
  doc.addRaw("refreshIntervalMinutes",
             JsonObject(NumberJson(interval))
                 .addNumber("applies", static_cast<unsigned long long>(interval.value))
                 .str());

  NumberSetting source = ReadNumberSetting("getSqlLiteDbFromHB", 1);
  std::string sourceText = DescribeRefreshSource(source);
  out.Field("refresh source", sourceText);
  doc.addRaw("refreshSource", JsonObject()
                                  .add("kind", source.value != 0 ? "download" : "rebuild")
                                  .add("description", OneLine(sourceText))
                                  .str());

  const std::string marker = folder + "/" GUID_JOB_MARKER_NAME;
  unsigned long jobId = 0;
  JsonObject markerJson;
  markerJson.add("path", marker);
  if (ReadJobMarker(marker, jobId)) {
    out.Field("job marker", marker + ": job " + std::to_string(jobId));
    markerJson.addNumber("job", static_cast<unsigned long long>(jobId));
  } else {
    out.Field("job marker",
              marker + (FXFile::DoesFileExist(marker) ? ": holds no job id" : ": none"));
    markerJson.addNull("job");
  }
  doc.addRaw("jobMarker", markerJson.str());

  const SRefreshDecision decision = DecideRefreshNeed(0, marker, 0);
  out.Field("next refresh", std::string(decision.state == RefreshNeeded ? "due" : "not due") +
                                ": " + PlainReason(decision));
  doc.addRaw("nextRefresh", JsonObject()
                                .addBool("due", decision.state == RefreshNeeded)
                                .add("reason", PlainReason(decision))
                                .str());

  if (json) {
    if (!failure.empty()) doc.add("error", OneLine(failure));
    std::cout << doc.str() << "\n";
  }
  if (!failure.empty()) throw ToolError(kExitFailure, failure, json);
  return kExitOk;
}

}  // namespace guidlookup
