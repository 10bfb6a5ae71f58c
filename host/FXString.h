// String helpers of the host layer. All functions are static and thread-safe
// (they share no state).
#pragma once

#include <string>

#include "host/Export.h"
// The path, file and folder helpers, for the code that includes this header
// for them.
#include "host/FXPath.h"

class GUIDLOOKUPS_EXPORT FXString {
 public:
  // printf-style formatting into a new string; any length.
  static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
  // ASCII case conversion in place; bytes >= 0x80 are left alone.
  static void ToLower(std::string& s);
  static void ToUpper(std::string& s);
  // Replaces every occurrence of `from` by `to` in place, starting at `start`.
  // An empty `from` changes nothing.
  static void ReplaceAll(std::string& s, const std::string& from, const std::string& to,
                         unsigned long start);
  static std::string CopyAndReplaceAll(const std::string& s, const std::string& from,
                                       const std::string& to);
  static std::string ToString(const std::string& s) { return s; }
  // strcmp of the two NUL-terminated strings.
  static int Compare(const std::string& a, const std::string& b);
};
