// embed ADDRESS: resolves one e-mail address as a mail agent does.
//
// What it needs, like every program that embeds the library:
//   GUIDLOOKUPS_SETTINGS_DIR  the settings folder, holding <instance>.ini
//   GUIDLOOKUPS_INSTANCE      the instance (Instance001 when unset)
//   [vTaskHost] dHOME=<home>  in that file: the database is
//                             <home>/JobResults/GUIDCacheDir/GUIDDB.DAT
//                             (`guidlookup import` makes one)
// The library's log lines go to standard error, or to GUIDLOOKUPS_LOG_FILE.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/Settings.h"
#include "lookups/HXGuidLookups.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
    return 2;
  }
  if (!std::getenv("GUIDLOOKUPS_SETTINGS_DIR")) {
    std::fprintf(stderr,
                 "not configured: set GUIDLOOKUPS_SETTINGS_DIR to the folder of "
                 "<instance>.ini\n");
    return 3;
  }

  // Once per lookup object, before any lookup: reads dHOME from the settings,
  // refreshes the table when due and (shared mode) loads it into memory.
  // `event` is the library's event log.
  CHXGuidLookups lookups;
  CLmError error = lookups.Initialize(/*jobId=*/0, /*jobFlags=*/0, /*isInMemoryShared=*/true,
                                      /*isExchange=*/true, &event);
  if (error.IsError()) {  // the GUID cache folder could not be made
    std::fprintf(stderr, "set-up failed: %s\n", error.Text().c_str());
    return 3;
  }
  if (lookups.guidCacheDir.empty()) {
    // No dHOME was found: say where it was looked for.
    std::string file = HXPlatformInfo().filePath();  // <settings folder>/<instance>.ini
    const char* folder = std::getenv("GUIDLOOKUPS_SETTINGS_DIR");
    if (::access(folder, F_OK) != 0)
      std::fprintf(stderr,
                   "not configured: the settings folder %s (GUIDLOOKUPS_SETTINGS_DIR) "
                   "does not exist\n",
                   folder);
    else if (::access(file.c_str(), F_OK) != 0)
      std::fprintf(stderr,
                   "not configured: there is no settings file %s to name "
                   "[vTaskHost] dHOME\n",
                   file.c_str());
    else
      std::fprintf(stderr, "not configured: no [vTaskHost] dHOME in %s\n", file.c_str());
    return 3;
  }
  if (lookups.dbStatus != 0) {
    std::fprintf(stderr, "no usable GUIDDB.DAT in %s\n", lookups.guidCacheDir.c_str());
    return 3;
  }

  std::string address = argv[1];
  GuidRecordMap records;  // status -> record, in status order
  if (!lookups.Lookup(address, records, /*keyIsGuid=*/false) || records.empty()) {
    std::printf("%s: not found\n", address.c_str());
    return 1;
  }
  for (const auto& [status, record] : records)
    std::printf("%d %s %s\n", status, record.name.c_str(), record.guid.c_str());

  std::string displayName;  // the name of the first record of status 8
  if (lookups.LookupAndFind(address, /*status=*/8, displayName, /*keyIsGuid=*/false))
    std::printf("display name: %s\n", displayName.c_str());
  return 0;
}
