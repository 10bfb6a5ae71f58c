// The part files of the network session's transfers: a body is written to
// ".GUIDDB.DAT.part-<pid>-<random>" beside its destination and renamed over
// it only when whole. Internal to the library: never installed.
//
// Thread-safety: a TempFile belongs to one thread at a time; transfers into
// one folder are serialised by the caller's machine-wide lock.
#pragma once

#include <string>

namespace netsession {

// Our partial downloads: ".GUIDDB.DAT.part-<pid>-<random>". The hidden name
// keeps them out of an operator's way; the pid tells a later transfer whether
// the writer is still alive. Older builds wrote "GUIDDB.DAT.part-<random>".
constexpr const char* kPartPrefix = ".GUIDDB.DAT.part-";
constexpr const char* kLegacyPartPrefix = "GUIDDB.DAT.part-";

// A temporary file in the destination's folder, removed at scope end unless
// it was renamed into place.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Returns 0 or errno.
  int Create(const std::string& folder);
  // Flushes and closes; returns 0 or errno (a full disk may only show here).
  int Finish();
  // Renames over `destination`; returns 0 or errno.
  int RenameTo(const std::string& destination);
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Whether the process that named a part file "<pid>-<random>" still runs.
// Our own pid counts as alive: other threads of this process may be writing.
bool PartWriterAlive(const char* rest);

// Removes the part files of transfers whose process has ended (killed
// mid-body, say); they would otherwise pile up in the folder forever.
void RemoveStaleParts(const std::string& folder);

}  // namespace netsession
