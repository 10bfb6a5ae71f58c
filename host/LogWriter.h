// The process-wide log writer.
//
// g_ptrLogWriter is the writer every log line of the library goes to. Tests
// and embedders replace it with SetLogWriter(); the library reads it with
// GetLogWriter(). Both are atomic, so a writer may be replaced while other
// threads log; a line already started completes on the old writer, and every
// writer once installed stays alive until the process ends.
//
// The default writer appends to the file named by GUIDLOOKUPS_LOG_FILE
// (standard error when unset) and writes a line only when its level is at most
// GUIDLOOKUPS_LOG_LEVEL (default 1: errors, milestones and the database
// class's own lines; a value that is not a decimal integer gives the default).
// The process's default writer is made at the first GetLogWriter() unless a
// writer (or nullptr, which silences the library) was set before; both
// variables are read when it is made. ResetDefaultLogWriter() reads them
// again and points that same writer at the file they name now, which is also
// how to rotate the log: rename the file, call ResetDefaultLogWriter(), and
// the next line goes to a new file (no line is lost or split between them,
// and no descriptor is left behind). A line reads
//   2026-12-08 04:30:00.123 pid=12 tid=34 L-1 [tag:line] message
// and is written with one write(2) on an O_APPEND descriptor, so lines of many
// threads and processes never interleave.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

#include "host/Export.h"

class GUIDLOOKUPS_EXPORT CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();

  // Formats and hands the line to WriteLine. `reserved1` and `reserved2` are
  // always 0. Does not gate by level: callers ask GetLevel() first.
  virtual void Write(int level, const char* tag, int line, int reserved1, int reserved2,
                     const char* format, ...) __attribute__((format(printf, 7, 8)));
  // Receives one formatted line. Must be safe to call from many threads.
  virtual void WriteLine(int level, const char* tag, int line, const std::string& message) = 0;
  virtual void Flush() {}
  // The current level: lines of a level up to this one are written.
  virtual int GetLevel() = 0;
};

GUIDLOOKUPS_EXPORT extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// Atomic access to g_ptrLogWriter.
GUIDLOOKUPS_EXPORT std::shared_ptr<CLogWriterInterface> GetLogWriter();
GUIDLOOKUPS_EXPORT void SetLogWriter(std::shared_ptr<CLogWriterInterface> writer);
// The writer in use (null when logging is off), without taking a reference:
// every writer once installed stays alive until the process ends, so the
// pointer stays valid. Lock-free; this is what HXLOG uses on hot paths.
GUIDLOOKUPS_EXPORT CLogWriterInterface* CurrentLogWriter();
// Installs the process's default writer after it has read the environment
// again and reopened its file (see the file comment). Any number of calls
// hold one descriptor between them.
GUIDLOOKUPS_EXPORT void ResetDefaultLogWriter();
// A new writer of the default kind, owned by the caller (its file is closed
// when the last reference goes; a writer once installed with SetLogWriter
// stays alive until exit), for embedders that wrap it.
GUIDLOOKUPS_EXPORT std::shared_ptr<CLogWriterInterface> MakeDefaultLogWriter();

namespace hxlog {
// The level GUIDLOOKUPS_LOG_LEVEL names, as the default writer reads it: 1
// when unset or not a decimal integer, possibly negative.
GUIDLOOKUPS_EXPORT int LevelFromEnvironment();
// vprintf-style formatting into a string of any length.
GUIDLOOKUPS_EXPORT std::string VFormat(const char* format, va_list args);
}  // namespace hxlog

// Writes one line through the current writer when its level admits it.
// `tag` is the full signature of the calling function.
#define HXLOG(level, tag, ...)                                           \
  do {                                                                   \
    auto* hxlog_writer_ = ::CurrentLogWriter();                          \
    if (hxlog_writer_ && hxlog_writer_->GetLevel() >= (level))           \
      hxlog_writer_->Write((level), (tag), __LINE__, 0, 0, __VA_ARGS__); \
  } while (0)
