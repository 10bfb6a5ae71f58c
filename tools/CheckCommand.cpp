// guidlookup check: is this machine's configuration one the library can work
// with? Each finding is "ok", a "warning" (works, but likely not as meant) or
// an "error" (a refresh, a load or a lookup will fail).
//
// Only reads: the settings store lists the settings file and its names are
// compared with the library's table of settings, folders are probed with
// access(2), the database is opened read-only, and the control server is
// only connected to.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <set>

#include "guiddb/AccessLock.h"
#include "guiddb/RowSetDigest.h"
#include "host/FXString.h"
#include "host/HostConfig.h"
#include "host/Locks.h"
#include "host/Settings.h"
#include "host/net/Network.h"
#include "host/net/SecretFile.h"
#include "lookups/refresh/Download.h"
#include "lookups/refresh/Validator.h"
#include "lookups/snapshot/SharedSnapshot.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

enum class Level { kOk, kWarning, kError };

struct Finding {
  std::string check;
  Level level;
  std::string message;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Checker {
 public:
  void Add(const std::string& check, Level level, const std::string& message) {
    findings_.push_back({check, level, OneLine(message)});
  }
  const std::vector<Finding>& findings() const { return findings_; }

 private:
  std::vector<Finding> findings_;
};

std::string Setting(const char* section, const char* name) {
  HXPlatformInfo settings;
  std::string value;
  return settings.getString(section, name, &value) ? value : std::string();
}

// The settings file line by line, as the settings store reads it: unknown
// names, duplicates and malformed lines of the library's sections.
void CheckSettingsText(const std::string& file, Checker& out) {
  HXPlatformInfo settings;
  std::vector<SettingsLine> lines;
  if (settings.listFile(&lines) != SettingStatus::kFound) {
    out.Add("settings", Level::kError, "cannot read " + file);
    return;
  }
  std::set<std::string> seen;
  size_t problems = 0;
  for (const SettingsLine& line : lines) {
    const std::string where = file + " line " + std::to_string(line.number);
    if (line.kind == SettingsLine::kMalformed && line.text[0] == '[') {
      out.Add("settings", Level::kWarning, where + ": malformed section line '" + line.text + "'");
      ++problems;
      continue;
    }
    if (line.kind == SettingsLine::kSection || !hxsettings::IsLibrarySection(line.section))
      continue;
    const std::string section = Lower(line.section);
    if (line.kind == SettingsLine::kMalformed) {
      out.Add(
          "settings", Level::kWarning,
          where + ": malformed line '" + line.text + "' (not name=value); the library skips it");
      ++problems;
    } else if (!hxsettings::Find(line.section, line.name)) {
      out.Add("settings", Level::kWarning,
              where + ": unknown name " + line.name + " in [" + section +
                  "]; the library does not read it (a misspelling?)");
      ++problems;
    } else if (!seen.insert(section + "/" + Lower(line.name)).second) {
      out.Add("settings", Level::kWarning,
              where + ": " + line.name + " is set again; the first value counts");
      ++problems;
    }
  }
  if (problems == 0) out.Add("settings", Level::kOk, file);
}

void CheckNumbers(Checker& out) {
  HXPlatformInfo settings;
  for (const hxsettings::Setting* setting : hxsettings::kAll) {
    std::string text;
    if (setting->kind != hxsettings::Kind::kNumber ||
        settings.readNumber(*setting, nullptr, &text) != SettingStatus::kUnparseable)
      continue;
    out.Add("numbers", Level::kError,
            hxsettings::Named(*setting) + "=" + text +
                " is not a number; the library ignores it and uses the default");
  }
}

// A folder the library writes into: exists and writable, or missing but
// creatable (then a warning), else an error.
void CheckWritableFolder(Checker& out, const std::string& check, const std::string& what,
                         const std::string& folder, bool createdWhenMissing) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode))
      out.Add(check, Level::kError, what + " " + folder + " is not a folder");
    else if (access(folder.c_str(), W_OK | X_OK) != 0)
      out.Add(check, Level::kError, what + " " + folder + " is not writable");
    else
      out.Add(check, Level::kOk, what + " " + folder);
    return;
  }
  if (!createdWhenMissing) {
    out.Add(check, Level::kError, what + " " + folder + " does not exist");
    return;
  }
  // The nearest existing folder above decides whether it can be created.
  std::string parent = folder;
  for (;;) {
    size_t slash = parent.find_last_of('/');
    if (slash == std::string::npos) {
      parent = ".";
      break;
    }
    parent = slash == 0 ? "/" : parent.substr(0, slash);
    if (parent == "/" || stat(parent.c_str(), &st) == 0) break;
  }
  if (access(parent.c_str(), W_OK | X_OK) != 0)
    out.Add(check, Level::kError,
            what + " " + folder + " does not exist and cannot be created (" + parent +
                " is not writable)");
  else
    out.Add(check, Level::kWarning,
            what + " " + folder + " does not exist yet; the first agent or import creates it");
}

void CheckHome(const ToolContext& context, Checker& out) {
  if (context.home.empty()) {
    out.Add("home", Level::kError,
            "no [vTaskHost] dHOME: without it no table is created, refreshed or opened");
    return;
  }
  CheckWritableFolder(out, "home", "home folder (dHOME)", context.home, true);
  CheckWritableFolder(out, "home", "GUID cache folder", GuidCacheDir(context), true);
}

void CheckLockFolder(Checker& out) {
  const std::string file = AccessMutex().lockFilePath();
  const std::string folder = file.substr(0, file.rfind('/'));
  const std::string given = hostconfig::Get(hostconfig::Knob::kLockDir);
  // GUIDLOOKUPS_LOCK_DIR is used as given, never created; the default folder
  // is made by the first lock.
  CheckWritableFolder(out, "lock folder",
                      !given.empty() ? "lock folder (GUIDLOOKUPS_LOCK_DIR)" : "lock folder", folder,
                      given.empty());
  struct stat st;
  if (lstat(file.c_str(), &st) == 0 &&
      (!S_ISREG(st.st_mode) || (st.st_uid != geteuid() && st.st_uid != 0)))
    out.Add("lock folder", Level::kError,
            "the lock file " + file +
                " is not a regular file of this user or root; every lock will be refused");
}

// A secret file is judged by the library's own rule, so that check passes
// exactly the files the network session takes.
void CheckSecretRule(Checker& out, const std::string& what, const SecretFileVerdict& verdict) {
  if (verdict.fault == SecretFileFault::kOthersMayAccess)
    out.Add("control server", Level::kError,
            what + " may be read by group or other users; the library refuses it (chmod 600)");
  else if (verdict.fault == SecretFileFault::kNotAFile)
    out.Add("control server", Level::kError, what + " is not a file; the library refuses it");
  else if (!verdict.ok())
    out.Add("control server", Level::kError, what + " cannot be read");
}

// A file a setting names must be there and readable; secrets by their owner
// only, as the network session demands.
void CheckNamedFile(Checker& out, const hxsettings::Setting& named) {
  const bool secret = named.kind == hxsettings::Kind::kSecret;
  const bool folder = named.kind == hxsettings::Kind::kFolder;
  const std::string path = Setting(named.section, named.name);
  if (path.empty()) return;
  struct stat st;
  const std::string what = hxsettings::Named(named) + " " + path;
  if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0)
    out.Add("control server", Level::kError, what + " cannot be read");
  else if (folder != S_ISDIR(st.st_mode))
    out.Add("control server", Level::kError, what + (folder ? " is not a folder" : " is a folder"));
  else if (secret)
    CheckSecretRule(out, what, CheckSecretFile(path));
}

void CheckRefreshSource(Checker& out) {
  NumberSetting source = ReadNumberSetting("getSqlLiteDbFromHB", 1);
  if (source.value == 0) {
    const std::string table = hostconfig::Get(hostconfig::Knob::kAppMgrTable);
    if (table.empty())
      out.Add("refresh source", Level::kError,
              "a refresh rebuilds from the application manager's table, but "
              "GUIDLOOKUPS_APPMGR_TABLE is not set");
    else if (access(table.c_str(), R_OK) != 0)
      out.Add("refresh source", Level::kError,
              std::string("the application manager's table ") + table + " cannot be read");
    else
      out.Add("refresh source", Level::kOk,
              std::string("rebuild from the application manager's table ") + table);
    return;
  }
  // The download's own choice, so that the check judges the folder a
  // refresh would use.
  const SDownloadSource download = ChooseDownloadSource();
  if (download.local) {
    const std::string& folder = download.folder;
    if (folder.empty())
      out.Add("refresh source", Level::kError,
              "the control server is on this machine ([Base] nHXPlatformType bit 0), but neither "
              "[Base] dMORVAXSQLLITEDBDIR nor [Base] dBASEHOME names its folder");
    else if (access((folder + "/" GUIDDB_NAME).c_str(), R_OK) != 0)
      out.Add("refresh source", Level::kError,
              "the control server's copy " + folder + "/" GUIDDB_NAME + " cannot be read");
    else
      out.Add("refresh source", Level::kOk, "local copy of " + folder + "/" GUIDDB_NAME);
    return;
  }

  std::string url;
  HXClient client(2);
  if (client.getNetworkHostnameMangled(url, nullptr) != 0) {
    out.Add("control server", Level::kError, NoControlServer());
    return;
  }
  const std::string& temp = download.folder;
  if (temp.empty())
    out.Add("control server", Level::kError,
            "missing setting [Base] dMORVAXTEMPDIR (the folder the control server's copy is "
            "downloaded into)");
  else
    CheckWritableFolder(out, "control server", "download folder ([Base] dMORVAXTEMPDIR)", temp,
                        false);
  for (const hxsettings::Setting* named :
       {&hxsettings::kControlServerCAFile, &hxsettings::kControlServerCAPath,
        &hxsettings::kControlServerClientCert, &hxsettings::kControlServerClientKey,
        &hxsettings::kControlServerKeyPasswordFile, &hxsettings::kControlServerTokenFile})
    CheckNamedFile(out, *named);

  // The session's own attach (a connection and, for https, a verified TLS
  // handshake), then a HEAD request for the file with the transfer's own
  // certificate, token, proxy and time-out settings.
  CHxNetwork network;
  bool flag = false;
  CLmError error = network.Attach_RemoteDLL(url, nullptr, "guidlookup", 0, flag);
  if (!error.IsError()) error = network.ProbeFile();
  network.Disconnect(0, flag);
  if (error.IsError())
    out.Add("control server", Level::kError, error.Text());
  else
    out.Add("control server", Level::kOk, WithoutUrlCredentials(url) + " serves " GUIDDB_NAME);
}

// The rows against the digest the last refresh recorded for the control
// server's release (a full scan). A table changed since takes the whole
// file at the next refresh; one changed while it still looks like the
// recorded file would have a delta applied to the wrong rows.
void CheckRelease(const std::string& folder, const std::string& database, Checker& out) {
  bool current = false;
  const SDownloadValidator recorded = ReadRecordedValidator(folder, database, current);
  if (recorded.release.empty()) return;
  RowSetDigest digest;
  const Status scanned = RowSetDigest::OfFile(database, digest);
  const std::string what = "release " + recorded.release;
  if (!scanned.ok())
    out.Add("release", Level::kError, "cannot read the rows: " + scanned.context());
  else if (digest.Hex() == recorded.digest)
    out.Add("release", Level::kOk, what + ": the rows match its digest");
  else if (!current)
    out.Add("release", Level::kWarning,
            "the table changed since " + what +
                " was installed; the next refresh downloads the whole table");
  else
    out.Add("release", Level::kError,
            "the rows do not match the digest of " + what +
                " although the file looks unchanged; remove " + database +
                " and refresh to take the whole table");
}

void CheckDatabase(const ToolContext& context, Checker& out) {
  if (context.home.empty()) return;
  const std::string database = DatabasePath(GuidCacheDir(context));
  if (!FXFile::DoesFileExist(database)) {
    out.Add("database", Level::kWarning,
            "no database at " + database +
                " yet; the first agent refreshes it, or run 'guidlookup import FILE'");
    return;
  }
  long rows = 0;
  std::string why = CGuidDB::VerifyFile(database, &rows);
  if (!why.empty()) {
    out.Add("database", Level::kError, database + " failed its check: " + why);
    return;
  }
  if (!CGuidDB::HasSearchIndexes(database))
    out.Add("database", Level::kWarning,
            database + " has no search indexes; private-mode misses scan the whole table");
  else
    out.Add("database", Level::kOk, database + ": " + std::to_string(rows) + " rows, intact");
  CheckRelease(GuidCacheDir(context), database, out);
}

// Each snapshot of the shared table: one a load would refuse or that
// describes a replaced table is only replaced by the next load (a warning);
// one whose body is damaged behind a sound header would answer wrongly; one
// that is not a regular file blocks every snapshot until it is removed.
void CheckSnapshots(const ToolContext& context, Checker& out) {
  if (context.home.empty()) return;
  const std::string folder = GuidCacheDir(context);
  for (const std::string& path : SharedSnapshot::AllPaths(folder)) {
    struct stat place;
    if (lstat(path.c_str(), &place) == 0 && !S_ISREG(place.st_mode)) {
      out.Add("shared snapshot", Level::kWarning,
              path +
                  " is not a regular file; no snapshot can be written in its place: remove it "
                  "by hand");
      continue;
    }
    std::string why;
    std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, nullptr, &why);
    if (!snapshot) {
      if (!why.empty())
        out.Add("shared snapshot", Level::kWarning,
                path + " cannot be used (" + why + "); the next shared-mode load replaces it");
      continue;
    }
    const SSnapshotSource& built = snapshot->source();
    SSnapshotSource now;
    const bool stated = SSnapshotSource::Of(folder, built.exchange, built.addProxySmtp, now);
    now.caseTable = built.caseTable;
    why = snapshot->Verify();
    if (!why.empty())
      out.Add(
          "shared snapshot", Level::kError,
          path + " is damaged (" + why + "); remove it, the next shared-mode load writes it anew");
    else if (!stated || !snapshot->MismatchWith(now).empty())
      out.Add(
          "shared snapshot", Level::kWarning,
          path + " was built from a table since replaced; the next shared-mode load replaces it");
    else
      out.Add("shared snapshot", Level::kOk,
              path + ": " + std::to_string(snapshot->keyCount()) + " keys, " +
                  std::to_string(snapshot->rowCount()) + " rows, current and intact");
  }
  for (const std::string& path : SharedSnapshot::Leftovers(folder))
    out.Add("shared snapshot", Level::kWarning,
            path +
                " is the temporary file of an interrupted snapshot write; the next "
                "shared-mode load removes it once its writer is gone");
}

const char* LevelName(Level level) {
  switch (level) {
    case Level::kOk:
      return "ok";
    case Level::kWarning:
      return "warning";
    case Level::kError:
      return "error";
  }
  return "?";
}

}  // namespace

int RunCheck(const ToolContext& context, const CheckOptions& options) {
  Checker out;
  if (context.settingsFile.empty())
    out.Add("settings", Level::kWarning,
            "no settings folder: every setting takes its default and a refresh cannot record "
            "its time");
  else if (!FXFile::DoesFileExist(context.settingsFile))
    out.Add("settings", Level::kWarning,
            "no settings file " + context.settingsFile + ": every setting takes its default");
  else
    CheckSettingsText(context.settingsFile, out);
  CheckNumbers(out);
  CheckHome(context, out);
  CheckLockFolder(out);
  const std::vector<ProfileFinding> profile = CheckSyncProfile(context, options.online);
  // On a control server `sync` keeps the table, so a missing agent refresh
  // source is how it is meant to be, not an error.
  Checker refresh;
  CheckRefreshSource(refresh);
  const bool refreshFails = std::any_of(refresh.findings().begin(), refresh.findings().end(),
                                        [](const Finding& f) { return f.level == Level::kError; });
  if (!profile.empty() && refreshFails)
    out.Add("refresh source", Level::kOk,
            "the table is kept by guidlookup sync from the [Sync] profile; no agent refresh "
            "source is set up");
  else
    for (const Finding& f : refresh.findings()) out.Add(f.check, f.level, f.message);
  CheckDatabase(context, out);
  CheckSnapshots(context, out);
  for (const ProfileFinding& f : profile)
    out.Add(f.check,
            f.level == 0   ? Level::kOk
            : f.level == 1 ? Level::kWarning
                           : Level::kError,
            f.message);

  size_t errors = 0, warnings = 0;
  for (const Finding& f : out.findings()) {
    errors += f.level == Level::kError;
    warnings += f.level == Level::kWarning;
  }
  if (options.json) {
    std::vector<std::string> checks;
    for (const Finding& f : out.findings())
      checks.push_back(JsonObject()
                           .add("check", f.check)
                           .add("level", LevelName(f.level))
                           .add("message", f.message)
                           .str());
    std::cout << JsonObject()
                     .addNumber("errors", static_cast<unsigned long long>(errors))
                     .addNumber("warnings", static_cast<unsigned long long>(warnings))
                     .addRaw("checks", JsonArray(checks))
                     .str()
              << "\n";
  } else {
    for (const Finding& f : out.findings())
      std::cout << LevelName(f.level) << ": " << f.check << ": " << f.message << "\n";
    std::cout << errors << (errors == 1 ? " error, " : " errors, ") << warnings
              << (warnings == 1 ? " warning\n" : " warnings\n");
  }
  if (errors) return kExitFailure;
  return warnings ? kExitCheckWarnings : kExitOk;
}

}  // namespace guidlookup
