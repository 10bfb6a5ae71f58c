// Files written aside and renamed in: the one way the library replaces a
// file. A staged file is created privately under a prefix in the folder of
// the file it will replace (rename(2) is atomic only within one file
// system), written, flushed, closed and renamed over the destination (over
// the file a link names, so that the link stays), and the folder is flushed
// so that the rename outlives a crash. Until it is installed, the staged
// file (and, for a database, SQLite's files beside it) is removed on every
// path, at the latest by the destructor.
//
// Thread-safety: a StagedFile is owned by one thread at a time. The free
// functions keep no state. Every flush, rename and creation goes through
// hostfs::FileSystemInUse().
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/Export.h"
#include "host/Status.h"

namespace hostfs {

// The files SQLite may keep beside a database: its rollback journal, its
// write-ahead log and that log's index. A database file is never removed or
// replaced without them.
GUIDLOOKUPS_EXPORT extern const char* const kSqliteSidecars[3];

// Removes `path` and each of SQLite's files beside it; a missing one counts
// as removed.
GUIDLOOKUPS_EXPORT void RemoveWithSidecars(const std::string& path);

// Which files left under a prefix by earlier writers are dead.
enum class Leftovers {
  kKeep,        // none: leftovers are someone else's business
  kAll,         // every one: each writer of the prefix holds a lock the caller holds now
  kWriterGone,  // those named "<prefix><pid>-..." whose process no longer runs;
                // this process counts as running
};

// Removes the files of `folder` whose names begin with `prefix` and that
// `which` calls dead. Returns the paths removed.
GUIDLOOKUPS_EXPORT std::vector<std::string> RemoveLeftovers(const std::string& folder,
                                                            const std::string& prefix,
                                                            Leftovers which);

struct StagedFileOptions {
  // The file is named "<prefix>XXXXXX", or "<prefix><pid>-XXXXXX" with
  // `withPid`, in the folder given to Create.
  std::string prefix;
  bool withPid = false;
  // The mode of the creation, narrowed by the umask as every creation is.
  unsigned createMode = 0644;
  // When >= 0, the mode the file ends with whatever the umask: it is then
  // created 0600 (never readable more widely than that while written) and
  // given this mode when it is flushed.
  int finalMode = -1;
  // What Create removes first.
  Leftovers leftovers = Leftovers::kKeep;
  // SQLite's files beside the staged file go with it.
  bool sqlite = false;
};

// Each step returns OK or an IOError whose context names the step and the
// file ("cannot flush <path>: <errno text>") and whose sysError() is the
// errno; after a failure the caller abandons the file (the destructor
// does). Not thread-safe.
class GUIDLOOKUPS_EXPORT StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile() { Abandon(); }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Removes the leftovers `options` names, then creates the file in
  // `folder`. REQUIRES: nothing staged yet.
  Status Create(const std::string& folder, const StagedFileOptions& options);
  // Takes `path`, written by others (SQLite, a copy, a link), as the staged
  // file, with SQLite's files beside it when `sqlite`. REQUIRES: nothing
  // staged yet.
  void Adopt(const std::string& path, bool sqlite);

  // Appends `size` bytes through the descriptor Create opened.
  Status Write(const char* data, size_t size);
  // Appends the whole of the regular file `source`, copied by the kernel
  // where it can (no pass through user memory). Nothing is flushed: a copy
  // that is changed before it is installed is flushed once, by Flush.
  Status CopyFrom(const std::string& source);
  // Closes the descriptor, for a file that others write by name. Fails with
  // close(2)'s errno: a full disk may show only here.
  Status Close();
  // Gives the file its final mode (when one was asked for) and flushes it to
  // disk, through its descriptor or, once closed, through a new one; then
  // closes it.
  Status Flush();
  // Renames the flushed file over `destination` (over ResolveLinks of it
  // when `keepLink`), then flushes that folder; a folder that cannot be
  // flushed only weakens durability and is not reported. On success the
  // file is no longer staged.
  Status Install(const std::string& destination, bool keepLink = true);
  // Closes and removes the staged file (and its SQLite files); nothing when
  // nothing is staged.
  void Abandon();

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  // The leftovers Create removed.
  const std::vector<std::string>& removed() const { return removed_; }

 private:
  std::string path_;
  int fd_ = -1;
  int finalMode_ = -1;
  bool sqlite_ = false;
  std::vector<std::string> removed_;
};

}  // namespace hostfs
