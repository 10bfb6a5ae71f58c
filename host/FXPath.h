// Path, file and folder helpers of the host layer. All functions are static
// and thread-safe (they share no state); failures come back as CLmError.
#pragma once

#include <string>

#include "host/CLmError.h"
#include "host/Export.h"

class GUIDLOOKUPS_EXPORT FXPath {
 public:
  // Appends `name` to `path` with exactly one '/' between them: a separator
  // already at the end of `path` is not doubled, and an empty path gives
  // "/name". Never fails.
  static CLmError Append(std::string& path, const std::string& name, unsigned flags);
};

class GUIDLOOKUPS_EXPORT FXFile {
 public:
  // True when the path names an existing regular file (or a symlink to one).
  static bool DoesFileExist(const std::string& path);
};

class GUIDLOOKUPS_EXPORT FXFolder {
 public:
  static bool DoesFolderExist(const std::string& path);
  // Creates every missing folder of the path (mode 0755 less umask). An
  // existing folder is success; an existing non-folder or a failed mkdir is an
  // error naming the path and errno's text (hxerr::kIo, or kNoSpace), and an
  // empty path is hxerr::kInvalid.
  static CLmError CreateFoldersIteratively(const std::string& path, void* reserved);
};

class GUIDLOOKUPS_EXPORT CLmDirectory {
 public:
  // Creates the folder; with `recursive`, every missing parent too.
  static CLmError Create(const char* path, bool recursive);
};

class GUIDLOOKUPS_EXPORT CLmFile {
 public:
  // Copies `source` over `destination` atomically: the bytes go to a uniquely
  // named temporary file in the destination's folder, which is flushed to disk
  // and renamed over the destination. A destination that is a symbolic link
  // stays one: the file it names gets the copy. On any failure (missing
  // source, full disk, unwritable folder) the temporary file is removed and
  // the old destination is left whole. A source that is not a regular file
  // (a FIFO too) is refused without waiting. Error codes: hxerr::kNotFound
  // for a missing source, kNoSpace for a full disk or quota, kInvalid for an
  // empty path, kIo otherwise; the text names the path and the system's
  // reason.
  static CLmError Copy(const char* source, const char* destination);
};
