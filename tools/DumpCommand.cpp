// guidlookup dump: the static cache as an agent's process would load it,
// written group by group.
//
// The load runs on a cache object of its own with the dump switched on; the
// library writes the dump log "CIDumpCache.log" into its log folder, which for
// this run is a private temporary folder, so that the operator gets exactly
// this load's dump and the agent's own dump log is left alone. The load
// writes that file itself (the folder is fresh and ours), so its lines never
// need to be picked out of the log.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "host/FXString.h"
#include "host/HostConfig.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

constexpr const char* kDumpLogName = "CIDumpCache.log";

// A temporary folder removed, with the dump log in it, at the end of the scope.
class DumpFolder {
 public:
  DumpFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/guidlookup-dump-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
      throw ToolError(kExitFailure, "cannot create a temporary folder in " +
                                        pattern.substr(0, pattern.rfind('/')) + ": " +
                                        std::strerror(errno));
    path_ = buffer.data();
  }
  ~DumpFolder() {
    std::remove((path_ + "/" + kDumpLogName).c_str());
    rmdir(path_.c_str());
  }
  DumpFolder(const DumpFolder&) = delete;
  DumpFolder& operator=(const DumpFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The groups of a loaded cache as one JSON document, in load order.
std::string DumpJson(const StaticCache& cache, const std::string& database, bool lotusNotes,
                     bool addProxy, size_t& groups) {
  std::string out;
  groups = 0;
  cache.forEachGroup([&](const std::vector<std::string>& names, const GuidRecordMap& map) {
    std::vector<std::string> keys, records;
    for (const std::string& name : names) keys.push_back(JsonString(name));
    for (const auto& entry : map)
      records.push_back(JsonObject()
                            .addNumber("status", static_cast<long long>(entry.second.status))
                            .add("name", entry.second.name)
                            .add("guid", entry.second.guid)
                            .str());
    out += std::string(groups ? ",\n  " : "\n  ") +
           JsonObject().addRaw("keys", JsonArray(keys)).addRaw("records", JsonArray(records)).str();
    ++groups;
  });
  return JsonObject()
             .add("database", database)
             .add("loader", lotusNotes ? "lotus-notes" : "exchange")
             .addBool("proxyKeys", addProxy)
             .addNumber("groups", static_cast<unsigned long long>(groups))
             .addNumber("keys", static_cast<unsigned long long>(cache.keyCount()))
             .addRaw("groupList", "[" + out + (groups ? "\n]" : "]"))
             .str() +
         "\n";
}

}  // namespace

int RunDump(const ToolContext& context, const DumpOptions& options) {
  RequireHome(context);
  RequireGuidCacheFolder(context);
  const std::string cacheDir = GuidCacheDir(context);
  // Picks the loader that fastload runs.
  bIsExchGuid.store(!options.lotusNotes);
  const std::string database = DatabasePath(cacheDir);
  if (!FXFile::DoesFileExist(database))
    throw ToolError(kExitFailure, "no database at " + database +
                                      "; import a directory export with 'guidlookup import FILE'");
  const bool addProxy = options.addProxy || ReadNumberSetting("naddproxysmtp", 0).value != 0;

  DumpFolder folder;
  if (!hostconfig::Set(hostconfig::Knob::kLogDir, folder.path()))
    throw ToolError(kExitFailure, "out of memory");
  int result;
  size_t groups = 0;
  std::string dump;
  {
    StaticCache cache;
    result = cache.fastload(cacheDir, addProxy, !options.json);
    if (result == 0 && options.json)
      dump = DumpJson(cache, database, options.lotusNotes, addProxy, groups);
  }
  if (result == 1) throw ToolError(kExitFailure, database + " holds no GUID table");
  if (result != 0) {
    std::string why = CGuidDB::VerifyFile(database);
    throw ToolError(kExitFailure, "cannot read the database " + database +
                                      (why.empty() ? std::string() : ": " + why));
  }

  if (!options.json) {
    const std::string log = folder.path() + "/" + kDumpLogName;
    std::ifstream in(log, std::ios::binary);
    if (!in)
      throw ToolError(kExitFailure,
                      "the load could not write its dump to " + log + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    dump = text.str();
  }
  if (options.output.empty()) {
    std::cout << dump;
    return kExitOk;
  }
  WriteWholeFile(options.output, dump);
  if (options.json) {
    std::cout << JsonObject()
                     .add("wrote", options.output)
                     .addNumber("groups", static_cast<unsigned long long>(groups))
                     .str()
              << "\n";
    return kExitOk;
  }
  for (char c : dump) groups += c == '\n';
  std::cout << "wrote the dump of " << groups << " groups to " << options.output << "\n";
  return kExitOk;
}

}  // namespace guidlookup
