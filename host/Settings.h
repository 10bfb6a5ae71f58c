// Settings store of the host: one INI file per product instance.
//
// The file is <dir>/<instance>.ini, where <dir> comes from the environment
// variable GUIDLOOKUPS_SETTINGS_DIR (read at every call, never cached) and
// <instance> is the focus. Sections are "[EventManager]", "[vTaskHost]" and
// "[Base]"; lines are "name=value", numbers in decimal. Blanks around names
// and values are ignored, and section and value names match regardless of
// ASCII case. A UTF-8 byte-order mark at the start of the file is skipped
// (and kept by a rewrite). Blank lines and lines starting with ';' or '#' are
// comments. A malformed line is skipped with one log line (level 1) at each
// read. Where a value appears twice, the first one counts. A rewrite keeps
// every other line (comments included) as it was. A number that does not
// parse reads as missing (readNumber tells it apart); it is logged (level
// -1, naming the file, section, value name and text) once per process for
// each distinct such value.
//
// Without GUIDLOOKUPS_SETTINGS_DIR every value of the file reads as not found
// and every write fails: the library never writes settings to a place it was
// not given.
//
// A settings file that is a symbolic link stays one: writes replace the file
// it names.
//
// The overlay (SetOverlay) holds values of this process only, which reads see
// before the file's, whether or not a file or a settings folder exists. It is
// never written to any file, and writes never change it: a write of an
// overlaid name still goes to the file (and then reads in this process still
// see the overlay), and writes of other names keep the file's own lines for
// overlaid names as they are.
//
// Thread-safety: an object belongs to one thread at a time; any number of
// objects, in any number of threads and processes, may use the same file.
// Writers take a cross-process lock (flock on "<file>.lock", beside the file
// a link names) across the whole read-modify-write and replace the file by
// rename, so concurrent writers of different values lose none and a reader
// never sees a torn file. The overlay functions are thread-safe and may run
// concurrently with reads in any thread.
#pragma once

#include <string>
#include <vector>

#include "host/Export.h"
#include "host/SettingsTable.h"
#include "host/Status.h"

// The running instance: GUIDLOOKUPS_INSTANCE (hostconfig::Knob::kInstance),
// or "Instance001" when unset.
class GUIDLOOKUPS_EXPORT HXPI_Focus {
 public:
  // The text stays valid until the calling thread's next getFocus(). Short
  // of memory, it is "" (no instance, so no settings file).
  static const char* getFocus();
};

// What a read found.
enum class SettingStatus {
  kFound,        // the value is there (a number: and it parses)
  kMissing,      // no settings folder, file, section or value
  kUnparseable,  // a number whose text is not decimal or does not fit 64 bits
  kUnreadable,   // the file exists but could not be read (lastReadErrno())
};

// One line of a settings file that is not blank and not a comment, as the
// store reads it.
struct SettingsLine {
  enum Kind { kSection, kValue, kMalformed };
  Kind kind = kValue;
  int number = 0;       // 1 for the file's first line
  std::string section;  // a header's name, or the section the line lies in ("" before any)
  std::string name;     // a value's name
  std::string value;    // a value's text
  std::string text;     // the line without its end and surrounding blanks
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

  // Each read returns nonzero when the value was found (in the overlay first,
  // then in the file) and leaves the output untouched otherwise (a missing
  // file, section or value; a number that does not parse or does not fit 64
  // bits). An overlaid value hides the file's, even when it is not a number.
  int getString(const char* section, const char* name, std::string* value);
  int getNumber(const char* section, const char* name, unsigned long* value);
  // Reads the 64-bit value and, only when found, stores its low 32 bits.
  int getNumber(const char* section, const char* name, unsigned int* value);
  int getString(const hxsettings::Setting& s, std::string* value) {
    return getString(s.section, s.name, value);
  }
  int getNumber(const hxsettings::Setting& s, unsigned long* value) {
    return getNumber(s.section, s.name, value);
  }
  int getNumber(const hxsettings::Setting& s, unsigned int* value) {
    return getNumber(s.section, s.name, value);
  }

  // The same reads, telling why nothing was found. The output is set only
  // for kFound; `text` (when given) receives the value's text for kFound and
  // kUnparseable. A number that does not parse is logged as by getNumber.
  SettingStatus readString(const hxsettings::Setting& setting, std::string* value);
  SettingStatus readNumber(const hxsettings::Setting& setting, unsigned long* value,
                           std::string* text = nullptr);

  // The file's lines in order, the overlay left out: kFound with `lines`
  // filled, kMissing (no folder or no file; `lines` emptied) or kUnreadable.
  // Malformed lines are logged as by a read.
  SettingStatus listFile(std::vector<SettingsLine>* lines);

  // After a read that returned 0, tells "not there" from "could not look":
  // the errno of a settings file that exists but could not be read (EMFILE,
  // EACCES, EIO; EISDIR for a folder), with lastReadError() "<path>: <reason>"
  // and one log line at level -1 from the read; 0 and "" when the file, the
  // section or the value is simply missing. Every read sets both, from
  // lastReadStatus(): OK, or kIOError with that text and errno.
  const Status& lastReadStatus() const { return readStatus_; }
  int lastReadErrno() const { return readStatus_.sysError(); }
  const std::string& lastReadError() const { return readStatus_.context(); }

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

  // The file this object reads and writes: <dir>/<instance>.ini, or "" when
  // no settings folder is configured (then only the overlay can be read, and
  // writes fail). The overlay has no file and plays no part here.
  std::string filePath() const;

  // The process-wide overlay. SetOverlay makes reads of (section, name), in
  // any object and thread of this process, return `value`; nonzero on
  // success, 0 for a null or empty name. Names match regardless of ASCII
  // case, as in the file. RemoveOverlay returns nonzero when a value was
  // removed. Nothing of the overlay is ever written to a file.
  static int SetOverlay(const char* section, const char* name, const std::string& value);
  static int RemoveOverlay(const char* section, const char* name);
  static void ClearOverlay();

 private:
  // The value's text from the overlay, else the file; `where` says which
  // (the file's path or "the settings overlay"). Sets readStatus_.
  SettingStatus readText(const char* section, const char* name, const char* tag, std::string* text,
                         std::string* where);

  std::string focus_;
  std::string machine_;
  Status readStatus_;
};
