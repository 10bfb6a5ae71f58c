// Failure lines of the lookup service that are also kept as the text of the
// failure, for CHXGuidLookups::lastError and the like. Internal to the
// library: never installed, never included by a public header.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

#include "host/LogWriter.h"

namespace guidlookups_internal {

// Sets `into` to the formatted text. Never throws: short of memory, `into`
// is left empty.
inline void KeepError(std::string& into, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
inline void KeepError(std::string& into, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  try {
    into = hxlog::VFormat(format, args);
  } catch (...) {
    into.clear();
  }
  va_end(args);
}

// The message of the exception being handled, "unknown error" for one that
// is not a std::exception. REQUIRES: called inside a catch block.
inline const char* CaughtMessage() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace guidlookups_internal

// Logs a failure at level -1 under `tag` (with the source line of the call)
// and keeps its text in the std::string `into`.
#define HXLOG_FAILURE(into, tag, ...)                       \
  do {                                                      \
    HXLOG(-1, tag, __VA_ARGS__);                            \
    ::guidlookups_internal::KeepError((into), __VA_ARGS__); \
  } while (0)
