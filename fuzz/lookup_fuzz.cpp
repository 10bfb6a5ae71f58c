// Lookups of arbitrary keys in both modes over one small table: nothing
// crashes, every answer is one GUID's records, the private mode's cache
// answers as its database did, and a key that the shared mode resolves by
// name or by GUID is resolved by the private mode to the same records.
//
// The input's first byte chooses keyIsGuid (its low bit); the rest is the key.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "host/HostConfig.h"
#include "lookups/HXGuidLookups.h"

namespace {

struct TableRow {
  const char* name;
  const char* guid;
  int status;
};

// GUIDs differ beyond case and names are unique regardless of ASCII case, so
// that a name or a GUID leads to one group in both modes. The names hold
// what a query builder must quote or may mistake for a pattern.
const char kGuidA[] = "{6F1A2B3C-0000-4000-8000-00000000000A}";
const char kGuidB[] = "{6f1a2b3c-0000-4000-8000-00000000000b}";
const char kGuidC[] = "guid-without-braces-c";
const char kGuidD[] = "{D}";
const char kGuidE[] = "{E-status-0-only}";
const TableRow kRows[] = {
    {"Alice@Corp.Test", kGuidA, 1},
    {"alice.smith@corp.test", kGuidA, 2},
    {"ALICE", kGuidA, 8},
    {"/o=Corp/ou=First Group/cn=Recipients/cn=alice", kGuidA, 16},
    {"o'brien@corp.test", kGuidB, 1},
    {"100%_sure@corp.test", kGuidB, 8},
    {"\xC3\x9Cn\xC3\xAF\x63\xC3\xB6\x64\xC3\xA9@corp.test", kGuidC, 1},
    {"  spaced name  ", kGuidC, 8},
    {"", kGuidD, 1},
    {"semi;colon\"quote\\back@corp.test", kGuidD, 1},
    {"nokey@corp.test", kGuidE, 0},
    {"orphan@corp.test", "", 1},
};

// The statuses whose names the shared mode's Exchange loader makes keys
// (without proxy addresses).
bool IsSharedKeyStatus(int status) { return status == 1 || status == 8 || status == 16; }

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// The two modes spell a GUID differently: the shared mode upper-cases it, and
// both put 'X' for '-' in the first record's.
std::string CanonicalGuid(const std::string& guid) {
  std::string s = Upper(guid);
  std::replace(s.begin(), s.end(), '-', 'X');
  return s;
}

using Canonical = std::vector<std::tuple<int, std::string, std::string>>;

// Records as a sorted list: the order of rows of one status is the
// database's choice and may differ between the modes' queries.
Canonical Canonicalise(const GuidRecordMap& records) {
  Canonical out;
  for (const auto& entry : records) {
    FUZZ_CHECK(entry.first == entry.second.status);
    out.emplace_back(entry.first, entry.second.name, CanonicalGuid(entry.second.guid));
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool OneGuid(const Canonical& records) {
  for (const auto& r : records)
    if (std::get<2>(r) != std::get<2>(records.front())) return false;
  return true;
}

void Exec(sqlite3* db, const char* sql) {
  FUZZ_CHECK(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK);
}

void MakeTable(const std::string& file) {
  sqlite3* db = nullptr;
  FUZZ_CHECK(sqlite3_open(file.c_str(), &db) == SQLITE_OK);
  Exec(db,
       "CREATE TABLE GUID (Name TEXT, GUID TEXT, Status INTEGER);"
       "CREATE INDEX NAME_index ON GUID(Name ASC);"
       "CREATE INDEX GUID_index ON GUID(GUID ASC);");
  sqlite3_stmt* st = nullptr;
  FUZZ_CHECK(sqlite3_prepare_v2(db, "INSERT INTO GUID VALUES (?,?,?)", -1, &st, nullptr) ==
             SQLITE_OK);
  for (const TableRow& row : kRows) {
    sqlite3_bind_text(st, 1, row.name, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 2, row.guid, -1, SQLITE_STATIC);
    sqlite3_bind_int(st, 3, row.status);
    FUZZ_CHECK(sqlite3_step(st) == SQLITE_DONE);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

// The private mode caches an answer under the key alone, whichever
// keyIsGuid produced it, so one object per kind of key: otherwise a GUID
// search's answer would come back for a name search of the same text.
CHXGuidLookups* shared = nullptr;
CHXGuidLookups* privateByName = nullptr;
CHXGuidLookups* privateByGuid = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::SilenceLog();
  const std::string root = fuzzsupport::SandboxDir();
  const std::string home = root + "/home";
  const std::string settingsDir = root + "/settings";
  const std::string lockDir = root + "/locks";
  for (const std::string& dir :
       {home, home + "/JobResults", home + "/JobResults/GUIDCacheDir", settingsDir, lockDir})
    FUZZ_CHECK(mkdir(dir.c_str(), 0755) == 0);
  hostconfig::Set(hostconfig::Knob::kSettingsDir, settingsDir);
  hostconfig::Set(hostconfig::Knob::kLockDir, lockDir);
  hostconfig::Set(hostconfig::Knob::kInstance, "FuzzInstance");
  // Fresh and with a ten-year interval: no refresh runs, nothing is fetched.
  fuzzsupport::WriteWholeFile(
      settingsDir + "/FuzzInstance.ini",
      "[vTaskHost]\ndHOME=" + home +
          "\n[EventManager]\ngetSqlLiteDbFromHB=0\nSmtpGuidTableRefreshInterval=5256000\n"
          "nLastGuidNameTableRefreshTime=" +
          std::to_string(static_cast<long>(time(nullptr))) + "\nAddressCacheMemorySize=8\n");
  MakeTable(home + "/JobResults/GUIDCacheDir/GUIDDB.DAT");

  shared = new CHXGuidLookups();
  FUZZ_CHECK(!shared->Initialize(1, 0, true, true, &event).IsError());
  FUZZ_CHECK(shared->dbStatus == 0);
  privateByName = new CHXGuidLookups();
  FUZZ_CHECK(!privateByName->Initialize(1, 0, false, true, &event).IsError());
  privateByGuid = new CHXGuidLookups();
  FUZZ_CHECK(!privateByGuid->Initialize(1, 0, false, true, &event).IsError());
  FUZZ_CHECK(CHXGuidLookups::s_shouldRefreshGUIDTable.load() == RefreshNotNeeded);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool keyIsGuid = (data[0] & 1) != 0;
  const std::string key(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string address = key;
  GuidRecordMap sharedRecords;
  const bool sharedFound = shared->Lookup(address, sharedRecords, keyIsGuid);
  FUZZ_CHECK(address == key);
  const Canonical sharedRows = Canonicalise(sharedRecords);
  FUZZ_CHECK(sharedFound != sharedRows.empty());
  FUZZ_CHECK(!sharedFound || OneGuid(sharedRows));
  // LookupAndFind picks the first record of the status from the same answer.
  for (int status : {1, 2, 8}) {
    std::string name = "<unset>";
    const bool named = shared->LookupAndFind(address, status, name, keyIsGuid);
    auto range = sharedRecords.equal_range(status);
    const bool expected = range.first != range.second && !range.first->second.name.empty();
    FUZZ_CHECK(named == expected);
    FUZZ_CHECK(name == (expected ? range.first->second.name : std::string()));
  }

  CHXGuidLookups* privateMode = keyIsGuid ? privateByGuid : privateByName;
  GuidRecordMap first, second;
  const bool privateFound = privateMode->Lookup(address, first, keyIsGuid);
  FUZZ_CHECK(privateFound);  // the database is there: every key gets an answer
  // The second answer may come from the cache; it must be the database's.
  FUZZ_CHECK(privateMode->Lookup(address, second, keyIsGuid));
  const Canonical privateRows = Canonicalise(first);
  FUZZ_CHECK(Canonicalise(second) == privateRows);

  // The database sees the key as a C string, and a GUID key as a LIKE
  // pattern: only a plain key has one meaning in both modes.
  const std::string plain = key.c_str();
  const bool pattern = keyIsGuid && plain.find_first_of("%_") != std::string::npos;
  if (!pattern) FUZZ_CHECK(privateRows.empty() || OneGuid(privateRows));
  if (!sharedFound || pattern || plain.size() != key.size()) return 0;

  // The key names a group the same way in both modes when it is, regardless
  // of ASCII case, a GUID of the table (as a GUID key) or a name that the
  // shared mode makes a key (as a name key).
  bool sameKind = false;
  for (const TableRow& row : kRows) {
    if (*row.guid == '\0') continue;
    if (keyIsGuid)
      sameKind = sameKind || Upper(row.guid) == Upper(plain);
    else
      sameKind = sameKind || (IsSharedKeyStatus(row.status) && Upper(row.name) == Upper(plain));
  }
  if (sameKind) FUZZ_CHECK(privateRows == sharedRows);
  return 0;
}
