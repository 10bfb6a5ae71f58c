// The releases of a control server's web root. Each publish of the local
// table is a folder of its own, made whole before any agent can see it:
//
//   <root>/releases/<id>/GUIDDB.DAT, GUIDDB.DAT.gz, manifest.json
//   <root>/releases/<id>/deltas/<old id>.delta.gz   from earlier releases
//   <root>/current -> releases/<id>        the live release
//   <root>/GUIDDB.DAT -> current/GUIDDB.DAT (and the .gz, manifest.json
//                                           and deltas alike), for a
//                                           server still pointed at <root>
//
// Each release's manifest carries the row-set digest of its table and lists
// its deltas: the rows that turn the table of each of the newest earlier
// releases (at most DeltaPolicy::keep) into its own, each written only while
// it stays under DeltaPolicy::maxSharePercent of the release's .gz, where an
// agent one release behind would gain little from it.
//
// A release goes live by one rename of a new `current` link over the old
// one, so a server sends both files of one release or both of the other.
// The files of a release that goes live always carry a modification time
// later, in whole seconds, than the live release's, so that every server's
// validators (nginx's ETag and Last-Modified are the time in seconds and the
// size) change with the content, also within one second.
//
// One publisher at a time per web root: each operation holds an exclusive
// flock on <root>/.publish.lock, so every staging folder or link found
// under it belongs to a publisher that is gone, and is removed.
//
// Not thread-safe; one ReleaseStore per operation. Failures throw ToolError.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "tools/Manifest.h"
#include "tools/ToolError.h"

namespace guidlookup {

constexpr char kPublishedName[] = "GUIDDB.DAT";
constexpr char kCompressedName[] = "GUIDDB.DAT.gz";
// What a stopped operation must know: the signal that asked it to stop, 0
// while none did. Set from a signal handler.
extern volatile std::sig_atomic_t publishStopSignal;

// Test hook: an observer told the name of each step a publish reaches, in
// order, before it is taken ("staged", "flushed", "renamed", "switched",
// "pruned"); tests stop the process there.
using StepObserver = void (*)(const char* step);

struct DeltaPolicy {
  int keep = 7;              // deltas from at most this many earlier releases, newest first
  int maxSharePercent = 25;  // of the release's GUIDDB.DAT.gz
};

class ReleaseStore {
 public:
  // REQUIRES: `root` is an existing folder.
  explicit ReleaseStore(std::string root, StepObserver observer = nullptr,
                        DeltaPolicy deltas = DeltaPolicy());
  ~ReleaseStore();
  ReleaseStore(const ReleaseStore&) = delete;
  ReleaseStore& operator=(const ReleaseStore&) = delete;

  // Takes the publisher's lock (waits for another publisher) and removes what
  // publishers that are gone left behind. Returns the paths removed.
  std::vector<std::string> Lock();

  // When the root still holds files of the flat layout (a GUIDDB.DAT at its
  // top) and no release, makes them the first release and links them into
  // place. True when it did. REQUIRES: Lock().
  bool TakeOver();

  // The live release's id, "" when there is none.
  std::string LiveId() const;
  // Every release, oldest first, the live one marked; manifests read.
  std::vector<Release> List() const;
  // Path of a release's folder.
  std::string FolderOf(const std::string& id) const;

  // Makes a new release of the table read from `tableFd` (from its start),
  // `rows` rows of `guids` GUIDs, with its digest and its deltas from the
  // earlier releases, and makes it live. Returns its id.
  // REQUIRES: Lock().
  std::string Publish(int tableFd, long long rows, long long guids);
  // The time the last Publish spent on the digest and the deltas, seconds.
  double deltaSeconds() const { return deltaSeconds_; }
  // Makes release `id` live again, its files' times moved past the live
  // release's. REQUIRES: Lock().
  void MakeLive(const std::string& id);
  // Removes the oldest releases beyond `keep`, never the live one. Returns
  // the ids removed. REQUIRES: Lock().
  std::vector<std::string> Prune(int keep);

  // Checks each file of release `r` against its manifest: "" when all match,
  // else what does not.
  std::string Verify(const Release& r) const;

 private:
  void Step(const char* name);
  void StopIfAsked();
  void Switch(const std::string& id);
  void LinkTopLevel();
  long long LiveMtime() const;
  void WriteManifest(const std::string& folder, const Release& r, long long mtime);
  void AddDigestAndDeltas(const std::string& folder, Release& r, long long mtime);

  std::string root_;
  std::string releases_;
  StepObserver observer_;
  DeltaPolicy deltaPolicy_;
  double deltaSeconds_ = 0;
  int lockFd_ = -1;
};

// Whether the file at `path` holds exactly what `fd` holds from its start.
bool SameContent(int fd, const std::string& path);

// SHA-256 of the whole file at `path`, lower-case hex; false with errno set
// when it cannot be read.
bool Sha256File(const std::string& path, std::string& hex, long long& size);

// Turns SIGINT and SIGTERM into publishStopSignal for the scope.
class StopOnSignals {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

}  // namespace guidlookup
