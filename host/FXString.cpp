#include "host/FXString.h"

#include <cstdarg>
#include <cstring>

#include "host/LogWriter.h"

std::string FXString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = hxlog::VFormat(format, args);
  va_end(args);
  return out;
}

void FXString::ToLower(std::string& s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void FXString::ToUpper(std::string& s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void FXString::ReplaceAll(std::string& s, const std::string& from, const std::string& to,
                          unsigned long start) {
  if (from.empty() || start >= s.size()) return;
  size_t pos = start;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();  // never rescan the replacement, or "a"->"aa" would not end
  }
}

std::string FXString::CopyAndReplaceAll(const std::string& s, const std::string& from,
                                        const std::string& to) {
  std::string out = s;
  ReplaceAll(out, from, to, 0);
  return out;
}

std::string FXString::TrimBlanks(const std::string& s) {
  const size_t begin = s.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(" \t") - begin + 1);
}

int FXString::Compare(const std::string& a, const std::string& b) {
  return strcmp(a.c_str(), b.c_str());
}
