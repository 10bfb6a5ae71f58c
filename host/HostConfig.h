// The folders and knobs of the platform layer, settable in-process: where
// the settings, locks and logs live, the instance, the log level, the
// control server, the application manager's table and SQLite's busy
// time-out.
//
// Thread-safe (provides internal synchronization). Each knob defaults to an
// environment variable: a value set with Set wins over the variable, and
// Clear gives the knob back to the variable. The variables are read at each
// Get and never written, so an embedder or a test steers the library without
// setenv(3), which races with every other thread of the process. A forked
// child keeps the values set in-process; a program it execs sees only its
// environment.
//
// Wherever the library speaks of one of these variables, it reads the knob
// through Get. Every reader takes an empty value as "not set", so
// Set(knob, "") turns a knob off for this process whatever the environment
// holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/Export.h"

namespace hostconfig {

enum class Knob {
  kSettingsDir,          // GUIDLOOKUPS_SETTINGS_DIR
  kInstance,             // GUIDLOOKUPS_INSTANCE
  kLockDir,              // GUIDLOOKUPS_LOCK_DIR
  kLogFile,              // GUIDLOOKUPS_LOG_FILE
  kLogLevel,             // GUIDLOOKUPS_LOG_LEVEL
  kLogDir,               // GUIDLOOKUPS_LOG_DIR
  kControlServer,        // GUIDLOOKUPS_CONTROL_SERVER
  kAppMgrTable,          // GUIDLOOKUPS_APPMGR_TABLE
  kSqliteBusyTimeoutMs,  // GUIDLOOKUPS_SQLITE_BUSY_TIMEOUT_MS
};

// The value set in-process, else the environment variable's, else "".
// Throws only std::bad_alloc.
GUIDLOOKUPS_EXPORT std::string Get(Knob knob);

// Get's value when it is a decimal number from `low` to `high`; anything
// else (unset, trailing text, out of range, no memory) gives `fallback`, so
// that a typo never turns a limit or the error lines off.
GUIDLOOKUPS_EXPORT int GetNumber(Knob knob, int low, int high, int fallback) noexcept;

// The value set in-process, or nullopt when the environment decides.
// Throws only std::bad_alloc.
GUIDLOOKUPS_EXPORT std::optional<std::string> InProcess(Knob knob);

// Sets `knob` for this process; false (nothing changed) when memory runs out.
GUIDLOOKUPS_EXPORT bool Set(Knob knob, const std::string& value) noexcept;

// Gives `knob` back to its environment variable.
GUIDLOOKUPS_EXPORT void Clear(Knob knob) noexcept;

// Moves at every Set and Clear. What a caller keeps from the knobs (a lock
// file kept open in the lock folder) it derives again only once this moved:
// the environment counts as fixed for the life of the process, since the
// library never writes it and setenv(3) races with every other thread.
GUIDLOOKUPS_EXPORT uint64_t Generation() noexcept;

}  // namespace hostconfig
