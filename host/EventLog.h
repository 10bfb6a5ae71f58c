// The event log and the dump logger.
//
// EvDebug::DebugLvl writes through the process-wide log writer (LogWriter.h)
// with the caller's short tag, so one writer sees the lines of both paths.
// A dump logger that has been initialize()d writes Debug() lines to a file of
// its own instead: "<log folder>/<log name>.log", where the log folder is
// GUIDLOOKUPS_LOG_DIR, or else the folder of GUIDLOOKUPS_LOG_FILE. With
// neither set, initialize() fails and callers fall back to the log writer.
//
// Thread-safety: DebugLvl on the global `event` may be called from any
// thread. A dump logger belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/Export.h"

// Options of a dump log file; the library passes one as its constructor
// leaves it.
struct GUIDLOOKUPS_EXPORT EvDebugFileInstance {
  int32_t fileHandle = -1;
  int64_t maxFileSize = 0;
  int64_t currentSize = 0;
  int32_t maxFiles = 1;
  int32_t flags = 1;
  int64_t openTime = 0;
  std::string fileName;
  bool isOpen = false;
  int64_t lineCount = 0;
  std::string folder;
  int64_t reserved = 0;
};

class GUIDLOOKUPS_EXPORT EvDebug {
 public:
  explicit EvDebug(EvDebugFileInstance* instance = nullptr);
  virtual ~EvDebug();
  EvDebug(const EvDebug&) = delete;
  EvDebug& operator=(const EvDebug&) = delete;

  // The id of the named log, never 0; within a process the same name always
  // gives the same id.
  static uint32_t getLogId(const char* name);
  // Opens the dump file of the log `logId` (created or appended to). True when
  // it is ready; false, with a log line, for an unknown id, no log folder or a
  // file that cannot be opened. When `instance` is not null, its fileName,
  // folder and isOpen are filled in. The last three arguments are unused.
  bool initialize(EvDebugFileInstance* instance, unsigned int logId, long long option, bool flag,
                  const std::string& name);
  int IsInitialized() const { return file_ != nullptr; }
  // The dump file's path once initialised, else "".
  const std::string& filePath() const { return path_; }

  // One line to the dump file (the message alone, then '\n'); dropped when
  // not initialised.
  void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // One line through the log writer, when its level admits `level`.
  void DebugLvl(const char* tag, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

 private:
  FILE* file_ = nullptr;
  std::string path_;
};

class GUIDLOOKUPS_EXPORT EvEvent : public EvDebug {
 public:
  EvEvent() = default;
};
