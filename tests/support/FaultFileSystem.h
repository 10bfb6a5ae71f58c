// A file system for tests, in the manner of LevelDB's fault-injection
// environment: installed as the library's file system for its scope, it
// makes the real calls and, on demand, fails one kind of call with a chosen
// errno or takes the image of what a crash at a chosen point would leave.
//
// A crash image is a copy of a folder in which every file this object saw
// created or flushed is cut back to its size at its last flush (0 for a file
// never flushed), every rename whose destination folder was not flushed
// after it is undone (the old file, if any, comes back), and every file
// created in a folder not flushed after it is gone. Files written in place
// and never flushed through the seam keep what they hold, so the image is
// exact for the library's write-aside-and-rename files, the only kind it
// replaces. A symbolic link or a folder renamed over another link or into
// place comes back likewise.
//
// Thread-safe (one mutex); the library may call it from any thread.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/FileSystem.h"

namespace testsupport {

class FaultFileSystem : public hostfs::FileSystem {
 public:
  enum class Op { kCreate, kFsync, kFdatasync, kRename, kSyncFolder };
  // The points a crash may come at: a file written but not yet flushed (just
  // before a flush), a file flushed, a rename made, a folder flushed.
  enum class Step { kWritten, kFlushed, kRenamed, kFolderFlushed };

  FaultFileSystem();
  ~FaultFileSystem() override;

  // From the `nth` call of `op` on (1 is the first), every call fails with
  // `err` and does nothing.
  void FailFrom(Op op, int err, int nth = 1);
  // At the `nth` time `step` is reached, the crash image of `root` is
  // written to `image` (a folder that must not exist yet).
  void CrashAt(Step step, int nth, const std::string& root, const std::string& image);
  // Whether the crash of CrashAt came.
  bool crashed() const;
  // How often `op` was called (failed calls included).
  int calls(Op op) const;

  int CreateExclusive(const std::string& path, unsigned mode, int& fd) override;
  int Fsync(int fd) override;
  int Fdatasync(int fd) override;
  int Rename(const std::string& from, const std::string& to) override;
  int SyncFolder(const std::string& folder) override;

 private:
  // A creation or rename not yet made durable by a flush of its folder.
  struct Pending {
    bool rename = false;
    std::string path;  // the file created, or the rename's destination
    std::string from;  // the rename's source
    std::string folder;
    bool hadOld = false;  // the rename replaced a file, whose bytes and mode follow
    std::string oldBytes;
    unsigned oldMode = 0;
    bool hadOldLink = false;  // the rename replaced a symbolic link to `oldLink`
    std::string oldLink;
  };
  // True when the call fails by FailFrom; counts the call. REQUIRES: mutex_.
  bool Injected(Op op, int& err);
  void Reached(Step step);  // REQUIRES: mutex_
  int Flush(int fd, bool dataOnly);
  void TakeImage();  // REQUIRES: mutex_

  mutable std::mutex mutex_;
  // mutex_ protects the following state.
  hostfs::FileSystem* previous_ = nullptr;
  std::map<Op, int> calls_;
  std::map<Op, std::pair<int, int>> failures_;    // op -> (nth, errno)
  std::map<std::string, long long> flushedSize_;  // by canonical path
  std::vector<Pending> pending_;
  Step crashStep_ = Step::kWritten;
  int crashNth_ = 0;  // 0: no crash asked for
  std::map<Step, int> reached_;
  std::string root_, image_;
  bool crashed_ = false;
};

}  // namespace testsupport
