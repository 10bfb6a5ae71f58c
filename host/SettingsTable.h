// The one table of the settings the library reads: section, name, kind,
// default and meaning, declared here and given in SettingsTable.cpp. The
// library spells a setting's name through it, `guidlookup check` tells
// known names from misspellings with it, and the README's settings table is
// printed from it (MarkdownTable), so the three cannot drift apart.
//
// Thread-safe: everything here is constant. The library holds the one copy
// of each setting, so a Setting's address identifies it (as Find returns it).
#pragma once

#include <cstddef>
#include <string>

#include "host/Export.h"

namespace hxsettings {

// What a value holds, and so how `check` looks at it.
enum class Kind {
  kString,  // free text
  kNumber,  // decimal, at most 64 bits
  kFolder,  // a folder's path
  kFile,    // a readable file's path
  kSecret,  // a file's path that must be readable by its owner only
};

struct Setting {
  const char* section;
  const char* name;
  Kind kind;
  const char* defaultText;  // as the README gives it (Markdown)
  const char* meaning;      // one line, as the README gives it (Markdown)
};

constexpr char kVTaskHost[] = "vTaskHost";
constexpr char kEventManager[] = "EventManager";
constexpr char kBase[] = "Base";
// The profile of `guidlookup sync`: the directory and the web root. Read by
// the tool only; listed here so that `check` knows its names and the README
// shows them.
constexpr char kSync[] = "Sync";

// Each setting, in the README's order; the values are in SettingsTable.cpp.
GUIDLOOKUPS_EXPORT extern const Setting kHome;
GUIDLOOKUPS_EXPORT extern const Setting kAddressCacheMemorySize;
GUIDLOOKUPS_EXPORT extern const Setting kDumpCache;
GUIDLOOKUPS_EXPORT extern const Setting kAddProxySmtp;
GUIDLOOKUPS_EXPORT extern const Setting kSharedTableSnapshot;
GUIDLOOKUPS_EXPORT extern const Setting kRefreshInterval;
GUIDLOOKUPS_EXPORT extern const Setting kLastRefreshTime;
GUIDLOOKUPS_EXPORT extern const Setting kRefreshSource;
GUIDLOOKUPS_EXPORT extern const Setting kRecordsToCommit;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerUrl;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerTimeout;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerMaxBytes;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerCAFile;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerCAPath;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerClientCert;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerClientKey;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerKeyPasswordFile;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerTokenFile;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerProxy;
GUIDLOOKUPS_EXPORT extern const Setting kPlatformType;
GUIDLOOKUPS_EXPORT extern const Setting kTempDir;
GUIDLOOKUPS_EXPORT extern const Setting kControlServerDbDir;
GUIDLOOKUPS_EXPORT extern const Setting kBaseHome;
GUIDLOOKUPS_EXPORT extern const Setting kSyncDirectoryUri;
GUIDLOOKUPS_EXPORT extern const Setting kSyncDirectoryBase;
GUIDLOOKUPS_EXPORT extern const Setting kSyncDirectoryFilter;
GUIDLOOKUPS_EXPORT extern const Setting kSyncBindDn;
GUIDLOOKUPS_EXPORT extern const Setting kSyncPasswordFile;
GUIDLOOKUPS_EXPORT extern const Setting kSyncCAFile;
GUIDLOOKUPS_EXPORT extern const Setting kSyncMap;
GUIDLOOKUPS_EXPORT extern const Setting kSyncGuidAttributes;
GUIDLOOKUPS_EXPORT extern const Setting kSyncTimeout;
GUIDLOOKUPS_EXPORT extern const Setting kSyncPageSize;
GUIDLOOKUPS_EXPORT extern const Setting kSyncMaxShrink;
GUIDLOOKUPS_EXPORT extern const Setting kSyncWebRoot;
GUIDLOOKUPS_EXPORT extern const Setting kSyncReleasesKept;

// Every setting above, in that order.
constexpr size_t kCount = 36;
GUIDLOOKUPS_EXPORT extern const Setting* const kAll[kCount];

// Section and value names match without regard to ASCII case, as the
// platform's registry-style store matches them; AsciiLower folds one byte so.
GUIDLOOKUPS_EXPORT char AsciiLower(char c);
GUIDLOOKUPS_EXPORT bool SameName(const std::string& a, const char* b);

// The setting of that section and name, which match regardless of ASCII case
// as in the settings file; nullptr when the library reads no such value.
GUIDLOOKUPS_EXPORT const Setting* Find(const std::string& section, const std::string& name);

// True when the library reads values of `section` (any ASCII case).
GUIDLOOKUPS_EXPORT bool IsLibrarySection(const std::string& section);

// "[<section>] <name>", the way an operator finds the value in the file.
GUIDLOOKUPS_EXPORT std::string Named(const Setting& setting);

// The README's settings table in Markdown: a header row, then one row per
// setting of kAll, each line ending in '\n'. Throws only std::bad_alloc.
GUIDLOOKUPS_EXPORT std::string MarkdownTable();

}  // namespace hxsettings
