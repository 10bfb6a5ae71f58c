// Benchmarks of the library's hot paths, each beside the floor it is judged
// against: a plain hash map, an exact prepared SQLite query, the plain rebuild
// through SQLite, and curl. Rows come from BenchData (seeded).
//
// Environment: GUIDLOOKUPS_BENCH_ROWS (default 1000000), GUIDLOOKUPS_BENCH_DIR
// (work folder, default a new folder under /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "BenchData.h"
#include "guiddb/GuidDB.h"
#include "host/AppMgrClient.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "lookups/HXGuidLookups.h"
#include "lookups/directory/LdifRows.h"
#include "lookups/refresh/TableRebuild.h"
#include "lookups/snapshot/SharedSnapshot.h"

namespace fs = std::filesystem;

namespace {

struct Workspace {
  size_t rowCount = 1000000;
  std::string root, home, cacheDir, settingsDir, dbPath;
  bench::Directory dir;

  Workspace() {
    if (const char* r = std::getenv("GUIDLOOKUPS_BENCH_ROWS")) rowCount = std::stoul(r);
    if (const char* d = std::getenv("GUIDLOOKUPS_BENCH_DIR")) {
      root = d;
    } else {
      char tmpl[] = "/tmp/guidlookups-bench-XXXXXX";
      if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
      root = tmpl;
    }
    home = root + "/home";
    cacheDir = home + "/JobResults/GUIDCacheDir";
    settingsDir = root + "/settings";
    dbPath = cacheDir + "/" GUIDDB_NAME;
    fs::create_directories(cacheDir);
    fs::create_directories(settingsDir);
    std::ofstream ini(settingsDir + "/Instance001.ini", std::ios::trunc);
    ini << "[vTaskHost]\ndHOME=" << home << "\n"
        << "[EventManager]\ngetSqlLiteDbFromHB=0\nSmtpGuidTableRefreshInterval=1000000\n"
        << "naddproxysmtp=1\nAddressCacheMemorySize=100000\n";
    ini.close();
    setenv("GUIDLOOKUPS_SETTINGS_DIR", settingsDir.c_str(), 1);
    setenv("GUIDLOOKUPS_INSTANCE", "Instance001", 1);
    setenv("GUIDLOOKUPS_LOCK_DIR", root.c_str(), 1);
    setenv("GUIDLOOKUPS_LOG_FILE", (root + "/bench.log").c_str(), 1);
    setenv("GUIDLOOKUPS_LOG_LEVEL", "-1", 1);
    ResetDefaultLogWriter();
    dir = bench::Generate(rowCount);
  }
};

Workspace& W() {
  static Workspace w;
  return w;
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
std::string Quote(const std::string& s) {
  std::string out;
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return Lower(out);
}

size_t HeapInUse() { return mallinfo2().uordblks; }

void Must(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void Exec(sqlite3* db, const std::string& sql) {
  Must(db, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), sql.c_str());
}

// Forces the next UpdateGUIDDB of the process to rebuild from `rows`.
void ArmRebuild(std::list<GUIDNameInfo> rows) {
  auto shared = std::make_shared<std::list<GUIDNameInfo>>(std::move(rows));
  GUIDFromName::SetGUIDRowSource([shared](std::list<GUIDNameInfo>& out) {
    out.splice(out.end(), *shared);
    return 0;
  });
  HXPlatformInfo settings;
  settings.removeValue("EventManager", "nLastGuidNameTableRefreshTime");
  CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshUndecided);
}

void MarkFresh() {
  HXPlatformInfo settings;
  settings.setNumber("EventManager", "nLastGuidNameTableRefreshTime",
                     static_cast<unsigned long>(std::time(nullptr)));
  CHXGuidLookups::s_shouldRefreshGUIDTable.store(RefreshDone);
  GUIDFromName::SetGUIDRowSource(nullptr);
}

void CountRows(benchmark::State& state) {
  state.counters["rows_per_s"] =
      benchmark::Counter(double(W().rowCount) * state.iterations(), benchmark::Counter::kIsRate);
}

// ---- rebuild ---------------------------------------------------------------

void BM_Rebuild_Library(benchmark::State& state) {
  auto& w = W();
  for (auto _ : state) {
    state.PauseTiming();
    ArmRebuild(std::list<GUIDNameInfo>(w.dir.rows.begin(), w.dir.rows.end()));
    CHXGuidLookups lookups;
    lookups.guidCacheDir = w.cacheDir;
    state.ResumeTiming();
    CGuidDB db;
    if (!lookups.UpdateGUIDDB(db)) state.SkipWithError("rebuild failed");
  }
  MarkFresh();
  CountRows(state);
}

// Rewrites the table directly through SQLite: every row deleted, then
// `insertAll(db)` between a BEGIN and the last COMMIT.
template <typename Fn>
void PlainRebuild(benchmark::State& state, Fn insertAll) {
  auto& w = W();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open(w.dbPath.c_str(), &db);
    Exec(db, "DELETE FROM GUID;");
    Exec(db, "BEGIN;");
    insertAll(db);
    Exec(db, "COMMIT;");
    sqlite3_close(db);
  }
  CountRows(state);
}

// The same rows the plain way: formatted inserts, a commit every 999 rows,
// every index of the file maintained row by row.
void BM_Rebuild_PlainSQLite(benchmark::State& state) {
  PlainRebuild(state, [](sqlite3* db) {
    size_t n = 0;
    for (const auto& r : W().dir.rows) {
      if (n >= 999) {
        Exec(db, "COMMIT;");
        Exec(db, "BEGIN;");
        n = 0;
      }
      char* sql =
          sqlite3_mprintf("INSERT INTO GUID VALUES ('%s', '%s', %d);", Quote(r.name).c_str(),
                          Quote(r.guid).c_str(), static_cast<int>(r.status));
      Exec(db, sql);
      sqlite3_free(sql);
      ++n;
    }
  });
}

// The ceiling: prepared inserts in one transaction.
void BM_Rebuild_PreparedOneTxn(benchmark::State& state) {
  PlainRebuild(state, [](sqlite3* db) {
    sqlite3_stmt* st = nullptr;
    Must(db, sqlite3_prepare_v2(db, "INSERT INTO GUID VALUES (?,?,?)", -1, &st, nullptr), "prep");
    for (const auto& r : W().dir.rows) {
      std::string name = Lower(r.name), guid = Lower(r.guid);
      sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 2, guid.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(st, 3, static_cast<int>(r.status));
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  });
}

// ---- bulk load -------------------------------------------------------------

// Times `load(T&)` into a fresh T per iteration and reports the heap the
// loaded T holds per row (the T is destroyed outside the timing).
template <typename T, typename Fn>
void MeasureLoad(benchmark::State& state, Fn load) {
  double bytesPerRow = 0;
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    size_t before = HeapInUse();
    auto loaded = std::make_unique<T>();
    state.ResumeTiming();
    if (!load(*loaded)) state.SkipWithError("load failed");
    state.PauseTiming();
    bytesPerRow = double(HeapInUse() - before) / double(W().rowCount);
    loaded.reset();
    state.ResumeTiming();
  }
  CountRows(state);
  state.counters["bytes_per_row"] = bytesPerRow;
}

// Sets "[EventManager] nSharedTableSnapshot" for the scope of the object.
struct SnapshotSetting {
  explicit SnapshotSetting(bool on) {
    HXPlatformInfo::SetOverlay("EventManager", "nSharedTableSnapshot", on ? "1" : "0");
  }
  ~SnapshotSetting() { HXPlatformInfo::RemoveOverlay("EventManager", "nSharedTableSnapshot"); }
};

// The in-heap load, as every process made it before the shared snapshot.
void BM_Fastload_Library(benchmark::State& state) {
  bIsExchGuid.store(true);
  SnapshotSetting inHeap(false);
  MeasureLoad<StaticCache>(
      state, [](StaticCache& cache) { return cache.fastload(W().cacheDir, true, false) == 0; });
}

std::string SnapshotPath() { return SharedSnapshot::PathFor(W().cacheDir, true, true); }

// The first process of a table: streams the snapshot while it reads the
// table (flushed and renamed in) and serves from it.
void BM_Fastload_WritesSnapshot(benchmark::State& state) {
  bIsExchGuid.store(true);
  SnapshotSetting on(true);
  double bytesPerRow = 0;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveSharedSnapshots(W().cacheDir);
    malloc_trim(0);
    auto cache = std::make_unique<StaticCache>();
    state.ResumeTiming();
    if (cache->fastload(W().cacheDir, true, false) != 0 || !cache->mapped())
      state.SkipWithError("load failed");
    state.PauseTiming();
    bytesPerRow = double(fs::file_size(SnapshotPath())) / double(W().rowCount);
    cache.reset();
    state.ResumeTiming();
  }
  CountRows(state);
  state.counters["snapshot_bytes_per_row"] = bytesPerRow;
}

// Every later process: maps the snapshot the first one wrote.
void BM_Fastload_MapsSnapshot(benchmark::State& state) {
  bIsExchGuid.store(true);
  SnapshotSetting on(true);
  {
    StaticCache first;  // makes sure the snapshot is there
    if (first.fastload(W().cacheDir, true, false) != 0) state.SkipWithError("load failed");
  }
  MeasureLoad<StaticCache>(state, [](StaticCache& cache) {
    return cache.fastload(W().cacheDir, true, false) == 0 && cache.mapped();
  });
}

// ---- memory of four agent processes ---------------------------------------

uint64_t PssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Pss:", 0) == 0) return std::stoull(line.substr(4));
  return 0;
}

// Starts four probe processes at once (each loads, answers 10,000 lookups
// and waits), sums their Pss while all four live, then lets them go. With
// the snapshot, one process writes it beforehand and exits, as the first
// agent of the machine would have.
void FourProcesses(benchmark::State& state, bool snapshot) {
  const std::string keys = W().root + "/pss-keys.txt";
  {
    std::ofstream out(keys);
    for (size_t i = 0; i < 10000; ++i) out << W().dir.present[i % W().dir.present.size()] << "\n";
  }
  auto start = [&](int& toChild, FILE*& fromChild) {
    int in[2], out[2];
    // Close-on-exec, so that no probe holds another's stdin open (it would
    // never see the end of it).
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      execl(GUIDLOOKUPS_PSS_PROBE, GUIDLOOKUPS_PSS_PROBE, W().cacheDir.c_str(), keys.c_str(),
            snapshot ? "1" : "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild = in[1];
    fromChild = fdopen(out[0], "r");
    return pid;
  };
  double pssMiB = 0;
  for (auto _ : state) {
    if (snapshot) {
      RemoveSharedSnapshots(W().cacheDir);
      int toChild;
      FILE* fromChild;
      pid_t first = start(toChild, fromChild);
      char line[16] = {0};
      if (!fgets(line, sizeof line, fromChild)) state.SkipWithError("first probe failed");
      close(toChild);
      fclose(fromChild);
      waitpid(first, nullptr, 0);
    }
    pid_t pids[4];
    int toChild[4];
    FILE* fromChild[4];
    for (int i = 0; i < 4; ++i) pids[i] = start(toChild[i], fromChild[i]);
    for (int i = 0; i < 4; ++i) {
      char line[16] = {0};
      if (!fgets(line, sizeof line, fromChild[i])) state.SkipWithError("a probe failed");
    }
    uint64_t kib = 0;
    for (pid_t pid : pids) kib += PssKiB(pid);
    pssMiB = double(kib) / 1024.0;
    for (int i = 0; i < 4; ++i) {
      close(toChild[i]);
      fclose(fromChild[i]);
      waitpid(pids[i], nullptr, 0);
    }
  }
  state.counters["pss_mib"] = pssMiB;
}

void BM_FourProcesses_Snapshot(benchmark::State& state) { FourProcesses(state, true); }
void BM_FourProcesses_InHeap(benchmark::State& state) { FourProcesses(state, false); }

// The peak resident set of a process whose only work is the load: in-heap,
// or the first load of a table, which streams its snapshot (removed
// beforehand).
void PeakRss(benchmark::State& state, bool snapshot) {
  const std::string keys = W().root + "/pss-keys.txt";
  double peakMiB = 0;
  for (auto _ : state) {
    RemoveSharedSnapshots(W().cacheDir);
    const std::string command = std::string(GUIDLOOKUPS_PSS_PROBE) + " '" + W().cacheDir + "' '" +
                                keys + "' " + (snapshot ? "1" : "0") + " load-only";
    FILE* probe = popen(command.c_str(), "r");
    unsigned long long kib = 0;
    if (probe == nullptr || fscanf(probe, "%llu", &kib) != 1) state.SkipWithError("no peak");
    if (probe != nullptr && pclose(probe) != 0) state.SkipWithError("the probe failed");
    peakMiB = double(kib) / 1024.0;
  }
  state.counters["peak_rss_mib"] = peakMiB;
}

void BM_PeakRss_StreamedLoad(benchmark::State& state) { PeakRss(state, true); }
void BM_PeakRss_InHeapLoad(benchmark::State& state) { PeakRss(state, false); }

// The floor: the same sorted query stepped directly, each group in one map,
// a plain hash index of the upper-cased keys.
struct PlainIndex {
  std::vector<std::unique_ptr<GuidRecordMap>> maps;
  std::unordered_map<std::string, GuidRecordMap*> index;
};

void LoadPlain(const std::string& dbPath, PlainIndex& out) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  Must(db,
       sqlite3_prepare_v2(db, "SELECT name,upper(guid),status FROM GUID order by upper(GUID);", -1,
                          &st, nullptr),
       "prep");
  std::string prev;
  GuidRecordMap* current = nullptr;
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    std::string guid = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    int status = sqlite3_column_int(st, 2);
    if (guid != prev || !current) {
      out.maps.push_back(std::make_unique<GuidRecordMap>());
      current = out.maps.back().get();
      out.index.emplace(guid, current);
      prev = guid;
    }
    if (status == 1 || status == 2 || status == 8 || status == 16)
      out.index.emplace(Upper(name), current);
    current->emplace(status, SGuidRecord(name, guid, status));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

void BM_Fastload_PlainIndex(benchmark::State& state) {
  MeasureLoad<PlainIndex>(state, [](PlainIndex& plain) {
    LoadPlain(W().dbPath, plain);
    return true;
  });
}

// ---- hits ------------------------------------------------------------------

CHXGuidLookups& SharedLookups() {
  static CHXGuidLookups* lookups = [] {
    W();
    MarkFresh();
    auto* l = new CHXGuidLookups();
    l->Initialize(1, 0, true, true, nullptr);
    if (l->dbStatus != 0) throw std::runtime_error("shared load failed");
    return l;
  }();
  return *lookups;
}

void BM_SharedHit_Library(benchmark::State& state) {
  auto& w = W();
  auto& lookups = SharedLookups();
  size_t i = 0, misses = 0;
  for (auto _ : state) {
    std::string address = w.dir.present[i++ % w.dir.present.size()];
    GuidRecordMap records;
    if (!lookups.Lookup(address, records, false)) ++misses;
    benchmark::DoNotOptimize(records);
  }
  if (misses) state.SkipWithError("shared lookups missed");
  state.counters["mapped"] = StaticCache::instance()->mapped() ? 1 : 0;
}

const PlainIndex& Plain() {
  static PlainIndex* plain = [] {
    auto* p = new PlainIndex();
    LoadPlain(W().dbPath, *p);
    return p;
  }();
  return *plain;
}

void BM_Hit_PlainHash(benchmark::State& state) {
  auto& w = W();
  const auto& plain = Plain();
  size_t i = 0, misses = 0;
  for (auto _ : state) {
    const std::string& address = w.dir.present[i++ % w.dir.present.size()];
    GuidRecordMap records;
    auto it = plain.index.find(Upper(address));
    if (it == plain.index.end())
      ++misses;
    else
      records = *it->second;
    benchmark::DoNotOptimize(records);
  }
  if (misses) state.SkipWithError("plain lookups missed");
}

void BM_PrivateHit_Library(benchmark::State& state) {
  auto& w = W();
  MarkFresh();
  CHXGuidLookups lookups;
  lookups.Initialize(1, 0, false, true, nullptr);
  const size_t warm = std::min<size_t>(1000, w.dir.present.size());
  for (size_t i = 0; i < warm; ++i) {
    std::string address = w.dir.present[i];
    GuidRecordMap records;
    lookups.Lookup(address, records, false);
  }
  size_t i = 0;
  for (auto _ : state) {
    std::string address = w.dir.present[i++ % warm];
    GuidRecordMap records;
    lookups.Lookup(address, records, false);
    benchmark::DoNotOptimize(records);
  }
}

// ---- private misses --------------------------------------------------------

void PrivateMiss(benchmark::State& state, const std::vector<std::string>& keys) {
  MarkFresh();
  CHXGuidLookups lookups;
  lookups.Initialize(1, 0, false, true, nullptr);
  // A capacity of 0 keeps one entry, so cycling through distinct keys always
  // misses the cache and reaches the database.
  lookups.mfuCache.setMaxSize(0);
  size_t i = 0, failures = 0;
  for (auto _ : state) {
    std::string address = keys[i++ % keys.size()];
    GuidRecordMap records;
    if (!lookups.Lookup(address, records, false)) ++failures;
    benchmark::DoNotOptimize(records);
  }
  if (failures) state.SkipWithError("private lookups failed");
}

void BM_PrivateMissPresent_Library(benchmark::State& state) { PrivateMiss(state, W().dir.present); }
void BM_PrivateMissAbsent_Library(benchmark::State& state) { PrivateMiss(state, W().dir.absent); }

// The baselines' exact search: the rows of the GUID of the first row named ?.
constexpr char kBaselineQuery[] =
    "SELECT Name, GUID, Status FROM GUID WHERE GUID=(SELECT GUID FROM GUID WHERE Name = ? LIMIT "
    "1);";

// Steps a prepared query of (name, GUID, status) into a record map.
GuidRecordMap StepRecords(sqlite3_stmt* st) {
  GuidRecordMap records;
  while (sqlite3_step(st) == SQLITE_ROW) {
    int status = sqlite3_column_int(st, 2);
    records.emplace(status,
                    SGuidRecord(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                                reinterpret_cast<const char*>(sqlite3_column_text(st, 1)), status));
  }
  return records;
}

void ExactQuery(benchmark::State& state, const std::vector<std::string>& keys) {
  auto& w = W();
  size_t i = 0;
  for (auto _ : state) {
    std::string key = Lower(keys[i++ % keys.size()]);
    sqlite3* db = nullptr;
    sqlite3_open_v2(w.dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, kBaselineQuery, -1, &st, nullptr);
    sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    GuidRecordMap records = StepRecords(st);
    sqlite3_finalize(st);
    sqlite3_close(db);
    benchmark::DoNotOptimize(records);
  }
}

void BM_ExactQueryPresent_SQLite(benchmark::State& state) { ExactQuery(state, W().dir.present); }
void BM_ExactQueryAbsent_SQLite(benchmark::State& state) { ExactQuery(state, W().dir.absent); }

// The floor of a miss: the same query, prepared once on a connection that
// stays open, bound, stepped and reset per key.
void KeptOpenQuery(benchmark::State& state, const std::vector<std::string>& keys) {
  auto& w = W();
  sqlite3* db = nullptr;
  sqlite3_open_v2(w.dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, kBaselineQuery, -1, &st, nullptr);
  size_t i = 0;
  for (auto _ : state) {
    std::string key = Lower(keys[i++ % keys.size()]);
    sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    GuidRecordMap records = StepRecords(st);
    sqlite3_reset(st);
    benchmark::DoNotOptimize(records);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

void BM_KeptOpenQueryPresent_SQLite(benchmark::State& state) {
  KeptOpenQuery(state, W().dir.present);
}
void BM_KeptOpenQueryAbsent_SQLite(benchmark::State& state) {
  KeptOpenQuery(state, W().dir.absent);
}

// ---- download --------------------------------------------------------------

struct Server {
  pid_t pid = -1;
  int port = 0;
  explicit Server(const std::string& file, const char* validator = "none") {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      std::string script = std::string(GUIDLOOKUPS_SOURCE_DIR) + "/tools/control_server.py";
      execlp("python3", "python3", script.c_str(), "--file", file.c_str(), "--port", "0",
             "--validator", validator, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    if (!in || std::fscanf(in, "PORT %d", &port) != 1) port = 0;
    if (in) fclose(in);
  }
  ~Server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

struct DownloadSetup {
  std::string served, tempDir, targetDir;
  std::unique_ptr<Server> server;
  double mb = 0;
  DownloadSetup() {
    auto& w = W();
    served = w.root + "/served/" GUIDDB_NAME;
    tempDir = w.root + "/hbtemp";
    targetDir = w.root + "/dl-cache";
    fs::create_directories(w.root + "/served");
    fs::create_directories(tempDir);
    fs::create_directories(targetDir);
    fs::copy_file(w.dbPath, served, fs::copy_options::overwrite_existing);
    mb = double(fs::file_size(served)) / (1024.0 * 1024.0);
    server = std::make_unique<Server>(served);
    HXPlatformInfo settings;
    settings.setString("Base", "dMORVAXTEMPDIR", tempDir);
    settings.setString("Base", "sControlServerURL",
                       "http://127.0.0.1:" + std::to_string(server->port));
    settings.setNumber("Base", "nHXPlatformType", 0);
    // The earlier benchmarks and the copy above leave hundreds of MB for the
    // kernel to write back; a flush of the download would wait for them too
    // and measure them, not the download.
    ::sync();
  }
};

DownloadSetup& Download() {
  // Destroyed at exit, which stops the server.
  static DownloadSetup d;
  return d;
}

void BM_Download_Library(benchmark::State& state) {
  auto& d = Download();
  if (d.server->port == 0) {
    state.SkipWithError("control server did not start");
    return;
  }
  CHXGuidLookups lookups;
  lookups.guidCacheDir = d.targetDir;
  for (auto _ : state) {
    if (!lookups.getSqlLiteGUIDDbFromHB()) state.SkipWithError("download failed");
  }
  state.counters["MB"] = d.mb;
  state.counters["MB_per_s"] =
      benchmark::Counter(d.mb * state.iterations(), benchmark::Counter::kIsRate);
}

// A refresh against a server whose file has not changed since the last
// download: a request with the validator, a 304, no body.
void BM_ConditionalRefresh_Library(benchmark::State& state) {
  auto& d = Download();
  Server server(d.served, "etag");
  HXPlatformInfo settings;
  settings.setString("Base", "sControlServerURL",
                     "http://127.0.0.1:" + std::to_string(server.port));
  CHXGuidLookups lookups;
  lookups.guidCacheDir = W().root + "/cond-cache";
  fs::create_directories(lookups.guidCacheDir);
  if (server.port == 0 || !lookups.getSqlLiteGUIDDbFromHB()) {
    state.SkipWithError("first download failed");
    return;
  }
  for (auto _ : state) {
    if (!lookups.getSqlLiteGUIDDbFromHB()) state.SkipWithError("conditional refresh failed");
  }
  settings.setString("Base", "sControlServerURL",
                     "http://127.0.0.1:" + std::to_string(d.server->port));
}

void BM_Download_Curl(benchmark::State& state) {
  auto& d = Download();
  std::string cmd = "curl -sf -o '" + d.targetDir +
                    "/curl.DAT' http://127.0.0.1:" + std::to_string(d.server->port) +
                    "/" GUIDDB_NAME;
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("curl failed");
  }
  state.counters["MB"] = d.mb;
  state.counters["MB_per_s"] =
      benchmark::Counter(d.mb * state.iterations(), benchmark::Counter::kIsRate);
}

// ---- directory import ------------------------------------------------------

// The directory as a tab-separated export and as an LDIF export of the same
// rows (one entry a GUID, as ldifde writes Exchange mailboxes: objectGUID in
// base64, proxyAddresses, displayName, legacyExchangeDN), written once.
struct ImportFiles {
  std::string tsv, ldif;
  ImportFiles() {
    auto& w = W();
    tsv = w.root + "/directory.tsv";
    ldif = w.root + "/directory.ldif";
    std::ofstream t(tsv, std::ios::trunc), l(ldif, std::ios::trunc);
    static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string last;
    size_t entry = 0;
    for (const GUIDNameInfo& r : w.dir.rows) {
      t << r.status << '\t' << r.guid << '\t' << r.name << '\n';
      if (r.guid != last) {
        last = r.guid;
        // 16 bytes from the entry's number: 15 base64 digits and "==".
        uint64_t n = ++entry * 0x9E3779B97F4A7C15ull;
        std::string guid;
        for (int i = 0; i < 21; ++i, n = n * 6364136223846793005ull + 1442695040888963407ull)
          guid += kB64[(n >> 58) & 63];
        guid += kB64[0];
        l << "\r\ndn: CN=" << r.name << ",OU=Users,DC=corp,DC=example\r\nchangetype: add\r\n"
          << "objectClass: top\r\nobjectClass: person\r\nobjectClass: user\r\n"
          << "objectGUID:: " << guid << "==\r\n";
      }
      switch (r.status) {
        case 1:
          l << "proxyAddresses: SMTP:" << r.name << "\r\n";
          break;
        case 2:
          l << "proxyAddresses: smtp:" << r.name << "\r\n";
          break;
        case 8:
          l << "displayName: " << r.name << "\r\n";
          break;
        default:
          l << "legacyExchangeDN: " << r.name << "\r\n";
          break;
      }
    }
    // ldifde ends its last entry, as every other, with a blank line.
    l << "\r\n";
  }
};

ImportFiles& Files() {
  static ImportFiles files;
  return files;
}

void ImportRate(benchmark::State& state,
                const std::function<GuidRowReader(std::list<GUIDNameInfo>&)>& source) {
  Files();
  uint64_t rows = 0;
  for (auto _ : state) {
    std::list<GUIDNameInfo> parsed;
    SRebuildResult result = RebuildGuidTable(W().cacheDir, source(parsed));
    if (!result.replaced) state.SkipWithError(result.error.c_str());
    rows += result.counts.rowsAdded;
  }
  state.counters["rows_per_s"] = benchmark::Counter(double(rows), benchmark::Counter::kIsRate);
}

// guidlookup import --ldif: the file read entry by entry as the rows go in.
void BM_Import_Ldif(benchmark::State& state) {
  static const SDirectoryMapping mapping = SDirectoryMapping::Exchange();
  ImportRate(state, [](std::list<GUIDNameInfo>&) { return LdifRows(Files().ldif, mapping); });
}

// guidlookup import FILE: the tab-separated file parsed whole, then rebuilt.
void BM_Import_Tsv(benchmark::State& state) {
  ImportRate(state, [](std::list<GUIDNameInfo>& rows) {
    std::string error;
    if (GUIDFromName::ReadExportFile(Files().tsv, rows, error) != 0)
      throw std::runtime_error(error);
    return RowsOf(rows);
  });
}

}  // namespace

// A benchmark of a whole operation (a rebuild, a download, a load): run a set
// number of times, in wall-clock milliseconds, since most of it waits on the
// disk or the network.
#define WHOLE_RUN_BENCHMARK(fn, runs) \
  BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Iterations(runs)->UseRealTime()

WHOLE_RUN_BENCHMARK(BM_Rebuild_Library, 1);
// The downloads run before the plain rebuilds: a flush of the downloaded file
// would otherwise also wait for the gigabytes those leave to write back (one
// journal on ext4), and measure them.
WHOLE_RUN_BENCHMARK(BM_Download_Library, 3);
WHOLE_RUN_BENCHMARK(BM_Download_Curl, 3);
WHOLE_RUN_BENCHMARK(BM_ConditionalRefresh_Library, 20);
WHOLE_RUN_BENCHMARK(BM_Rebuild_PlainSQLite, 1);
WHOLE_RUN_BENCHMARK(BM_Rebuild_PreparedOneTxn, 1);
WHOLE_RUN_BENCHMARK(BM_Fastload_Library, 3);
WHOLE_RUN_BENCHMARK(BM_Fastload_PlainIndex, 3);
WHOLE_RUN_BENCHMARK(BM_Fastload_WritesSnapshot, 3);
WHOLE_RUN_BENCHMARK(BM_Fastload_MapsSnapshot, 20);
// Before any benchmark of this process maps the snapshot: a page this process
// held would be shared with the probes and lower their Pss.
WHOLE_RUN_BENCHMARK(BM_FourProcesses_Snapshot, 1);
WHOLE_RUN_BENCHMARK(BM_FourProcesses_InHeap, 1);
WHOLE_RUN_BENCHMARK(BM_PeakRss_StreamedLoad, 1);
WHOLE_RUN_BENCHMARK(BM_PeakRss_InHeapLoad, 1);
BENCHMARK(BM_SharedHit_Library);
BENCHMARK(BM_Hit_PlainHash);
BENCHMARK(BM_PrivateHit_Library);
BENCHMARK(BM_PrivateMissPresent_Library)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExactQueryPresent_SQLite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PrivateMissAbsent_Library)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExactQueryAbsent_SQLite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeptOpenQueryPresent_SQLite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeptOpenQueryAbsent_SQLite)->Unit(benchmark::kMicrosecond);
// Last: the LDIF import leaves a table of other GUIDs, the tab-separated one
// puts the directory back.
WHOLE_RUN_BENCHMARK(BM_Import_Ldif, 1);
WHOLE_RUN_BENCHMARK(BM_Import_Tsv, 1);

BENCHMARK_MAIN();
