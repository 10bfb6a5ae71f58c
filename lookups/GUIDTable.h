// The bulk loader of the static cache: reads the whole GUID table in one
// query sorted by GUID and hands each GUID's group of rows to the cache.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/EventLog.h"
#include "host/Export.h"

class SharedSnapshot;
class StaticCache;

// Load counters of one bulk load.
struct GUIDLOOKUPS_EXPORT recordInfo_t {
  int32_t uniqueGUIDs = 0;        // groups stored
  int32_t totalCacheRecords = 0;  // keys offered to the cache, duplicates included
  int32_t emptyRecords = 0;       // empty name lists and empty names
};

// Reads the whole GUID table in one query sorted by GUID and stores each
// group of rows with one GUID as one map under the GUID and the upper-cased
// names whose status makes them keys.
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
  // could not be started or the database layer threw.
  int getAllGUIDs(StaticCache& cache, bool addProxySmtp, bool dumpCache);
  // The Lotus Notes loader: keys are the names of status 1, 8, 64, 128 (the
  // last row's only) and 288; GUIDs keep their case. Results as above, the
  // read error being -1.
  int getAllLNGUIDs(StaticCache& cache, bool addProxySmtp, bool dumpCache);

  // The number of rows of the GUID table, or 0 when it cannot be counted
  // (logged as by CountRows). Only a size hint for the load; never throws.
  long rowCountHint();

  // Upper-cases at most dstLen - 1 characters of `src` into `dst` and
  // terminates it; nothing when `dst` is null. Bytes are taken as unsigned;
  // wide characters of 256 or more pass unchanged. REQUIRES: dstLen >= 1.
  static void ToUpper(const std::string& src, char* dst, int dstLen);
  static void ToUpper(const std::basic_string<wchar_t>& src, wchar_t* dst, int dstLen);
};

// Stores one group: the GUID and every non-empty name as keys of `map`
// (ownership of `map` passes to the cache), counts them and, with
// `dumpCache`, writes the group's dump line.
GUIDLOOKUPS_EXPORT void InsertIntoMFUCache(std::vector<std::string>& firstNames,
                                           std::string& singleName,
                                           std::vector<std::string>& thirdNames,
                                           std::vector<std::string>& fourthNames,
                                           std::string& groupGuid, GuidRecordMap* map,
                                           StaticCache& cache, recordInfo_t& counters,
                                           bool dumpCache, EvDebug& dumpLog, bool useFourthNames);

// Whether a row of `status` offers its name as a key under the rules of the
// Exchange loader (with or without proxy addresses) or the Lotus Notes one.
bool StatusMakesKey(bool exchange, bool addProxySmtp, int32_t status);

// Writes the log lines (and, with `dumpCache`, the dump) that the loader of
// `snapshot`'s kind wrote when it built the table the snapshot holds; used by
// a load that maps the snapshot instead of reading the table.
void ReplaySnapshotLoad(const SharedSnapshot& snapshot, bool dumpCache);
