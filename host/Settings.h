// Settings store of the host: one INI file per product instance.
//
// The file is <dir>/<instance>.ini, where <dir> comes from the environment
// variable GUIDLOOKUPS_SETTINGS_DIR (read at every call, never cached) and
// <instance> is the focus. Sections are "[EventManager]", "[vTaskHost]" and
// "[Base]"; lines are "name=value", numbers in decimal. Blanks around names
// and values are ignored, and section and value names match regardless of
// ASCII case. Blank lines and lines starting with ';' or '#' are comments. A
// malformed line is skipped with one log line (level 1) at each read. Where a
// value appears twice, the first one counts. A rewrite keeps every other line
// (comments included) as it was.
//
// Without GUIDLOOKUPS_SETTINGS_DIR every value reads as not found and every
// write fails: the library never writes settings to a place it was not given.
//
// Thread-safety: an object belongs to one thread at a time; any number of
// objects, in any number of threads and processes, may use the same file.
// Writers take a cross-process lock (flock on "<file>.lock") across the whole
// read-modify-write and replace the file by rename, so concurrent writers of
// different values lose none and a reader never sees a torn file.
#pragma once

#include <string>

#include "host/Export.h"

// The running instance: GUIDLOOKUPS_INSTANCE, or "Instance001" when unset.
class GUIDLOOKUPS_EXPORT HXPI_Focus {
 public:
  // REQUIRES: the caller copies the text before GUIDLOOKUPS_INSTANCE changes.
  static const char* getFocus();
};

// Bit 0 of getHXPlatformType(): the control server is installed here.
constexpr unsigned long kHXPlatformControlServerHere = 0x1;

class GUIDLOOKUPS_EXPORT HXPlatformInfo {
 public:
  HXPlatformInfo() = default;

  // Sets the instance whose file is read and written. Returns nonzero on
  // success, 0 for a null or empty name or one that holds '/'. An object
  // without a focus uses HXPI_Focus::getFocus() at each call.
  int setFocus(const char* instance);

  // Each read returns nonzero when the value was found and leaves the output
  // untouched otherwise (a missing file, section or value; a number that does
  // not parse or does not fit 64 bits).
  int getString(const char* section, const char* name, std::string* value);
  int getNumber(const char* section, const char* name, unsigned long* value);
  // Reads the 64-bit value and, only when found, stores its low 32 bits.
  int getNumber(const char* section, const char* name, unsigned int* value);

  // Writes the value atomically (see the file comment). Nonzero on success; 0
  // (with a log line) when no settings folder is configured, the folder does
  // not exist (it is never created; the file in it is), the file cannot be
  // written, or the text could not be read back as written (a line break, or
  // blanks at either end of a string value).
  int setNumber(const char* section, const char* name, unsigned long value);
  int setString(const char* section, const char* name, const std::string& value);
  // Removes the value; nonzero when the file was written (also when the value
  // was not there).
  int removeValue(const char* section, const char* name);

  // Platform bits, from the number "nHXPlatformType" of section "[Base]"
  // (0 when missing). Bit 0 (kHXPlatformControlServerHere): the control server
  // is installed on this machine.
  unsigned long getHXPlatformType();
  // This machine's host name (gethostname).
  const char* getPhysicalMachine();

  // The file this object reads: <dir>/<instance>.ini, or "" when no settings
  // folder is configured.
  std::string filePath() const;

 private:
  std::string focus_;
  std::string machine_;
};
