#include "lookups/GUIDTable.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/EventLog.h"
#include "host/FXString.h"
#include "host/LogWriter.h"
#include "lookups/StaticCache.h"
#include "lookups/snapshot/SharedSnapshot.h"

namespace {

const char kExchangeTag[] = "int GUIDTable::getAllGUIDs(StaticCache&, bool, bool)";
const char kLotusTag[] = "int GUIDTable::getAllLNGUIDs(StaticCache&, bool, bool)";
const char kInsertTag[] =
    "void InsertIntoMFUCache(std::vector<std::__cxx11::basic_string<char> >&, std::string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, "
    "std::vector<std::__cxx11::basic_string<char> >&, std::string&, "
    "std::multimap<int, SGuidRecord>*, StaticCache&, recordInfo_t&, bool, EvDebug&, bool)";

const char kDumpLogName[] = "CIDumpCache";

// How a row's status makes its name a key of its group. kProxy: a fourth
// name when the caller asks for proxy SMTP addresses, else none.
enum class Category { kNone, kFirst, kSingle, kThird, kFourth, kProxy };

// The statuses that make keys, for each kind of agent side by side; any
// other status only adds its record to the group.
struct StatusRule {
  int32_t status;
  Category exchange;
  Category lotus;
};
// clang-format off
constexpr StatusRule kStatusRules[] = {
    // status  Exchange          Lotus Notes
    {1,        Category::kFirst,  Category::kFirst},
    {2,        Category::kProxy,  Category::kNone},
    {8,        Category::kThird,  Category::kThird},
    {16,       Category::kSingle, Category::kNone},
    {64,       Category::kNone,   Category::kThird},
    {128,      Category::kNone,   Category::kSingle},
    {288,      Category::kNone,   Category::kFourth},
};
// clang-format on

// What tells the two loaders apart.
struct LoaderKind {
  const char* tag;
  bool exchange;  // Exchange GUIDs are case-insensitive
  Category StatusRule::*category;
};

const LoaderKind kExchange = {kExchangeTag, true, &StatusRule::exchange};
const LoaderKind kLotus = {kLotusTag, false, &StatusRule::lotus};

Category CategoryOf(const LoaderKind& kind, int32_t status, bool addProxySmtp) {
  for (const StatusRule& rule : kStatusRules) {
    if (rule.status != status) continue;
    const Category category = rule.*kind.category;
    if (category != Category::kProxy) return category;
    return addProxySmtp ? Category::kFourth : Category::kNone;
  }
  return Category::kNone;
}

// The one place the loader's summary is logged, for a load that reads the
// table and for one that maps a snapshot alike, so that both lines are the
// same to the source line.
void LogLoadSummary(const LoaderKind& kind, const recordInfo_t& counters) {
  HXLOG(-1, kind.tag, "Unique GUID: %d, Total Cache Record: %d, Empty Records: %d",
        counters.uniqueGUIDs, counters.totalCacheRecords, counters.emptyRecords);
}

// The group being collected: the rows of one GUID and its key names.
struct Group {
  std::string previousGuid;  // empty until the first group starts
  std::string groupGuid;
  std::vector<std::string> firstNames;
  std::vector<std::string> thirdNames;
  std::vector<std::string> fourthNames;
  std::string singleName;
  std::unique_ptr<GuidRecordMap> map = std::make_unique<GuidRecordMap>();
};

void WriteDumpLine(const std::string& dump, EvDebug& dumpLog) {
  if (dumpLog.IsInitialized())
    dumpLog.Debug("", "%s", dump.c_str());
  else
    HXLOG(1, kInsertTag, "%s", dump.c_str());
}

void OpenDumpLog(const LoaderKind& kind, EvDebug& dumpLog, EvDebugFileInstance& fileInstance) {
  uint32_t logId = EvDebug::getLogId(kDumpLogName);
  if (dumpLog.initialize(&fileInstance, logId, 0, false, "")) {
    HXLOG(1, kind.tag, "Dumping Cache into logfile %s", kDumpLogName);
  } else if (kind.exchange) {
    HXLOG(1, kind.tag,
          "Could not initialized logfile %s to dump cache, dumping cache into the default "
          "logfile",
          kDumpLogName);
  } else {
    HXLOG(1, kind.tag,
          "Could not initialize logfile %s to dump cache, dumping cache into the default "
          "logfile",
          kDumpLogName);
  }
}

// Does the work of InsertIntoMFUCache and lets exceptions through, so that
// the loader can tell a failed load from a complete one.
void InsertGroup(std::vector<std::string>& firstNames, std::string& singleName,
                 std::vector<std::string>& thirdNames, std::vector<std::string>& fourthNames,
                 std::string& groupGuid, GuidRecordMap* map, StaticCache& cache,
                 recordInfo_t& counters, bool dumpCache, EvDebug& dumpLog, bool useFourthNames) {
  if (map == nullptr) return;
  // Callers of the cache read the first record's GUID in this form; the GUID
  // key keeps its dashes.
  if (!map->empty()) {
    std::string& guid = map->begin()->second.guid;
    std::replace(guid.begin(), guid.end(), '-', 'X');
  }
  ++counters.uniqueGUIDs;
  cache.insert(groupGuid, map);  // from here on the cache owns the map

  std::string dump;
  if (dumpCache) dump = "[" + std::to_string(counters.uniqueGUIDs) + "]=>[K:" + groupGuid + "]";
  ++counters.totalCacheRecords;

  auto insertName = [&](const std::string& name) {
    cache.insert(name, map);
    ++counters.totalCacheRecords;
    if (dumpCache) dump += "[K:" + name + "]";
  };
  // An empty list counts as one empty record, and so does each empty name
  // inside it, except in the fourth list.
  auto insertList = [&](const std::vector<std::string>& names, bool countEmptyNames) {
    if (names.empty()) {
      ++counters.emptyRecords;
      return;
    }
    for (const std::string& name : names) {
      if (!name.empty())
        insertName(name);
      else if (countEmptyNames)
        ++counters.emptyRecords;
    }
  };

  insertList(thirdNames, true);
  insertList(firstNames, true);
  if (singleName.empty())
    ++counters.emptyRecords;
  else
    insertName(singleName);
  if (useFourthNames) insertList(fourthNames, false);

  if (dumpCache) {
    for (const auto& entry : *map) {
      dump += "[V:" + std::to_string(entry.first) + ":" + std::to_string(entry.second.status) +
              ":" + entry.second.guid + ":" + entry.second.name + "]";
    }
    WriteDumpLine(dump, dumpLog);
  }
}

void StoreGroup(Group& group, StaticCache& cache, recordInfo_t& counters, bool dumpCache,
                EvDebug& dumpLog, bool useFourthNames) {
  InsertGroup(group.firstNames, group.singleName, group.thirdNames, group.fourthNames,
              group.groupGuid, group.map.release(), cache, counters, dumpCache, dumpLog,
              useFourthNames);
}

// One pass over the table sorted by GUID. Each run of rows with one GUID is
// collected into a map on the heap together with the names its rows make
// keys; when the GUID changes (and at the end) the run is handed to the cache
// as one group. Memory beyond the cache is thus one group's worth.
//
// Rows with an empty GUID are skipped: they sort first and would otherwise
// land in the map of the first real group, making that group answer with
// records of no GUID at all.
int LoadAll(GUIDTable& table, StaticCache& cache, const LoaderKind& kind, bool addProxySmtp,
            bool dumpCache) {
  SGuidRecord record;
  recordInfo_t counters;
  EvDebug dumpLog(nullptr);
  EvDebugFileInstance fileInstance;
  // The Exchange loader admits proxy addresses only on request; the Lotus
  // Notes loader always keeps its fourth list.
  bool useFourthNames = kind.exchange ? addProxySmtp : true;

  if (dumpCache) OpenDumpLog(kind, dumpLog, fileInstance);

  int result = -1;
  try {
    const char* query = CGuidDB::LoaderQuery(kind.exchange, cache.bFilterByGuidForm);
    // A table of n rows gives at most about n keys; sizing the name index
    // once spares the rehashes of a growing one, each of which walks every
    // key already stored.
    if (long rows = cache.writesSnapshot() ? 0 : table.rowCountHint(); rows > 0)
      cache.entries.reserve(static_cast<size_t>(rows));
    std::unique_ptr<SQueryHandle> handle = table.FindByQuery(query);
    if (!handle) return -1;  // the database class has logged why

    Group group;
    // Names become keys in the form find() probes them.
    auto upperName = [](const std::string& name) { return StaticCache::NormalizeKey(name); };

    for (;;) {
      result = table.FindNext(handle.get(), &record);
      if (result < 0) {
        // The group being collected is incomplete and is not stored.
        HXLOG(-1, kind.tag, "Error retrieving records for query [%s]", query);
        break;
      }
      if (result == 1) {
        if (!group.previousGuid.empty())
          StoreGroup(group, cache, counters, dumpCache, dumpLog, useFourthNames);
        break;
      }

      if (kind.exchange) FXString::ToUpper(record.guid);
      if (record.guid.c_str()[0] == '\0') continue;

      // Exchange GUIDs were upper-cased, so a byte-wise comparison groups
      // them regardless of case; Lotus Notes GUIDs keep their case.
      bool newGroup = kind.exchange ? record.guid != group.previousGuid
                                    : FXString::Compare(record.guid, group.previousGuid) != 0;
      if (newGroup) {
        if (!group.previousGuid.empty()) {
          StoreGroup(group, cache, counters, dumpCache, dumpLog, useFourthNames);
          group.map = std::make_unique<GuidRecordMap>();
        }
        group.singleName.clear();
        group.firstNames.clear();
        group.thirdNames.clear();
        group.fourthNames.clear();
        group.previousGuid = record.guid;
        group.groupGuid = record.guid;
      }

      switch (CategoryOf(kind, record.status, addProxySmtp)) {
        case Category::kFirst:
          group.firstNames.push_back(upperName(record.name));
          break;
        case Category::kSingle:
          group.singleName = upperName(record.name);
          break;
        case Category::kThird:
          group.thirdNames.push_back(upperName(record.name));
          break;
        case Category::kFourth:
          group.fourthNames.push_back(upperName(record.name));
          break;
        case Category::kNone:
        case Category::kProxy:
          break;
      }
      group.map->emplace(record.status, record);
    }
    table.FindClose(handle);

    LogLoadSummary(kind, counters);
    if (result == 1) cache.recordLoadCounters(counters);
  } catch (const std::exception& e) {
    HXLOG(-1, kind.tag, "Cannot execute the query to determine least accessed volumes. Error [%s]",
          e.what());
    result = -1;
  } catch (...) {
    HXLOG(-1, kind.tag, "Cannot execute the query to determine least accessed volumes. Error [%s]",
          "unknown exception");
    result = -1;
  }
  return result;
}

}  // namespace

int GUIDTable::getAllGUIDs(StaticCache& cache, bool addProxySmtp, bool dumpCache) {
  try {
    return LoadAll(*this, cache, kExchange, addProxySmtp, dumpCache);
  } catch (...) {
    return -1;  // the dump logger or a log line ran out of memory
  }
}

int GUIDTable::getAllLNGUIDs(StaticCache& cache, bool addProxySmtp, bool dumpCache) {
  try {
    return LoadAll(*this, cache, kLotus, addProxySmtp, dumpCache);
  } catch (...) {
    return -1;
  }
}

// The dump of a mapped load is made from the snapshot's groups, which hold
// the keys each group offered (taken or not) in the order the loader offered
// them, so that every line reads as the in-heap load writes it.
void ReplaySnapshotLoad(const SharedSnapshot& snapshot, bool dumpCache) {
  const LoaderKind& kind = snapshot.source().exchange ? kExchange : kLotus;
  if (dumpCache) {
    EvDebug dumpLog(nullptr);
    EvDebugFileInstance fileInstance;
    OpenDumpLog(kind, dumpLog, fileInstance);
    int groups = 0;
    snapshot.ForEachGroup([&](const SSnapshotGroup& group) {
      std::string dump = "[" + std::to_string(++groups) + "]=>[K:" + group.guid + "]";
      for (const std::string& key : group.keys) dump += "[K:" + key + "]";
      for (const auto& entry : group.records)
        dump += "[V:" + std::to_string(entry.first) + ":" + std::to_string(entry.second.status) +
                ":" + entry.second.guid + ":" + entry.second.name + "]";
      WriteDumpLine(dump, dumpLog);
    });
  }
  recordInfo_t counters;
  snapshot.counters(counters);
  LogLoadSummary(kind, counters);
}

bool StatusMakesKey(bool exchange, bool addProxySmtp, int32_t status) {
  const Category category = CategoryOf(exchange ? kExchange : kLotus, status, addProxySmtp);
  return category != Category::kNone && category != Category::kProxy;
}

void GUIDTable::ToUpper(const std::string& src, char* dst, int dstLen) {
  if (dst == nullptr || dstLen < 1) return;
  size_t count = std::min(src.size(), static_cast<size_t>(dstLen - 1));
  for (size_t i = 0; i < count; ++i) {
    // toupper takes an unsigned char value (or EOF); a plain char above 0x7f
    // would reach it negative.
    dst[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(src[i])));
  }
  dst[count] = '\0';
}

void GUIDTable::ToUpper(const std::basic_string<wchar_t>& src, wchar_t* dst, int dstLen) {
  if (dst == nullptr || dstLen < 1) return;
  size_t count = std::min(src.size(), static_cast<size_t>(dstLen - 1));
  for (size_t i = 0; i < count; ++i) {
    // toupper is defined only for unsigned char values; wider characters
    // cannot change under it and pass as they are.
    const wchar_t c = src[i];
    dst[i] = c >= 0 && c < 256 ? static_cast<wchar_t>(std::toupper(static_cast<int>(c))) : c;
  }
  dst[count] = L'\0';
}

void InsertIntoMFUCache(std::vector<std::string>& firstNames, std::string& singleName,
                        std::vector<std::string>& thirdNames, std::vector<std::string>& fourthNames,
                        std::string& groupGuid, GuidRecordMap* map, StaticCache& cache,
                        recordInfo_t& counters, bool dumpCache, EvDebug& dumpLog,
                        bool useFourthNames) {
  try {
    InsertGroup(firstNames, singleName, thirdNames, fourthNames, groupGuid, map, cache, counters,
                dumpCache, dumpLog, useFourthNames);
  } catch (...) {
    // Out of memory: the keys inserted so far stay, and the map belongs to
    // the cache once the first insert ran.
  }
}

long GUIDTable::rowCountHint() {
  long rows = 0;
  return CountRows(rows) == 0 ? rows : 0;
}
