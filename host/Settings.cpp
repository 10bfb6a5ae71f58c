#include "host/Settings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "host/FXString.h"
#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"

// How the file is kept consistent:
//
// Readers take no lock. They read the whole file through one descriptor, and
// writers never change a file in place: each write builds the complete new
// text, writes it to a uniquely named temporary file in the same folder
// (hostfs::AtomicWriteFile), flushes it and renames it over the settings
// file. rename(2) is atomic, so a reader's descriptor refers either to the
// old file or to the complete new one, never to a torn mixture.
//
// Writers serialise on flock(2) of "<file>.lock", held across the whole
// read-modify-write. Without it, two processes could both read the old text,
// each add their own value and rename in turn, and the second rename would
// drop the first value. The lock file is separate from the settings file
// because the settings file is replaced at every write: a lock on it would
// bind to a file that is no longer the current one. Both the lock and the
// replacement go to the file a symbolic link names, so a link stays a link
// and two names of one file lock together.
//
// The overlay is a map behind a mutex, with an atomic count in front of it so
// that the usual read, with nothing overlaid, takes no lock at all.

namespace {

using hxsettings::AsciiLower;
using hxsettings::SameName;

const char kGetStringTag[] = "int HXPlatformInfo::getString(const char*, const char*, string*)";
const char kGetNumberTag[] =
    "int HXPlatformInfo::getNumber(const char*, const char*, unsigned long*)";
const char kSetNumberTag[] =
    "int HXPlatformInfo::setNumber(const char*, const char*, unsigned long)";
const char kSetStringTag[] =
    "int HXPlatformInfo::setString(const char*, const char*, const string&)";
const char kRemoveValueTag[] = "int HXPlatformInfo::removeValue(const char*, const char*)";
const char kListTag[] = "SettingStatus HXPlatformInfo::listFile(vector<SettingsLine>*)";

const char kDefaultInstance[] = "Instance001";

// One line of the file: what a listing shows of it, and `raw` as read
// (without its '\n') so that a rewrite leaves every line it does not change
// byte for byte.
struct IniLine : SettingsLine {
  bool comment = true;
  std::string raw;
};

// Splits and classifies the file's lines; each malformed line is logged once
// with `tag` and then left alone.
std::vector<IniLine> Parse(const std::string& content, const std::string& path, const char* tag) {
  std::vector<IniLine> lines;
  std::string section;
  size_t start = 0;
  int number = 0;
  while (start < content.size()) {
    const size_t end = std::min(content.find('\n', start), content.size());
    IniLine line;
    line.raw = content.substr(start, end - start);
    start = end + 1;
    line.number = ++number;

    std::string text = line.raw;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    text = line.text = FXString::TrimBlanks(text);
    line.comment = text.empty() || text[0] == ';' || text[0] == '#';
    if (!line.comment && text[0] == '[') {
      const std::string name = text.size() >= 2 && text.back() == ']'
                                   ? FXString::TrimBlanks(text.substr(1, text.size() - 2))
                                   : std::string();
      line.kind = name.empty() ? IniLine::kMalformed : IniLine::kSection;
      if (!name.empty()) section = name;
    } else if (!line.comment) {
      const size_t eq = text.find('=');
      if (eq != std::string::npos) line.name = FXString::TrimBlanks(text.substr(0, eq));
      line.kind = line.name.empty() ? IniLine::kMalformed : IniLine::kValue;
      if (!line.name.empty()) line.value = FXString::TrimBlanks(text.substr(eq + 1));
    }
    line.section = section;
    if (line.kind == IniLine::kMalformed)
      HXLOG(1, tag, "Skipping malformed line %d of settings file %s: %s", number, path.c_str(),
            line.raw.c_str());
    lines.push_back(std::move(line));
  }
  return lines;
}

const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Reads the file's lines. kMissing for no file; kUnreadable for one that
// cannot be read (logged at level -1 with `tag`, kept in `failure` with its
// errno): a caller must not take that for a missing value. A UTF-8
// byte-order mark that some editors put in front of the text is dropped;
// `byteOrderMark` tells whether there was one, so that a rewrite can put it
// back.
SettingStatus ReadLines(const std::string& path, const char* tag, std::vector<IniLine>* lines,
                        Status* failure, bool* byteOrderMark = nullptr) {
  lines->clear();
  if (path.empty()) return SettingStatus::kMissing;
  std::string content, error;
  if (!hostfs::ReadWholeFile(path, content, &error)) {
    const int err = errno;
    if (err == ENOENT) return SettingStatus::kMissing;
    *failure = Status::IOError(error, err);
    HXLOG(-1, tag, "Cannot read settings file %s", error.c_str());
    return SettingStatus::kUnreadable;
  }
  const bool mark = content.compare(0, 3, kByteOrderMark) == 0;
  if (byteOrderMark) *byteOrderMark = mark;
  *lines = Parse(mark ? content.substr(3) : content, path, tag);
  return SettingStatus::kFound;
}

// Finds the value in the file: the first line of that section and name.
SettingStatus Lookup(const std::string& path, const char* section, const char* name,
                     const char* tag, std::string* value, Status* failure) {
  if (!section || !name) return SettingStatus::kMissing;
  std::vector<IniLine> lines;
  SettingStatus status = ReadLines(path, tag, &lines, failure);
  if (status != SettingStatus::kFound) return status;
  for (const IniLine& line : lines) {
    if (!line.comment && line.kind == IniLine::kValue && SameName(line.section, section) &&
        SameName(line.name, name)) {
      *value = line.value;
      return SettingStatus::kFound;
    }
  }
  return SettingStatus::kMissing;
}

// Decimal digits only, and the value must fit 64 bits.
bool ParseNumber(const std::string& text, unsigned long* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  *out = value;
  return true;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n", 0) != std::string::npos; }

// Section and value names that could not be read back as written are refused
// rather than written.
bool ValidNames(const char* section, const char* name) {
  if (!section || !name || !*section || !*name) return false;
  std::string s = section, n = name;
  if (HasLineBreak(s) || HasLineBreak(n) || s.find(']') != std::string::npos ||
      n.find('=') != std::string::npos)
    return false;
  if (FXString::TrimBlanks(s) != s || FXString::TrimBlanks(n) != n) return false;
  return n[0] != '[' && n[0] != ';' && n[0] != '#';
}

// Takes flock(2) on the open `fd`, waiting out signals; 0, or the errno of
// the failure. Closing the descriptor releases it.
int LockExclusive(int fd) {
  if (fd < 0) return errno;
  while (flock(fd, LOCK_EX) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

// Whether `value` (null: a removal) of [section] name can be written so that
// it reads back as written, to a file that is configured; logs why not.
bool Storable(const std::string& path, const char* section, const char* name,
              const std::string* value, const char* tag) {
  if (!ValidNames(section, name)) {
    HXLOG(-1, tag, "Invalid settings section or value name [%s] %s", section ? section : "(null)",
          name ? name : "(null)");
    return false;
  }
  if (value && (HasLineBreak(*value) || value->find('\0') != std::string::npos ||
                FXString::TrimBlanks(*value) != *value)) {
    HXLOG(-1, tag,
          "Cannot store value %s of [%s]: line breaks, NULs and surrounding blanks "
          "cannot be read back",
          name, section);
    return false;
  }
  if (path.empty()) {
    HXLOG(1, tag,
          "No settings folder configured (GUIDLOOKUPS_SETTINGS_DIR); %s of [%s] not written", name,
          section);
    return false;
  }
  return true;
}

// Sets (value non-null) the first line of [section] name in `lines`, or adds
// one after the section's last line (or in a new section at the end); or
// removes (null) every such line. True when a line changed.
bool Edit(std::vector<IniLine>& lines, const char* section, const char* name,
          const std::string* value) {
  const auto inSection = [section](const IniLine& line) {
    return !line.comment && SameName(line.section, section);
  };
  const auto isValue = [&](const IniLine& line) {
    return inSection(line) && line.kind == IniLine::kValue && SameName(line.name, name);
  };
  if (!value) {
    const auto kept = std::remove_if(lines.begin(), lines.end(), isValue);
    const bool changed = kept != lines.end();
    lines.erase(kept, lines.end());
    return changed;
  }
  const auto found = std::find_if(lines.begin(), lines.end(), isValue);
  if (found != lines.end()) {
    // The first occurrence is the one readers see; keep its spelling.
    const std::string raw = found->name + "=" + *value;
    if (raw == found->raw) return false;
    found->raw = raw;
    return true;
  }
  IniLine added;
  added.raw = std::string(name) + "=" + *value;
  // After the section's last header, value or malformed line.
  const auto last = std::find_if(lines.rbegin(), lines.rend(), inSection);
  if (last != lines.rend()) {
    lines.insert(last.base(), added);
    return true;
  }
  if (!lines.empty() && !FXString::TrimBlanks(lines.back().raw).empty()) lines.push_back(IniLine());
  IniLine header;
  header.raw = std::string("[") + section + "]";
  lines.push_back(header);
  lines.push_back(added);
  return true;
}

// Sets (value non-null) or removes (null) one value of the file of `info`
// under the writers' lock. Returns nonzero on success.
int Modify(const HXPlatformInfo& info, const char* section, const char* name,
           const std::string* value, const char* tag) try {
  const std::string path = info.filePath();
  if (!Storable(path, section, name, value, tag)) return 0;
  const hostfs::ScopedFd lock(
      open((hostfs::ResolveLinks(path) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (const int err = LockExclusive(lock.get())) {
    HXLOG(-1, tag, "Cannot lock settings file %s: %s", path.c_str(),
          hostfs::ErrnoText(err).c_str());
    return 0;
  }

  std::vector<IniLine> lines;
  Status unread;
  bool byteOrderMark = false;
  // Rewriting a file we cannot read would throw its other values away.
  if (ReadLines(path, tag, &lines, &unread, &byteOrderMark) == SettingStatus::kUnreadable) return 0;
  if (!Edit(lines, section, name, value)) return 1;

  std::string text = byteOrderMark ? kByteOrderMark : "";
  for (const IniLine& line : lines) {
    text += line.raw;
    text += '\n';
  }
  if (std::string error; !hostfs::AtomicWriteFile(path, text, &error)) {
    HXLOG(-1, tag, "Cannot write settings file %s: %s", path.c_str(), error.c_str());
    return 0;
  }
  return 1;
} catch (...) {
  return 0;
}

// Section and value name folded to lower case, as the file matches them.
std::string OverlayKey(const char* section, const char* name) {
  std::string key = std::string(section) + '\0' + name;
  std::transform(key.begin(), key.end(), key.begin(), AsciiLower);
  return key;
}

// The in-process overlay. Never destroyed, so that settings read by other
// static destructors at exit still find it.
struct Overlay {
  std::mutex mutex;
  std::map<std::string, std::string> values;  // guarded by mutex
  // The size of `values`, readable without the mutex: while it is 0 a read
  // goes straight to the file.
  std::atomic<size_t> size{0};

  // Runs `edit` on the values under the mutex and publishes their new size.
  template <typename Edit>
  int Change(Edit edit) {
    std::lock_guard<std::mutex> lock(mutex);
    const int result = edit(values);
    size.store(values.size(), std::memory_order_release);
    return result;
  }
};

Overlay& TheOverlay() {
  static Overlay* overlay = new Overlay();
  return *overlay;
}

bool LookupOverlay(const char* section, const char* name, std::string* value) {
  Overlay& overlay = TheOverlay();
  if (overlay.size.load(std::memory_order_acquire) == 0 || !section || !name) return false;
  const std::string key = OverlayKey(section, name);
  std::lock_guard<std::mutex> lock(overlay.mutex);
  auto it = overlay.values.find(key);
  if (it == overlay.values.end()) return false;
  *value = it->second;
  return true;
}

// True the first time a bad number (file, section, name, text) is reported in
// this process. The memory is bounded; past the bound every report counts as
// a first one, so a bad value is never silenced.
bool FirstReportOf(const std::string& file, const char* section, const char* name,
                   const std::string& text) {
  static std::mutex* mutex = new std::mutex();
  static auto* seen = new std::set<std::string>();  // guarded by *mutex
  const size_t kMaxRemembered = 1024;
  const std::string key = file + '\0' + section + '\0' + name + '\0' + text;
  std::lock_guard<std::mutex> lock(*mutex);
  if (seen->count(key)) return false;
  if (seen->size() < kMaxRemembered) seen->insert(key);
  return true;
}

}  // namespace

const char* HXPI_Focus::getFocus() {
  // Per thread, so that the text stays put while other threads ask.
  static thread_local std::string instance;
  try {
    instance = hostconfig::Get(hostconfig::Knob::kInstance);
  } catch (...) {
    return "";  // short of memory: no instance, hence no settings file
  }
  return instance.empty() ? kDefaultInstance : instance.c_str();
}

int HXPlatformInfo::setFocus(const char* instance) {
  if (!instance || !*instance || std::strchr(instance, '/')) return 0;
  try {
    focus_ = instance;
    return 1;
  } catch (...) {
    return 0;
  }
}

std::string HXPlatformInfo::filePath() const {
  try {
    const std::string dir = hostconfig::Get(hostconfig::Knob::kSettingsDir);
    if (dir.empty()) return std::string();
    std::string instance = focus_.empty() ? HXPI_Focus::getFocus() : focus_;
    if (instance.empty() || instance.find('/') != std::string::npos) return std::string();
    std::string path = dir;
    if (path.back() != '/') path += '/';
    return path + instance + ".ini";
  } catch (...) {
    return std::string();
  }
}

SettingStatus HXPlatformInfo::readText(const char* section, const char* name, const char* tag,
                                       std::string* text, std::string* where) {
  readStatus_ = Status::OK();
  try {
    *where = "the settings overlay";
    if (LookupOverlay(section, name, text)) return SettingStatus::kFound;
    *where = filePath();
    return Lookup(*where, section, name, tag, text, &readStatus_);
  } catch (...) {
    // Only an allocation can fail: the value was not looked at.
    readStatus_ = Status::IOError("", ENOMEM);
    return SettingStatus::kUnreadable;
  }
}

// The plain reads are the telling ones with the status folded into found or not.
int HXPlatformInfo::getString(const char* section, const char* name, std::string* value) {
  return readString({section, name, {}, nullptr, nullptr}, value) == SettingStatus::kFound && value;
}

int HXPlatformInfo::getNumber(const char* section, const char* name, unsigned long* value) {
  return readNumber({section, name, {}, nullptr, nullptr}, value) == SettingStatus::kFound && value;
}

SettingStatus HXPlatformInfo::readString(const hxsettings::Setting& setting, std::string* value) {
  std::string text, where;
  SettingStatus status = readText(setting.section, setting.name, kGetStringTag, &text, &where);
  if (status == SettingStatus::kFound && value) *value = std::move(text);
  return status;
}

SettingStatus HXPlatformInfo::readNumber(const hxsettings::Setting& setting, unsigned long* value,
                                         std::string* text) {
  std::string found, where;
  unsigned long number = 0;
  SettingStatus status = readText(setting.section, setting.name, kGetNumberTag, &found, &where);
  if (status == SettingStatus::kFound && !ParseNumber(found, &number)) {
    status = SettingStatus::kUnparseable;
    try {
      if (FirstReportOf(where, setting.section, setting.name, found))
        HXLOG(-1, kGetNumberTag,
              "Value %s of [%s] in %s is not a decimal number of at most 64 bits: %s; "
              "using the default",
              setting.name, setting.section, where.c_str(), found.c_str());
    } catch (...) {
      // Short of memory the report is lost; the value still reads as unparseable.
    }
  }
  if (status == SettingStatus::kFound && value) *value = number;
  if (status != SettingStatus::kMissing && status != SettingStatus::kUnreadable && text)
    *text = std::move(found);
  return status;
}

SettingStatus HXPlatformInfo::listFile(std::vector<SettingsLine>* lines) {
  readStatus_ = Status::OK();
  if (!lines) return SettingStatus::kMissing;
  try {
    std::vector<IniLine> read;
    SettingStatus status = ReadLines(filePath(), kListTag, &read, &readStatus_);
    lines->clear();
    for (IniLine& line : read)
      if (!line.comment) lines->push_back(std::move(line));
    return status;
  } catch (...) {
    lines->clear();
    readStatus_ = Status::IOError("", ENOMEM);
    return SettingStatus::kUnreadable;
  }
}

int HXPlatformInfo::getNumber(const char* section, const char* name, unsigned int* value) {
  if (!value) return 0;
  unsigned long wide = 0;
  int found = getNumber(section, name, &wide);
  if (found) *value = static_cast<unsigned int>(wide);
  return found;
}

int HXPlatformInfo::setNumber(const char* section, const char* name, unsigned long value) {
  try {
    const std::string text = std::to_string(value);
    return Modify(*this, section, name, &text, kSetNumberTag);
  } catch (...) {
    return 0;
  }
}

int HXPlatformInfo::setString(const char* section, const char* name, const std::string& value) {
  return Modify(*this, section, name, &value, kSetStringTag);
}

int HXPlatformInfo::removeValue(const char* section, const char* name) {
  return Modify(*this, section, name, nullptr, kRemoveValueTag);
}

unsigned long HXPlatformInfo::getHXPlatformType() {
  unsigned long type = 0;
  getNumber(hxsettings::kPlatformType, &type);
  return type;
}

const char* HXPlatformInfo::getPhysicalMachine() {
  char name[256];
  if (gethostname(name, sizeof name) != 0) name[0] = '\0';
  name[sizeof name - 1] = '\0';
  try {
    machine_ = name;
  } catch (...) {
    machine_.clear();
  }
  return machine_.c_str();
}

int HXPlatformInfo::SetOverlay(const char* section, const char* name, const std::string& value) {
  if (!section || !name || !*section || !*name) return 0;
  try {
    const std::string key = OverlayKey(section, name);
    return TheOverlay().Change([&](auto& values) { return values[key] = value, 1; });
  } catch (...) {
    return 0;
  }
}

int HXPlatformInfo::RemoveOverlay(const char* section, const char* name) {
  if (!section || !name) return 0;
  try {
    const std::string key = OverlayKey(section, name);
    return TheOverlay().Change([&](auto& values) { return values.erase(key) ? 1 : 0; });
  } catch (...) {
    return 0;
  }
}

void HXPlatformInfo::ClearOverlay() {
  TheOverlay().Change([](auto& values) { return values.clear(), 0; });
}
