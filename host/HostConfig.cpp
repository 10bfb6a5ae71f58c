#include "host/HostConfig.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace hostconfig {

namespace {

constexpr const char* kVariables[] = {
    "GUIDLOOKUPS_SETTINGS_DIR",   "GUIDLOOKUPS_INSTANCE",     "GUIDLOOKUPS_LOCK_DIR",
    "GUIDLOOKUPS_LOG_FILE",       "GUIDLOOKUPS_LOG_LEVEL",    "GUIDLOOKUPS_LOG_DIR",
    "GUIDLOOKUPS_CONTROL_SERVER", "GUIDLOOKUPS_APPMGR_TABLE", "GUIDLOOKUPS_SQLITE_BUSY_TIMEOUT_MS",
};
constexpr size_t kKnobs = sizeof kVariables / sizeof kVariables[0];
static_assert(static_cast<size_t>(Knob::kSqliteBusyTimeoutMs) + 1 == kKnobs,
              "one variable per knob");

std::atomic<uint64_t> generation{0};

struct Values {
  // mutex protects values. It is held across fork(), so that a child never
  // inherits it locked by a thread that does not exist there.
  std::mutex mutex;
  std::optional<std::string> values[kKnobs];
};

// Never destroyed: the log writer and locks may read knobs while the process
// exits.
Values& Table() {
  static Values* table = [] {
    auto* made = new Values;
    pthread_atfork([] { Table().mutex.lock(); }, [] { Table().mutex.unlock(); },
                   [] { Table().mutex.unlock(); });
    return made;
  }();
  return *table;
}

const char* VariableOf(Knob knob) { return kVariables[static_cast<size_t>(knob)]; }

}  // namespace

std::string Get(Knob knob) {
  if (std::optional<std::string> set = InProcess(knob)) return *set;
  const char* value = std::getenv(VariableOf(knob));
  return value ? value : "";
}

int GetNumber(Knob knob, int low, int high, int fallback) noexcept {
  try {
    const std::string text = Get(knob);
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || value < low || value > high) return fallback;
    return static_cast<int>(value);
  } catch (...) {
    return fallback;
  }
}

std::optional<std::string> InProcess(Knob knob) {
  Values& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.values[static_cast<size_t>(knob)];
}

bool Set(Knob knob, const std::string& value) noexcept {
  try {
    // Copied before the lock, so that the lock is never held while memory is
    // allocated.
    std::optional<std::string> copy(value);
    Values& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.values[static_cast<size_t>(knob)].swap(copy);
    generation.fetch_add(1, std::memory_order_release);
    return true;
  } catch (...) {
    return false;
  }
}

void Clear(Knob knob) noexcept {
  std::optional<std::string> old;
  try {
    Values& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.values[static_cast<size_t>(knob)].swap(old);
    generation.fetch_add(1, std::memory_order_release);
  } catch (...) {
    // Only the table's creation can fail, and then nothing was set.
  }
}

uint64_t Generation() noexcept { return generation.load(std::memory_order_acquire); }

}  // namespace hostconfig
