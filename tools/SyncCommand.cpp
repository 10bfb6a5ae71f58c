// guidlookup sync: the control server's daily chain in one command. The
// profile, section [Sync] of the settings file, names the directory and the
// web root; sync imports from the directory (the import command's own work,
// with its guards) and then publishes the table as a release (the publish
// command's). `check` looks at the same profile.
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <iterator>
#include <sstream>

#include "host/Files.h"
#include "host/Settings.h"
#include "host/net/SecretFile.h"
#include "lookups/directory/LdapRows.h"
#include "tools/Commands.h"
#include "tools/Releases.h"

namespace guidlookup {
namespace {

std::string SecretWords(const SecretFileVerdict& verdict) {
  return verdict.fault == SecretFileFault::kOthersMayAccess ? OthersMayAccessWords(verdict.mode)
         : verdict.fault == SecretFileFault::kNotAFile
             ? "not a file"
             : "cannot be read (" + hostfs::ErrnoText(verdict.error) + ")";
}

// The web root: writable, and its live release intact against its manifest.
void CheckWebRoot(const ToolContext& context, const std::string& webRoot,
                  std::vector<ProfileFinding>& out) {
  try {
    RequireWebRoot(context, webRoot);
    const bool writable = ::access(webRoot.c_str(), W_OK | X_OK) == 0;
    out.push_back(
        {writable ? 0 : 2, "web root", writable ? webRoot : webRoot + " is not writable"});
    ReleaseStore store(webRoot);
    const std::string live = store.LiveId();
    if (live.empty()) {
      out.push_back({1, "web root", webRoot + " has no live release yet; sync makes one"});
      return;
    }
    for (const Release& r : store.List()) {
      if (!r.live) continue;
      const std::string why = store.Verify(r);
      out.push_back(
          {why.empty() ? 0 : 2, "web root",
           "live release " + live +
               (why.empty() ? ": " + std::to_string(r.rows) + " rows, intact against its manifest"
                            : " is damaged: " + why)});
    }
  } catch (const ToolError& e) {
    out.push_back({2, "web root", e.what()});
  }
}

// The profile's mapping, then the bind and the first page: the connection,
// TLS, the password.
ProfileFinding CheckDirectory(const SyncProfile& p) {
  SDirectoryMapping mapping = SDirectoryMapping::Exchange();
  Status mapped;
  if (!p.maps.empty()) mapping.rules.clear();
  for (const std::string& rule : p.maps)
    if (mapped.ok()) mapped = mapping.AddRule(rule);
  if (!p.guidAttributes.empty()) mapping.guidAttributes.clear();
  for (const std::string& guid : p.guidAttributes)
    if (mapped.ok()) mapped = mapping.AddGuidAttribute(guid);
  if (!mapped.ok()) return {2, "directory", "the mapping of the sync profile: " + mapped.context()};
  GuidRowReader rows = LdapRows(p.ldap, mapping);
  GUIDNameInfo row;
  std::string error;
  if (rows(row, error) < 0) return {2, "directory", error};
  return {0, "directory", p.ldap.uri + ": bound and searched " + p.ldap.baseDn};
}

}  // namespace

SyncProfile ReadSyncProfile() {
  SyncProfile p;
  HXPlatformInfo settings;
  auto text = [&](const hxsettings::Setting& s, std::string& out, bool required,
                  bool emptyAllowed = false) {
    const SettingStatus status = settings.readString(s, &out);
    if (status == SettingStatus::kUnreadable)
      p.problems.push_back(settings.lastReadError());
    else if (required && (status != SettingStatus::kFound || (out.empty() && !emptyAllowed)))
      p.problems.push_back("no " + hxsettings::Named(s));
  };
  auto number = [&](const hxsettings::Setting& s, int& out, long low, long high) {
    unsigned long value = 0;
    std::string raw;
    const SettingStatus status = settings.readNumber(s, &value, &raw);
    if (status == SettingStatus::kFound && value >= static_cast<unsigned long>(low) &&
        value <= static_cast<unsigned long>(high))
      out = static_cast<int>(value);
    else if (status == SettingStatus::kFound || status == SettingStatus::kUnparseable)
      p.problems.push_back(hxsettings::Named(s) + "=" + raw + " is not a number from " +
                           std::to_string(low) + " to " + std::to_string(high));
  };
  // A list: words separated by blanks.
  auto words = [&](const hxsettings::Setting& s) {
    std::string list;
    text(s, list, false);
    std::istringstream in(list);
    return std::vector<std::string>{std::istream_iterator<std::string>(in), {}};
  };
  text(hxsettings::kSyncDirectoryUri, p.ldap.uri, true);
  // Given but empty searches from the root, as a Global Catalog's forest-wide search needs.
  text(hxsettings::kSyncDirectoryBase, p.ldap.baseDn, true, true);
  text(hxsettings::kSyncDirectoryFilter, p.ldap.filter, false);
  text(hxsettings::kSyncBindDn, p.ldap.bindDn, false);
  text(hxsettings::kSyncPasswordFile, p.ldap.passwordFile, false);
  text(hxsettings::kSyncCAFile, p.ldap.caFile, false);
  p.maps = words(hxsettings::kSyncMap);
  p.guidAttributes = words(hxsettings::kSyncGuidAttributes);
  number(hxsettings::kSyncTimeout, p.ldap.timeoutSeconds, 1, 86400);
  number(hxsettings::kSyncPageSize, p.ldap.pageSize, 1, 1000000);
  number(hxsettings::kSyncMaxShrink, p.maxShrinkPercent, 0, 100);
  text(hxsettings::kSyncWebRoot, p.webRoot, true);
  number(hxsettings::kSyncReleasesKept, p.keep, 1, 10000);
  if (!p.ldap.bindDn.empty() && p.ldap.passwordFile.empty())
    p.problems.push_back(hxsettings::Named(hxsettings::kSyncBindDn) + " needs " +
                         hxsettings::Named(hxsettings::kSyncPasswordFile));
  return p;
}

int RunSync(const ToolContext& context, const SyncOptions& options) {
  const SyncProfile profile = ReadSyncProfile();
  if (!profile.problems.empty()) {
    std::string all;
    for (const std::string& problem : profile.problems) all += (all.empty() ? "" : "; ") + problem;
    throw ToolError(kExitFailure, "the sync profile of " +
                                      (context.settingsFile.empty() ? std::string("the settings")
                                                                    : context.settingsFile) +
                                      " is not usable: " + all);
  }
  RequireHome(context);
  // A web root that publish would refuse is found before the table changes.
  RequireWebRoot(context, profile.webRoot);

  ImportOptions import;
  import.ldap = profile.ldap;
  import.baseGiven = true;  // the profile names its base, perhaps the root
  import.maps = profile.maps;
  import.guidAttributes = profile.guidAttributes;
  import.maxShrinkPercent = profile.maxShrinkPercent;
  import.force = options.force;
  import.dryRun = options.dryRun;
  import.json = options.json;
  import.progress = false;
  // The control server publishes the file; no agent maps a table in its home.
  import.noSnapshot = true;
  try {
    const int status = RunImport(context, import);
    if (status != kExitOk) return status;
  } catch (const ToolError& e) {
    throw ToolError(e.exitCode(), std::string("sync stopped at the import: ") + e.what(),
                    e.reportedInJson());
  }
  if (options.dryRun) {
    if (options.json)
      std::cout << JsonObject().addBool("dryRun", true).addBool("published", false).str() << "\n";
    else
      std::cout << "dry run: nothing was published to " << profile.webRoot << "\n";
    return kExitOk;
  }
  PublishOptions publish;
  publish.folder = profile.webRoot;
  publish.keep = profile.keep;
  publish.json = options.json;
  try {
    return RunPublish(context, publish);
  } catch (const ToolError& e) {
    throw ToolError(
        e.exitCode(),
        std::string("sync stopped at the publish (the local table is the new one): ") + e.what(),
        e.reportedInJson());
  }
}

std::vector<ProfileFinding> CheckSyncProfile(const ToolContext& context, bool online) {
  std::vector<ProfileFinding> out;
  HXPlatformInfo settings;
  std::string uri, root;
  settings.readString(hxsettings::kSyncDirectoryUri, &uri);
  settings.readString(hxsettings::kSyncWebRoot, &root);
  if (uri.empty() && root.empty() && !online) return out;  // no profile: sync is not used
  const SyncProfile p = ReadSyncProfile();
  for (const std::string& problem : p.problems) out.push_back({2, "sync profile", problem});
  if (!p.ldap.passwordFile.empty()) {
    const SecretFileVerdict verdict = CheckSecretFile(p.ldap.passwordFile);
    if (verdict.ok())
      out.push_back({0, "sync profile", "password file " + p.ldap.passwordFile});
    else
      out.push_back({2, "sync profile",
                     "password file " + p.ldap.passwordFile + " of " +
                         hxsettings::Named(hxsettings::kSyncPasswordFile) + ": " +
                         SecretWords(verdict)});
  }
  if (!p.ldap.caFile.empty()) {
    if (::access(p.ldap.caFile.c_str(), R_OK) == 0)
      out.push_back({0, "sync profile", "CA file " + p.ldap.caFile});
    else
      out.push_back({2, "sync profile",
                     "CA file " + p.ldap.caFile + " of " +
                         hxsettings::Named(hxsettings::kSyncCAFile) +
                         " cannot be read: " + hostfs::ErrnoText(errno)});
  }
  if (!p.webRoot.empty()) CheckWebRoot(context, p.webRoot, out);
  if (online && p.problems.empty()) out.push_back(CheckDirectory(p));
  return out;
}

}  // namespace guidlookup
