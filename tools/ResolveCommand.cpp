// guidlookup resolve: the lookups an agent makes, made by hand.
//
// The keys go through Initialize and Lookup (or LookupAndFind) exactly as a
// mail agent's would, in shared mode (the process-wide static cache) or in
// private mode (an MFU cache in front of database queries), so that what the
// operator sees is what the agent gets, GUID rewriting included.
#include <iostream>

#include "host/FXString.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

// kBadKey: a key no address or GUID can be (one with a NUL byte, which only
// standard input can bring); it is answered as such and makes the exit
// status a bad input's, while the other keys are still resolved.
enum class Outcome { kFound, kNotFound, kBadKey };

constexpr char kBadKeyReason[] = "bad key: it holds a NUL byte";

// The key as a terminal can show it: a NUL byte as "\0".
std::string Shown(const std::string& key) {
  std::string shown;
  for (char c : key) {
    if (c == '\0')
      shown += "\\0";
    else
      shown += c;
  }
  return shown;
}

struct KeyResult {
  std::string key;
  Outcome outcome = Outcome::kNotFound;
  GuidRecordMap records;  // without --status
  std::string name;       // with --status
  bool keyKnown = false;  // with --status: the key resolved, to some record
};

void PrintText(const ResolveOptions& options, const KeyResult& r) {
  if (r.outcome == Outcome::kBadKey) {
    std::cout << Shown(r.key) << ": " << kBadKeyReason << "\n";
    return;
  }
  if (options.statusGiven) {
    if (r.outcome == Outcome::kFound)
      std::cout << r.key << ": " << r.name << "\n";
    else if (r.keyKnown)
      std::cout << r.key << ": no record of status " << options.status << "\n";
    else
      std::cout << r.key << ": not found\n";
    return;
  }
  if (r.outcome == Outcome::kNotFound) {
    std::cout << r.key << ": not found\n";
    return;
  }
  std::cout << r.key << ": " << r.records.size() << (r.records.size() == 1 ? " record" : " records")
            << "\n";
  for (const auto& entry : r.records)
    std::cout << "  " << entry.second.status << "\t" << entry.second.name << "\t"
              << entry.second.guid << "\n";
}

// One key's answer as a JSON object; `indent` lays the records out on lines
// of their own, as the array of the command-line keys shows them.
std::string KeyJson(const ResolveOptions& options, const KeyResult& r, bool indent) {
  const bool found = r.outcome == Outcome::kFound;
  JsonObject doc;
  doc.add("key", r.key).addBool("found", found);
  if (r.outcome == Outcome::kBadKey) return doc.add("error", kBadKeyReason).str();
  if (options.statusGiven) {
    doc.addNumber("status", static_cast<long long>(options.status));
    return (found ? doc.add("name", r.name) : doc.addNull("name")).str();
  }
  std::vector<std::string> records;
  for (const auto& entry : r.records)
    records.push_back(JsonObject()
                          .addNumber("status", static_cast<long long>(entry.second.status))
                          .add("name", entry.second.name)
                          .add("guid", entry.second.guid)
                          .str());
  return doc.addRaw("records", indent ? JsonArrayLines(records, "  ") : JsonArray(records)).str();
}

void PrintJson(const ResolveOptions& options, const std::vector<KeyResult>& results) {
  std::vector<std::string> keys;
  for (const KeyResult& r : results) keys.push_back(KeyJson(options, r, true));
  std::cout << JsonArrayLines(keys, "") << "\n";
}

KeyResult ResolveKey(CHXGuidLookups& lookups, const ResolveOptions& options, const std::string& key,
                     const std::string& refreshError) {
  const bool shared = lookups.isInMemoryShared;
  KeyResult result;
  result.key = key;
  if (key.find('\0') != std::string::npos) {
    result.outcome = Outcome::kBadKey;
    return result;
  }
  std::string address = key;
  if (options.statusGiven) {
    if (lookups.LookupAndFind(address, options.status, result.name, options.keysAreGuids)) {
      result.outcome = Outcome::kFound;
    } else {
      // LookupAndFind does not tell "no such record" from a failed query;
      // a second lookup does, at no cost when the answer was cached.
      GuidRecordMap records;
      address = key;
      bool ok = lookups.Lookup(address, records, options.keysAreGuids);
      if (!ok && !shared)
        throw ToolError(kExitFailure, DescribeDatabaseFailure(lookups, refreshError));
      result.keyKnown = ok && !records.empty();
    }
  } else {
    bool ok = lookups.Lookup(address, result.records, options.keysAreGuids);
    if (!ok && !shared)
      throw ToolError(kExitFailure, DescribeDatabaseFailure(lookups, refreshError));
    // In private mode an address the table does not hold resolves, with no
    // record at all.
    result.outcome = ok && !result.records.empty() ? Outcome::kFound : Outcome::kNotFound;
  }
  return result;
}

void WarnAboutRefresh(const std::string& refreshError) {
  if (!refreshError.empty())
    std::cerr << "guidlookup: warning: the refresh of the local table failed: " << refreshError
              << "; the answers come from the table as it was\n";
}

// Keys from standard input, one a line, each answered (and flushed) before
// the next line is read, so that a pipe gets its answers as it goes.
int ResolveStream(CHXGuidLookups& lookups, const ResolveOptions& options,
                  const std::string& refreshError) {
  WarnAboutRefresh(refreshError);
  bool allFound = true;
  bool badKey = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    KeyResult result = ResolveKey(lookups, options, line, refreshError);
    allFound = allFound && result.outcome == Outcome::kFound;
    badKey = badKey || result.outcome == Outcome::kBadKey;
    if (options.json)
      std::cout << KeyJson(options, result, false) << "\n";
    else
      PrintText(options, result);
    std::cout.flush();
  }
  if (std::cin.bad()) throw ToolError(kExitFailure, "cannot read the keys from standard input");
  if (badKey) return kExitUsage;
  return allFound ? kExitOk : kExitNotFound;
}

}  // namespace

std::string DescribeDatabaseFailure(const CHXGuidLookups& lookups,
                                    const std::string& refreshError) {
  const std::string path = DatabasePath(lookups.guidCacheDir);
  if (!FXFile::DoesFileExist(path))
    return "no database at " + path +
           (refreshError.empty() ? std::string() : " (the refresh failed: " + refreshError + ")") +
           "; import a directory export with 'guidlookup import FILE' or run 'guidlookup "
           "refresh'";
  std::string why = CGuidDB::VerifyFile(path);
  if (why.empty())
    why = lookups.lastFailure().failed() ? PlainFailure(lookups.lastFailure())
                                         : RefreshTimeFailure(lookups.lastReport());
  return "cannot read the database " + path + (why.empty() ? std::string() : ": " + why);
}

std::string SetUpLookups(const ToolContext& context, CHXGuidLookups& lookups, bool shared,
                         bool lotusNotes, bool noRefresh) {
  RequireHome(context);
  RequireGuidCacheFolder(context);
  if (noRefresh) {
    // Taking the process's decision before the library does keeps every
    // refresh out of this run: the library decides at most once per process.
    int32_t undecided = RefreshUndecided;
    CHXGuidLookups::s_shouldRefreshGUIDTable.compare_exchange_strong(undecided, RefreshNotNeeded);
  }
  CLmError error = lookups.Initialize(0, 0, shared, !lotusNotes, &event);
  if (error.IsError())
    throw ToolError(kExitFailure, "cannot set up the lookups in " + lookups.guidCacheDir + ": " +
                                      PlainFailure(lookups.lastFailure()));
  if (!shared) {
    // The refresh an agent's first query would make, made here so that its
    // outcome is known apart from the queries'.
    GUIDTable table;
    lookups.UpdateGUIDDB(table);
  }
  std::string refreshError;
  if (CHXGuidLookups::s_shouldRefreshGUIDTable.load() == RefreshNeeded)
    refreshError = PlainFailure(lookups.lastFailure());
  if (shared && lookups.dbStatus != 0)
    throw ToolError(kExitFailure, DescribeDatabaseFailure(lookups, refreshError));
  return refreshError;
}

int RunResolve(const ToolContext& context, const ResolveOptions& options) {
  CHXGuidLookups lookups;
  const std::string refreshError =
      SetUpLookups(context, lookups, !options.privateMode, options.lotusNotes, options.noRefresh);
  if (options.keys.size() == 1 && options.keys[0] == "-")
    return ResolveStream(lookups, options, refreshError);

  std::vector<KeyResult> results;
  for (const std::string& key : options.keys)
    results.push_back(ResolveKey(lookups, options, key, refreshError));

  if (options.json) {
    PrintJson(options, results);
  } else {
    for (const auto& r : results) PrintText(options, r);
  }

  WarnAboutRefresh(refreshError);
  int status = kExitOk;
  for (const auto& r : results) {
    if (r.outcome == Outcome::kBadKey) return kExitUsage;
    if (r.outcome != Outcome::kFound) status = kExitNotFound;
  }
  return status;
}

}  // namespace guidlookup
