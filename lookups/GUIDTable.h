// The bulk loader of the static cache: reads the whole GUID table in one
// query sorted by GUID and makes each GUID's rows one group, which it hands
// to a GroupSink (the in-heap cache, or the snapshot writer), through the
// dump when one is asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/EventLog.h"
#include "host/Export.h"

// Load counters of one bulk load.
struct GUIDLOOKUPS_EXPORT recordInfo_t {
  int32_t uniqueGUIDs = 0;        // groups stored
  int32_t totalCacheRecords = 0;  // keys offered to the cache, duplicates included
  int32_t emptyRecords = 0;       // empty name lists and empty names
};

// The rows of one GUID as the loader made them.
struct GUIDLOOKUPS_EXPORT GuidGroup {
  std::string guid;               // the GUID key
  std::vector<std::string> keys;  // the names offered as keys, in key form and in order
  GuidRecordMap records;          // by status; the first record's GUID in "X" form
};

// Takes the groups of a load, in load order. A key offered by an earlier
// group stays that group's.
class GUIDLOOKUPS_EXPORT GroupSink {
 public:
  virtual ~GroupSink() = default;
  // May move the keys and records away: the loader empties the group
  // afterwards. May throw (out of memory), which fails the load.
  virtual void Take(GuidGroup& group) = 0;
};

// Writes each group's line of the cache dump (to the dump log "CIDumpCache",
// else to the log) and hands the group on to `next`, when there is one.
class GUIDLOOKUPS_EXPORT GroupDump : public GroupSink {
 public:
  // Opens the dump log, with the line of the Exchange or the Lotus Notes
  // loader that says where the dump goes.
  GroupDump(bool exchange, GroupSink* next);
  void Take(GuidGroup& group) override;

 private:
  GroupSink* next_;
  int written_ = 0;
  EvDebug log_{nullptr};
  EvDebugFileInstance file_;
};

// Reads the whole GUID table in one query sorted by GUID and hands each
// group of rows with one GUID to a sink, keyed by the GUID and the
// upper-cased names whose status makes them keys (lookups/CacheKey.h).
//
// Thread-safety: one thread at a time; called by StaticCache::fastload with
// criticalSec and the named mutex held.
class GUIDLOOKUPS_EXPORT GUIDTable : public CGuidDB {
 public:
  GUIDTable() = default;
  ~GUIDTable() override = default;

  // The Exchange loader: keys are the names of status 1, 8, 16 (the last
  // row's only) and, with `addProxySmtp`, 2. Returns 1 after every row was
  // read, a negative value when a row could not be read, -1 when the query
  // could not be started, the sink threw or the database layer threw.
  int getAllGUIDs(GroupSink& sink, bool addProxySmtp, bool dumpCache);
  // The Lotus Notes loader: keys are the names of status 1, 8, 64, 128 (the
  // last row's only) and 288; GUIDs keep their case. Results as above, the
  // read error being -1.
  int getAllLNGUIDs(GroupSink& sink, bool addProxySmtp, bool dumpCache);
  // The counters of the last load, also of one that failed part-way.
  const recordInfo_t& counters() const { return counters_; }
  // Reads only the GUIDs of the agent's own form ("{...}" for Exchange).
  bool filterByGuidForm = false;

  // The number of rows of the GUID table, or 0 when it cannot be counted
  // (logged as by CountRows). Only a size hint for the load; never throws.
  long rowCountHint();

  // Upper-cases at most dstLen - 1 characters of `src` into `dst` and
  // terminates it; nothing when `dst` is null. Bytes are taken as unsigned;
  // wide characters of 256 or more pass unchanged. REQUIRES: dstLen >= 1.
  static void ToUpper(const std::string& src, char* dst, int dstLen);
  static void ToUpper(const std::basic_string<wchar_t>& src, wchar_t* dst, int dstLen);

 private:
  int LoadAll(GroupSink& sink, bool exchange, bool addProxySmtp, bool dumpCache);
  recordInfo_t counters_;
};

// The loader's summary line, for a load that reads the table and for one
// that maps a snapshot alike, so that both lines are the same to the source
// line.
GUIDLOOKUPS_EXPORT void LogLoadSummary(bool exchange, const recordInfo_t& counters);
