// guidlookup stats: how the lookups of an agent would fare on a list of keys.
//
// The table is set up exactly as an agent's process does it (refresh when
// due, then in shared mode the load of the static cache), the keys go through
// Lookup one after the other, and what happened is read back from the
// library's statistics: the lookup object's counters and, in shared mode, the
// static cache's. The keys are read whole before the clock starts, so that
// the timings are the library's alone.
#include <chrono>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "tools/Commands.h"

namespace guidlookup {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<std::string> ReadKeys(const std::string& file) {
  std::ifstream opened;
  std::istream* in = &std::cin;
  if (file != "-") {
    opened.open(file, std::ios::binary);
    if (!opened) throw ToolError(kExitUsage, "cannot read the key file " + file);
    in = &opened;
  }
  std::vector<std::string> keys;
  for (std::string line; std::getline(*in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) keys.push_back(line);
  }
  if (in->bad())
    throw ToolError(kExitFailure,
                    "cannot read the keys from " + (file == "-" ? "standard input" : file));
  return keys;
}

JsonObject CountersJson(const SLookupStatistics& s) {
  return JsonObject()
      .addNumber("hits", s.hits)
      .addNumber("misses", s.misses)
      .addNumber("databaseQueries", s.databaseQueries)
      .addNumber("databaseFailures", s.databaseFailures)
      .addNumber("refreshes", s.refreshes);
}

void Line(const std::string& name, const std::string& value) {
  std::cout << std::left << std::setw(26) << (name + ":") << value << "\n";
}

std::string Fixed(double value, int decimals) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(decimals) << value;
  return out.str();
}

void PrintCounters(const char* prefix, const SLookupStatistics& s) {
  const std::string p = prefix;
  Line(p + "hits", std::to_string(s.hits));
  Line(p + "misses", std::to_string(s.misses));
  Line(p + "database queries", std::to_string(s.databaseQueries));
  Line(p + "database failures", std::to_string(s.databaseFailures));
  Line(p + "refreshes", std::to_string(s.refreshes));
}

}  // namespace

int RunStats(const ToolContext& context, const StatsOptions& options) {
  const std::vector<std::string> keys = ReadKeys(options.keyFile);
  const bool shared = !options.privateMode;

  SLookupStatistics counters;
  uint64_t found = 0;
  double setupMs = 0, lookupMs = 0;
  std::string refreshError;
  StaticCache* cache = nullptr;
  {
    CHXGuidLookups lookups;
    const Clock::time_point setupStart = Clock::now();
    refreshError = SetUpLookups(context, lookups, shared, options.lotusNotes, options.noRefresh);
    setupMs = MillisecondsSince(setupStart);
    cache = lookups.staticCache;

    const Clock::time_point lookupStart = Clock::now();
    for (const std::string& key : keys) {
      std::string address = key;
      GuidRecordMap records;
      bool ok = lookups.Lookup(address, records, false);
      if (ok && !records.empty()) ++found;
    }
    lookupMs = MillisecondsSince(lookupStart);
    counters = lookups.GetStatistics();
  }  // destroyed: its shared-mode counts are now the cache's too

  const double perKeyUs = keys.empty() ? 0.0 : lookupMs * 1000.0 / static_cast<double>(keys.size());
  SStaticCacheStatistics cacheStats;
  if (shared && cache != nullptr) cacheStats = cache->GetStatistics();

  if (options.json) {
    JsonObject doc;
    doc.add("mode", shared ? "shared" : "private")
        .addNumber("keys", static_cast<unsigned long long>(keys.size()))
        .addNumber("found", static_cast<unsigned long long>(found))
        .addNumber("notFound", static_cast<unsigned long long>(keys.size() - found))
        .addNumber("setupMs", setupMs)
        .addNumber("lookupMs", lookupMs)
        .addNumber("perKeyUs", perKeyUs)
        .addRaw("lookup", CountersJson(counters).str());
    if (shared && cache != nullptr)
      doc.addRaw(
          "cache",
          CountersJson(cacheStats.counts)
              .addBool("loaded", cacheStats.loaded)
              .addNumber("loadTimeMs", static_cast<unsigned long long>(cacheStats.loadTimeMs))
              .addNumber("rows", static_cast<unsigned long long>(cacheStats.rows))
              .addNumber("keys", static_cast<unsigned long long>(cacheStats.keys))
              .addNumber("bytesHeld", static_cast<unsigned long long>(cacheStats.bytesHeld))
              .addNumber("bytesMapped", static_cast<unsigned long long>(cacheStats.bytesMapped))
              .addNumber("snapshotDamage",
                         static_cast<unsigned long long>(cacheStats.snapshotDamage))
              .str());
    else
      doc.addNull("cache");
    if (!refreshError.empty()) doc.add("refreshError", refreshError);
    std::cout << doc.str() << "\n";
  } else {
    Line("mode", shared ? "shared" : "private");
    Line("keys", std::to_string(keys.size()) + " (" + std::to_string(found) + " found, " +
                     std::to_string(keys.size() - found) + " not found)");
    Line("set-up", Fixed(setupMs, 1) + " ms" +
                       (shared ? " (refresh when due, load of the table)" : " (refresh when due)"));
    Line("lookups", Fixed(lookupMs, 1) + " ms, " + Fixed(perKeyUs, 2) + " us per key");
    PrintCounters("", counters);
    if (shared && cache != nullptr) {
      Line("cache loaded", cacheStats.loaded ? "yes" : "no");
      Line("cache load time", std::to_string(cacheStats.loadTimeMs) + " ms");
      Line("cache rows", std::to_string(cacheStats.rows));
      Line("cache keys", std::to_string(cacheStats.keys));
      Line("cache bytes held", std::to_string(cacheStats.bytesHeld) + " (estimate)");
      if (cacheStats.bytesMapped != 0) {
        Line("cache bytes mapped", std::to_string(cacheStats.bytesMapped));
        Line("snapshot damage met",
             std::to_string(cacheStats.snapshotDamage) +
                 (cacheStats.snapshotDamage ? " (run 'guidlookup check')" : ""));
      }
      PrintCounters("cache ", cacheStats.counts);
    }
  }
  if (!refreshError.empty())
    std::cerr << "guidlookup: warning: the refresh of the local table failed: " << refreshError
              << "; the figures come from the table as it was\n";
  return kExitOk;
}

}  // namespace guidlookup
