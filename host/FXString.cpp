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
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') c = static_cast<char>(u - 'A' + 'a');
  }
}

void FXString::ToUpper(std::string& s) {
  for (char& c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 'a' + 'A');
  }
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

int FXString::Compare(const std::string& a, const std::string& b) {
  return strcmp(a.c_str(), b.c_str());
}
