// guidlookup resolve: the lookups an agent makes, made by hand.
//
// The keys go through Initialize and Lookup (or LookupAndFind) exactly as a
// mail agent's would, in shared mode (the process-wide static cache) or in
// private mode (an MFU cache in front of database queries), so that what the
// operator sees is what the agent gets, GUID rewriting included.
#include <iostream>
#include <sstream>

#include "host/FXString.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

enum class Outcome { kFound, kNotFound };

struct KeyResult {
  std::string key;
  Outcome outcome = Outcome::kNotFound;
  GuidRecordMap records;  // without --status
  std::string name;       // with --status
  bool keyKnown = false;  // with --status: the key resolved, to some record
};

// After a lookup reported a failure: why, in one line. `refreshError` is
// why this run's refresh failed, "" when it did not.
std::string DescribeDatabaseFailure(const CHXGuidLookups& lookups,
                                    const std::string& refreshError) {
  const std::string path = DatabasePath(lookups.guidCacheDir);
  if (!FXFile::DoesFileExist(path))
    return "no database at " + path +
           (refreshError.empty() ? std::string() : " (the refresh failed: " + refreshError + ")") +
           "; import a directory export with 'guidlookup import FILE' or run 'guidlookup "
           "refresh'";
  std::string why = CGuidDB::VerifyFile(path);
  if (why.empty() && !lookups.lastError.empty()) why = PlainError(lookups.lastError);
  return "cannot read the database " + path + (why.empty() ? std::string() : ": " + why);
}

void PrintText(const ResolveOptions& options, const std::vector<KeyResult>& results) {
  for (const auto& r : results) {
    if (options.statusGiven) {
      if (r.outcome == Outcome::kFound)
        std::cout << r.key << ": " << r.name << "\n";
      else if (r.keyKnown)
        std::cout << r.key << ": no record of status " << options.status << "\n";
      else
        std::cout << r.key << ": not found\n";
      continue;
    }
    if (r.outcome == Outcome::kNotFound) {
      std::cout << r.key << ": not found\n";
      continue;
    }
    std::cout << r.key << ": " << r.records.size()
              << (r.records.size() == 1 ? " record" : " records") << "\n";
    for (const auto& entry : r.records)
      std::cout << "  " << entry.second.status << "\t" << entry.second.name << "\t"
                << entry.second.guid << "\n";
  }
}

void PrintJson(const ResolveOptions& options, const std::vector<KeyResult>& results) {
  std::ostringstream out;
  out << "[";
  for (size_t i = 0; i < results.size(); ++i) {
    const KeyResult& r = results[i];
    bool found = r.outcome == Outcome::kFound;
    out << (i ? ",\n  " : "\n  ") << "{\"key\": \"" << JsonEscape(r.key)
        << "\", \"found\": " << (found ? "true" : "false");
    if (options.statusGiven) {
      out << ", \"status\": " << options.status << ", \"name\": ";
      if (found)
        out << "\"" << JsonEscape(r.name) << "\"";
      else
        out << "null";
    } else {
      out << ", \"records\": [";
      bool first = true;
      for (const auto& entry : r.records) {
        out << (first ? "\n" : ",\n") << "    {\"status\": " << entry.second.status
            << ", \"name\": \"" << JsonEscape(entry.second.name) << "\", \"guid\": \""
            << JsonEscape(entry.second.guid) << "\"}";
        first = false;
      }
      out << (first ? "]" : "\n  ]");
    }
    out << "}";
  }
  out << (results.empty() ? "]\n" : "\n]\n");
  std::cout << out.str();
}

}  // namespace

int RunResolve(const ToolContext& context, const ResolveOptions& options) {
  RequireHome(context);
  RequireGuidCacheFolder(context);
  if (options.noRefresh) {
    // Taking the process's decision before the library does keeps every
    // refresh out of this run: the library decides at most once per process.
    int32_t undecided = RefreshUndecided;
    CHXGuidLookups::s_shouldRefreshGUIDTable.compare_exchange_strong(undecided, RefreshNotNeeded);
  }
  const bool shared = !options.privateMode;

  CHXGuidLookups lookups;
  CLmError error = lookups.Initialize(0, 0, shared, !options.lotusNotes, &event);
  if (error.IsError())
    throw ToolError(kExitFailure,
                    "cannot set up the lookups in " + lookups.guidCacheDir + ": " +
                        PlainError(lookups.lastError.empty() ? error.Text() : lookups.lastError));
  if (!shared) {
    // The refresh an agent's first query would make, made here so that its
    // outcome is known apart from the queries'.
    GUIDTable table;
    lookups.UpdateGUIDDB(table);
  }
  std::string refreshError;
  if (CHXGuidLookups::s_shouldRefreshGUIDTable.load() == RefreshNeeded)
    refreshError = PlainError(lookups.lastError);
  if (shared && lookups.dbStatus != 0)
    throw ToolError(kExitFailure, DescribeDatabaseFailure(lookups, refreshError));

  std::vector<KeyResult> results;
  for (const std::string& key : options.keys) {
    KeyResult result;
    result.key = key;
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
    results.push_back(std::move(result));
  }

  if (options.json)
    PrintJson(options, results);
  else
    PrintText(options, results);

  if (!refreshError.empty())
    std::cerr << "guidlookup: warning: the refresh of the local table failed: " << refreshError
              << "; the answers come from the table as it was\n";
  for (const auto& r : results)
    if (r.outcome != Outcome::kFound) return kExitNotFound;
  return kExitOk;
}

}  // namespace guidlookup
