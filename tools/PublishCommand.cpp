// guidlookup publish DIR: the control server's side of the agents' refresh.
// The local table becomes a release of the web root (see tools/Releases.h):
// its GUIDDB.DAT, GUIDDB.DAT.gz and manifest, made whole aside and put live
// by one rename. A table equal to the live release's makes no release, so
// that the agents' conditional refreshes see no change. --rollback, --status
// and --verify look after the releases kept.
//
// The table is opened and checked under the machine-wide mutex, then copied
// from the open descriptor without it: the library replaces the file only
// by renaming another over it, so the descriptor keeps its version and the
// agents do not wait for the copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "guiddb/AccessLock.h"
#include "host/Files.h"
#include "host/Locks.h"
#include "tools/Commands.h"
#include "tools/Releases.h"

namespace guidlookup {
namespace {

// Test hook: GUIDLOOKUP_TEST_STOP_AT=STEP:SIGNAL sends SIGNAL to this
// process when a publish reaches STEP, as an operator's kill at that moment
// would.
void StopAtStepForTests(const char* step) {
  const char* wanted = std::getenv("GUIDLOOKUP_TEST_STOP_AT");
  if (wanted == nullptr) return;
  const std::string text = wanted;
  const size_t colon = text.find(':');
  if (colon == std::string::npos || text.compare(0, colon, step) != 0) return;
  std::raise(std::atoi(text.c_str() + colon + 1));
}

// The path with every link resolved, as far as it exists.
std::string Canonical(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ignored);
  return p.empty() ? path : p.string();
}

bool Inside(const std::string& path, const std::string& folder) {
  return path == folder || (path.compare(0, folder.size(), folder) == 0 &&
                            (folder == "/" || path[folder.size()] == '/'));
}

// The web root must have nothing to do with the table's own folder, whose
// files only the library replaces, under its lock.
void RefuseCacheFolder(const ToolContext& context, const std::string& root) {
  struct stat st;
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw ToolError(kExitUsage, root + " is not a folder");
  if (context.home.empty()) return;
  const std::string cache = Canonical(GuidCacheDir(context));
  const std::string web = Canonical(root);
  if (Inside(web, cache) || Inside(cache, web))
    throw ToolError(kExitUsage, "refusing the web root " + root +
                                    ": it is, holds or lies inside the table's GUID cache "
                                    "folder " +
                                    cache + "; publish into a folder of its own");
}

std::string ReleaseJson(const Release& r) {
  JsonObject o;
  o.add("id", r.id).addBool("live", r.live);
  if (!r.problem.empty()) return o.add("error", r.problem).str();
  return o.add("time", r.time)
      .addNumber("rows", r.rows)
      .addNumber("guids", r.guids)
      .add("digest", r.digest)
      .addRaw("files", FilesJson(r.files))
      .addRaw("deltas", DeltasJson(r.deltas))
      .str();
}

int Status(ReleaseStore& store, const PublishOptions& options) {
  const std::vector<Release> list = store.List();
  const std::string live = store.LiveId();
  if (options.json) {
    std::vector<std::string> items;
    for (const Release& r : list) items.push_back(ReleaseJson(r));
    JsonObject o;
    o.add("root", options.folder);
    if (live.empty())
      o.addNull("live");
    else
      o.add("live", live);
    std::cout << o.addRaw("releases", JsonArray(items)).str() << "\n";
    return kExitOk;
  }
  std::cout << "web root: " << options.folder << "\n"
            << "live:     " << (live.empty() ? "none" : live) << "\n"
            << "releases: " << list.size() << "\n";
  for (const Release& r : list) {
    std::cout << (r.live ? "* " : "  ") << r.id;
    if (!r.problem.empty())
      std::cout << "  unreadable: " << r.problem << "\n";
    else
      std::cout << "  " << r.time << "  " << r.rows << " rows, " << r.guids << " GUIDs\n";
    for (const ManifestDelta& d : r.deltas)
      std::cout << "      delta from " << d.from << ": " << d.file.size << " bytes\n";
  }
  return kExitOk;
}

int Verify(ReleaseStore& store, const PublishOptions& options) {
  std::vector<std::string> items;
  int bad = 0;
  const std::vector<Release> list = store.List();
  for (const Release& r : list) {
    const std::string why = store.Verify(r);
    if (!why.empty()) ++bad;
    if (options.json)
      items.push_back(JsonObject()
                          .add("id", r.id)
                          .addBool("live", r.live)
                          .addBool("ok", why.empty())
                          .add("problem", why)
                          .str());
    else
      std::cout << r.id << (r.live ? " (live)" : "") << ": " << (why.empty() ? "ok" : why) << "\n";
  }
  if (options.json)
    std::cout << JsonObject()
                     .add("root", options.folder)
                     .addRaw("releases", JsonArray(items))
                     .addNumber("damaged", static_cast<long long>(bad))
                     .str()
              << "\n";
  else
    std::cout << list.size() << " releases, " << bad << " damaged\n";
  return bad == 0 ? kExitOk : kExitFailure;
}

// The release before the live one, for a rollback that names none.
std::string PreviousRelease(ReleaseStore& store) {
  const std::string live = store.LiveId();
  std::string previous;
  for (const Release& r : store.List()) {
    if (r.id == live) break;
    previous = r.id;
  }
  if (live.empty() || previous.empty())
    throw ToolError(kExitFailure, "there is no release before the live one to roll back to");
  return previous;
}

}  // namespace

void RequireWebRoot(const ToolContext& context, const std::string& root) {
  RefuseCacheFolder(context, root);
}

int RunPublish(const ToolContext& context, const PublishOptions& options) {
  if (options.keep < 1) throw ToolError(kExitUsage, "--keep must be at least 1");
  RefuseCacheFolder(context, options.folder);
  ReleaseStore store(options.folder, StopAtStepForTests);
  if (options.status) return Status(store, options);
  if (options.verify) return Verify(store, options);

  StopOnSignals stopOnSignals;
  const auto start = std::chrono::steady_clock::now();
  if (options.rollback) {
    store.Lock();
    const std::string id = options.rollbackId.empty() ? PreviousRelease(store) : options.rollbackId;
    const std::string was = store.LiveId();
    if (id != was) store.MakeLive(id);
    const std::vector<std::string> removed = store.Prune(options.keep);
    if (options.json)
      std::cout << JsonObject()
                       .add("root", options.folder)
                       .add("live", id)
                       .add("was", was)
                       .addBool("changed", id != was)
                       .addRaw("removed", JsonStrings(removed))
                       .str()
                << "\n";
    else if (id == was)
      std::cout << "release " << id << " is already live; nothing was changed\n";
    else
      std::cout << "release " << id << " is live again (it was " << was << ")\n";
    return kExitOk;
  }

  RequireHome(context);
  RequireGuidCacheFolder(context);
  const std::string database = DatabasePath(GuidCacheDir(context));
  int fd = -1;
  long rows = 0, guids = 0;
  {
    AccessLock lock;
    if (!lock.held())
      throw ToolError(kExitFailure,
                      "cannot take the lock of the table (" + lock.lockFilePath() + ")");
    const std::string why = CGuidDB::VerifyFile(database, nullptr, true);
    if (!why.empty())
      throw ToolError(kExitFailure, "the local table " + database + " cannot be published: " + why);
    std::string error;
    if (!CGuidDB::CountFile(database, rows, guids, error))
      throw ToolError(kExitFailure, "the local table " + database + " cannot be counted: " + error);
    fd = ::open(database.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      throw ToolError(kExitFailure, "cannot read " + database + ": " + hostfs::ErrnoText(errno));
  }
  hostfs::ScopedFd table(fd);

  store.Lock();
  const bool tookOver = store.TakeOver();
  const std::string was = store.LiveId();
  const std::string liveFolder = was.empty() ? "" : store.FolderOf(was);
  const bool unchanged = !was.empty() && SameContent(fd, liveFolder + "/" + kPublishedName) &&
                         ::access((liveFolder + "/" + kCompressedName).c_str(), F_OK) == 0;
  std::string id = was;
  if (!unchanged) {
    try {
      id = store.Publish(fd, rows, guids);
    } catch (const ToolError& e) {
      if (e.exitCode() != kExitFailure) throw;  // a stop says so itself
      throw ToolError(kExitFailure, "publish failed, " +
                                        (was.empty() ? options.folder + " has no live release yet"
                                                     : "release " + was + " stays live") +
                                        ": " + e.what());
    }
  }
  const std::vector<std::string> removed = store.Prune(options.keep);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string current = options.folder + "/current/" + kPublishedName;
  if (options.json) {
    std::cout << JsonObject()
                     .add("database", database)
                     .add("root", options.folder)
                     .add("release", id)
                     .add("published", current)
                     .add("compressed", current + ".gz")
                     .addBool("changed", !unchanged)
                     .addBool("tookOver", tookOver)
                     .addNumber("rows", static_cast<long long>(rows))
                     .addNumber("guids", static_cast<long long>(guids))
                     .addRaw("removed", JsonStrings(removed))
                     .addNumber("seconds", seconds)
                     .addNumber("deltaSeconds", store.deltaSeconds())
                     .str()
              << "\n";
  } else if (unchanged) {
    std::cout << "release " << id << " of " << options.folder << " already holds " << database
              << "; nothing was changed\n";
  } else {
    char line[64];
    std::snprintf(line, sizeof line, " in %.2f s", seconds);
    std::cout << "published " << database << " (" << rows << " rows, " << guids
              << " GUIDs) as release " << id << ", now live at " << current << line << "\n";
  }
  return kExitOk;
}

}  // namespace guidlookup
