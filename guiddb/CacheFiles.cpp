#include "guiddb/CacheFiles.h"

#include <cstdio>

namespace cachefiles {
namespace {

constexpr char kSnapshotSuffix[] = ".snapshot";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

const char kSnapshotTempPrefix[] = "." GUIDDB_NAME ".snapshot.tmp";

std::string CacheFolder(const std::string& home) { return home + "/" GUID_CACHE_SUBFOLDER; }
std::string Database(const std::string& folder) { return folder + "/" GUIDDB_NAME; }
std::string JobMarker(const std::string& folder) { return folder + "/" GUID_JOB_MARKER_NAME; }
std::string Validator(const std::string& folder) { return folder + "/GUIDDB.VALIDATOR"; }

std::string Snapshot(const std::string& folder, const char* kind, unsigned tableFingerprint) {
  char table[16];
  std::snprintf(table, sizeof(table), ".%08x", tableFingerprint);
  return folder + "/" GUIDDB_NAME "." + kind + table + kSnapshotSuffix;
}

bool IsSnapshotName(const std::string& name) {
  return name.rfind(GUIDDB_NAME ".", 0) == 0 && EndsWith(name, kSnapshotSuffix);
}

}  // namespace cachefiles
