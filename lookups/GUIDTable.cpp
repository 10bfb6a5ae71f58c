#include "lookups/GUIDTable.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/EventLog.h"
#include "host/LogWriter.h"
#include "lookups/CacheKey.h"

namespace {

const char kExchangeTag[] = "int GUIDTable::getAllGUIDs(StaticCache&, bool, bool)";
const char kLotusTag[] = "int GUIDTable::getAllLNGUIDs(StaticCache&, bool, bool)";
const char kInsertTag[] =
    "void InsertIntoMFUCache(std::vector<std::__cxx11::basic_string<char> >&, std::string&, "
    "std::vector<std::__cxx11::basic_string<char> >&, "
    "std::vector<std::__cxx11::basic_string<char> >&, std::string&, "
    "std::multimap<int, SGuidRecord>*, StaticCache&, recordInfo_t&, bool, EvDebug&, bool)";

const char kDumpLogName[] = "CIDumpCache";

const char* TagOf(bool exchange) { return exchange ? kExchangeTag : kLotusTag; }

// The group being collected: the rows of one GUID and, list by list, the
// names they make keys (lookups/CacheKey.h).
class GroupMaker {
 public:
  GroupMaker(bool exchange, bool addProxySmtp, recordInfo_t& counters)
      : exchange_(exchange),
        addProxySmtp_(addProxySmtp),
        // The Exchange loader admits proxy addresses only on request; the
        // Lotus Notes loader always keeps its fourth list.
        useFourth_(exchange ? addProxySmtp : true),
        counters_(counters) {}

  // Whether a row of `guid` (in key form, not empty) belongs to the group.
  // Exchange GUIDs were upper-cased, so a byte-wise comparison groups them
  // regardless of case; Lotus Notes GUIDs keep their case.
  bool Holds(const std::string& guid) const {
    if (group_.guid.empty()) return false;
    return exchange_ ? guid == group_.guid : FXString::Compare(guid, group_.guid) == 0;
  }
  void Start(const std::string& guid) { group_.guid = guid; }
  void Add(const SGuidRecord& record) {
    using cachekey::KeyList;
    const KeyList list = cachekey::ListOf(exchange_, addProxySmtp_, record.status);
    if (list == KeyList::kSingle)
      single_ = cachekey::Form(record.name);  // the last row's only
    else if (list != KeyList::kNone)
      lists_[static_cast<int>(list)].push_back(cachekey::Form(record.name));
    group_.records.emplace(record.status, record);
  }
  // Hands the group, if one was started, to `sink` and starts afresh.
  void HandTo(GroupSink& sink);

 private:
  void Offer(std::vector<std::string>& names, bool countEmptyNames);
  void Offer(std::string& name);

  const bool exchange_, addProxySmtp_, useFourth_;
  recordInfo_t& counters_;
  GuidGroup group_;
  std::vector<std::string> lists_[5];  // by cachekey::KeyList
  std::string single_;
};

void GroupMaker::Offer(std::string& name) {
  group_.keys.push_back(std::move(name));
  ++counters_.totalCacheRecords;
}

// An empty list counts as one empty record, and so does each empty name
// inside it, except in the fourth list.
void GroupMaker::Offer(std::vector<std::string>& names, bool countEmptyNames) {
  if (names.empty()) ++counters_.emptyRecords;
  for (std::string& name : names) {
    if (!name.empty())
      Offer(name);
    else if (countEmptyNames)
      ++counters_.emptyRecords;
  }
}

void GroupMaker::HandTo(GroupSink& sink) {
  using cachekey::KeyList;
  if (group_.guid.empty()) return;
  // Callers of the cache read the first record's GUID in this form; the GUID
  // key keeps its dashes.
  if (!group_.records.empty()) {
    std::string& guid = group_.records.begin()->second.guid;
    guid = cachekey::XForm(guid);
  }
  ++counters_.uniqueGUIDs;
  ++counters_.totalCacheRecords;  // the GUID key
  Offer(lists_[static_cast<int>(KeyList::kThird)], true);
  Offer(lists_[static_cast<int>(KeyList::kFirst)], true);
  if (single_.empty())
    ++counters_.emptyRecords;
  else
    Offer(single_);
  if (useFourth_) Offer(lists_[static_cast<int>(KeyList::kFourth)], false);
  sink.Take(group_);
  group_.guid.clear();
  group_.keys.clear();
  group_.records.clear();
  for (std::vector<std::string>& list : lists_) list.clear();
  single_.clear();
}

}  // namespace

GroupDump::GroupDump(bool exchange, GroupSink* next) : next_(next) {
  const char* tag = TagOf(exchange);
  if (log_.initialize(&file_, EvDebug::getLogId(kDumpLogName), 0, false, "")) {
    HXLOG(1, tag, "Dumping Cache into logfile %s", kDumpLogName);
  } else if (exchange) {
    HXLOG(1, tag,
          "Could not initialized logfile %s to dump cache, dumping cache into the default "
          "logfile",
          kDumpLogName);
  } else {
    HXLOG(1, tag,
          "Could not initialize logfile %s to dump cache, dumping cache into the default "
          "logfile",
          kDumpLogName);
  }
}

// The one place a dump line is made, from a group of a load that reads the
// table and of one that maps a snapshot alike.
void GroupDump::Take(GuidGroup& group) {
  std::string line = "[" + std::to_string(++written_) + "]=>[K:" + group.guid + "]";
  for (const std::string& key : group.keys) line += "[K:" + key + "]";
  for (const auto& entry : group.records)
    line += "[V:" + std::to_string(entry.first) + ":" + std::to_string(entry.second.status) + ":" +
            entry.second.guid + ":" + entry.second.name + "]";
  if (log_.IsInitialized())
    log_.Debug("", "%s", line.c_str());
  else
    HXLOG(1, kInsertTag, "%s", line.c_str());
  if (next_) next_->Take(group);
}

void LogLoadSummary(bool exchange, const recordInfo_t& counters) {
  HXLOG(-1, TagOf(exchange), "Unique GUID: %d, Total Cache Record: %d, Empty Records: %d",
        counters.uniqueGUIDs, counters.totalCacheRecords, counters.emptyRecords);
}

// One pass over the table sorted by GUID. Each run of rows with one GUID is
// collected into one group together with the names its rows make keys; when
// the GUID changes (and at the end) the run is handed to the sink. Memory
// beyond the sink's is thus one group's worth.
//
// Rows with an empty GUID are skipped: they sort first and would otherwise
// land in the first real group, making that group answer with records of no
// GUID at all.
int GUIDTable::LoadAll(GroupSink& sink, bool exchange, bool addProxySmtp, bool dumpCache) {
  const char* tag = TagOf(exchange);
  counters_ = recordInfo_t();
  std::unique_ptr<GroupDump> dump;
  if (dumpCache) dump = std::make_unique<GroupDump>(exchange, &sink);
  GroupSink& to = dump ? *dump : sink;
  int result = -1;
  try {
    const char* query = LoaderQuery(exchange, filterByGuidForm);
    std::unique_ptr<SQueryHandle> handle = FindByQuery(query);
    if (!handle) return -1;  // the database class has logged why

    GroupMaker group(exchange, addProxySmtp, counters_);
    SGuidRecord record;
    while ((result = FindNext(handle.get(), &record)) == 0) {
      cachekey::GuidKey(exchange, record.guid);
      if (record.guid.c_str()[0] == '\0') continue;
      if (!group.Holds(record.guid)) {
        group.HandTo(to);
        group.Start(record.guid);
      }
      group.Add(record);
    }
    // After a read error the group being collected is incomplete and is not
    // handed over.
    if (result < 0)
      HXLOG(-1, tag, "Error retrieving records for query [%s]", query);
    else
      group.HandTo(to);
    FindClose(handle);
    LogLoadSummary(exchange, counters_);
  } catch (const std::exception& e) {
    HXLOG(-1, tag, "Cannot execute the query to determine least accessed volumes. Error [%s]",
          e.what());
    result = -1;
  } catch (...) {
    HXLOG(-1, tag, "Cannot execute the query to determine least accessed volumes. Error [%s]",
          "unknown exception");
    result = -1;
  }
  return result;
}

int GUIDTable::getAllGUIDs(GroupSink& sink, bool addProxySmtp, bool dumpCache) {
  try {
    return LoadAll(sink, true, addProxySmtp, dumpCache);
  } catch (...) {
    return -1;  // the dump logger or a log line ran out of memory
  }
}

int GUIDTable::getAllLNGUIDs(GroupSink& sink, bool addProxySmtp, bool dumpCache) {
  try {
    return LoadAll(sink, false, addProxySmtp, dumpCache);
  } catch (...) {
    return -1;
  }
}

void GUIDTable::ToUpper(const std::string& src, char* dst, int dstLen) {
  if (dst == nullptr || dstLen < 1) return;
  size_t count = std::min(src.size(), static_cast<size_t>(dstLen - 1));
  for (size_t i = 0; i < count; ++i)
    dst[i] = cachekey::LocaleUpper()(static_cast<unsigned char>(src[i]));
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

long GUIDTable::rowCountHint() {
  long rows = 0;
  return CountRows(rows) == 0 ? rows : 0;
}
