#include "host/EventLog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"

namespace {

const char kInitializeTag[] =
    "bool EvDebug::initialize(EvDebugFileInstance*, unsigned int, long long, bool, const string&)";

// Names of the logs that have been given an id; the id of a name is its index
// plus 1, so 0 is never a valid id. Function-local so that it is ready even
// when another library's static initialiser asks for an id.
struct LogRegistry {
  std::mutex mutex;  // protects names
  std::vector<std::string> names;
};

LogRegistry& Registry() {
  static LogRegistry* registry = new LogRegistry;  // never destroyed: usable at exit
  return *registry;
}

std::string NameOfLog(uint32_t id) {
  LogRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (id == 0 || id > r.names.size()) return std::string();
  return r.names[id - 1];
}

// GUIDLOOKUPS_LOG_DIR, else the folder of GUIDLOOKUPS_LOG_FILE, else "".
std::string LogFolder() {
  std::string dir = hostconfig::Get(hostconfig::Knob::kLogDir);
  if (!dir.empty()) return dir;
  const std::string path = hostconfig::Get(hostconfig::Knob::kLogFile);
  return path.empty() ? std::string() : hostfs::FolderOf(path);
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* /*instance*/) {}

EvDebug::~EvDebug() {
  if (file_) fclose(file_);
}

uint32_t EvDebug::getLogId(const char* name) {
  try {
    std::string key = name ? name : "";
    LogRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto known = std::find(r.names.begin(), r.names.end(), key);
    if (known == r.names.end()) known = r.names.insert(known, key);
    return static_cast<uint32_t>(known - r.names.begin() + 1);
  } catch (...) {
    return 0;
  }
}

bool EvDebug::initialize(EvDebugFileInstance* instance, unsigned int logId, long long /*option*/,
                         bool /*flag*/, const std::string& /*name*/) {
  try {
    const std::string name = NameOfLog(logId);
    if (name.empty() || name.find('/') != std::string::npos) {
      HXLOG(-1, kInitializeTag, "Unknown dump log id %u", logId);
      return false;
    }
    const std::string folder = LogFolder();
    if (folder.empty()) {
      HXLOG(1, kInitializeTag,
            "No log folder for dump log %s: neither GUIDLOOKUPS_LOG_DIR nor GUIDLOOKUPS_LOG_FILE "
            "is set",
            name.c_str());
      return false;
    }
    std::string path = folder;
    if (path.back() != '/') path += '/';
    path += name + ".log";
    // "e": O_CLOEXEC, so programs the agent starts do not inherit the file.
    FILE* file = fopen(path.c_str(), "ae");
    if (!file) {
      HXLOG(-1, kInitializeTag, "Cannot open dump log file %s", path.c_str());
      return false;
    }
    if (file_) fclose(file_);
    file_ = file;
    path_ = path;
    if (instance) {
      instance->fileName = path;
      instance->folder = folder;
      instance->isOpen = true;
    }
    return true;
  } catch (...) {
    return false;
  }
}

void EvDebug::Debug(const char* /*tag*/, const char* format, ...) {
  if (!file_) return;
  va_list args;
  va_start(args, format);
  try {
    std::string line = hxlog::VFormat(format, args);
    line += '\n';
    fwrite(line.data(), 1, line.size(), file_);
  } catch (...) {
    // A dump line that cannot be built is dropped.
  }
  va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  CLogWriterInterface* writer = CurrentLogWriter();
  if (!writer || writer->GetLevel() < level) return;
  va_list args;
  va_start(args, format);
  try {
    std::string message = hxlog::VFormat(format, args);
    writer->WriteLine(level, tag ? tag : "", 0, message);
  } catch (...) {
    // Logging never fails a caller.
  }
  va_end(args);
}
