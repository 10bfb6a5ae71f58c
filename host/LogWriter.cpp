#include "host/LogWriter.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/Files.h"
#include "host/HostConfig.h"

// Starts empty (constant-initialised, so it is usable before any dynamic
// initialiser of the library has run); GetLogWriter() installs the default
// writer at its first use unless someone has set a writer (or none) before.
std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

namespace {

// Set once a writer has been installed, by SetLogWriter() or by the first
// GetLogWriter(); an explicit SetLogWriter(nullptr) then silences the library
// instead of bringing the default back.
std::atomic<bool> g_writerInstalled{false};

// The file named by GUIDLOOKUPS_LOG_FILE opened for appending, or -1 for
// standard error (unset, or it cannot be opened: said once on standard
// error, so that the file's silence has a reason).
int OpenFromEnvironment() {
  const std::string setting = hostconfig::Get(hostconfig::Knob::kLogFile);
  const char* file = setting.c_str();
  if (!*file) return -1;
  int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::string note = std::string("guidlookups: cannot open log file '") + file +
                       "': " + hostfs::ErrnoText(errno) + "; logging to standard error\n";
    hostfs::WriteAll(STDERR_FILENO, note.data(), note.size());
  }
  return fd;
}

// Appends each line with a single write(2) on an O_APPEND descriptor: the
// kernel places every such write at the end of the file as one piece, so
// lines of concurrent threads and processes never interleave and no lock is
// needed here.
//
// Retarget() points the writer at the file the environment names now without
// ever closing the descriptor number that writers read: the new file is
// dup3'ed onto it. A write in flight keeps the file it started on, the next
// one goes to the new file, and a descriptor number can never be closed and
// reused by an unrelated file under a writer's hands.
class DefaultLogWriter : public CLogWriterInterface {
 public:
  DefaultLogWriter() : level_(hxlog::LevelFromEnvironment()), fd_(OpenFromEnvironment()) {}
  ~DefaultLogWriter() override {
    int fd = fd_.load();
    if (fd >= 0) close(fd);
  }
  DefaultLogWriter(const DefaultLogWriter&) = delete;
  DefaultLogWriter& operator=(const DefaultLogWriter&) = delete;

  void Retarget() {
    std::lock_guard<std::mutex> lock(retargetMutex_);
    level_.store(hxlog::LevelFromEnvironment(), std::memory_order_relaxed);
    const int current = fd_.load(std::memory_order_acquire);
    const int next = OpenFromEnvironment();
    if (current < 0) {
      fd_.store(next, std::memory_order_release);
      return;
    }
    // Back to standard error: our number becomes a copy of it. A failed dup3
    // keeps the old target, which is better than no log at all.
    dup3(next >= 0 ? next : STDERR_FILENO, current, O_CLOEXEC);
    if (next >= 0) close(next);
  }

  void WriteLine(int level, const char* tag, int line, const std::string& message) override {
    try {
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      struct tm local;
      localtime_r(&now.tv_sec, &local);
      char stamp[64];
      size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
      snprintf(stamp + n, sizeof stamp - n, ".%03ld", now.tv_nsec / 1000000);

      char head[160];
      snprintf(head, sizeof head, "%s pid=%ld tid=%ld L%d [", stamp, static_cast<long>(getpid()),
               static_cast<long>(syscall(SYS_gettid)), level);
      const std::string out =
          std::string(head) + (tag ? tag : "") + ':' + std::to_string(line) + "] " + message + '\n';
      const int fd = fd_.load(std::memory_order_acquire);
      // One write normally takes the whole line; the retries only matter for
      // a signal or a pipe that takes part of a very long line.
      hostfs::WriteAll(fd >= 0 ? fd : STDERR_FILENO, out.data(), out.size());
    } catch (...) {
      // A log line that cannot be built is dropped; logging never fails a caller.
    }
  }

  int GetLevel() override { return level_.load(std::memory_order_relaxed); }

 private:
  std::atomic<int> level_;
  // Set once from -1 to a descriptor, then only ever dup3'ed onto.
  std::atomic<int> fd_;
  std::mutex retargetMutex_;  // serialises Retarget()
};

}  // namespace

CLogWriterInterface::~CLogWriterInterface() = default;

int hxlog::LevelFromEnvironment() {
  return hostconfig::GetNumber(hostconfig::Knob::kLogLevel, -1000, 1000, 1);
}

void CLogWriterInterface::Write(int level, const char* tag, int line, int /*reserved1*/,
                                int /*reserved2*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  try {
    WriteLine(level, tag, line, hxlog::VFormat(format, args));
  } catch (...) {
    // A line that cannot be built is dropped, and a writer that throws must
    // not take its caller down with it.
  }
  va_end(args);
}

namespace {

// Every writer ever installed, kept alive until the process ends. A line in
// flight on a replaced writer then never outlives it, and so the hot path
// (CurrentLogWriter) can read a plain pointer instead of copying a
// shared_ptr, whose atomic load takes a lock and whose reference count every
// thread would write. Writers are replaced rarely (tests, embedders at
// start-up), so the list stays short. Never destroyed: log lines written by
// other static destructors at exit still find their writer.
std::mutex& InstallMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::vector<std::shared_ptr<CLogWriterInterface>>& KeepAlive() {
  static auto* writers = new std::vector<std::shared_ptr<CLogWriterInterface>>();
  return *writers;
}

std::atomic<CLogWriterInterface*> g_currentWriter{nullptr};

// The process's one default writer, made at its first use and re-targeted by
// ResetDefaultLogWriter() rather than replaced, so that resets neither grow
// the keep-alive list nor hold on to descriptors. REQUIRES: InstallMutex()
// held.
std::shared_ptr<DefaultLogWriter>& ProcessDefaultWriter(bool* made = nullptr) {
  static auto* writer = new std::shared_ptr<DefaultLogWriter>();
  if (made) *made = !*writer;
  if (!*writer) *writer = std::make_shared<DefaultLogWriter>();
  return *writer;
}

// REQUIRES: InstallMutex() held.
void Install(std::shared_ptr<CLogWriterInterface> writer) {
  auto& kept = KeepAlive();
  if (writer && std::find(kept.begin(), kept.end(), writer) == kept.end()) kept.push_back(writer);
  g_currentWriter.store(writer.get(), std::memory_order_release);
  std::atomic_store(&g_ptrLogWriter, std::move(writer));
  g_writerInstalled.store(true, std::memory_order_release);
}

}  // namespace

std::shared_ptr<CLogWriterInterface> GetLogWriter() {
  std::shared_ptr<CLogWriterInterface> writer = std::atomic_load(&g_ptrLogWriter);
  if (writer || g_writerInstalled.load(std::memory_order_acquire)) return writer;
  // First use: install the default writer, unless another thread (or an
  // explicit SetLogWriter) got there first.
  try {
    std::lock_guard<std::mutex> lock(InstallMutex());
    if (!g_writerInstalled.load(std::memory_order_acquire)) Install(ProcessDefaultWriter());
  } catch (...) {
    return nullptr;
  }
  return std::atomic_load(&g_ptrLogWriter);
}

CLogWriterInterface* CurrentLogWriter() {
  CLogWriterInterface* writer = g_currentWriter.load(std::memory_order_acquire);
  if (writer || g_writerInstalled.load(std::memory_order_acquire)) return writer;
  GetLogWriter();
  return g_currentWriter.load(std::memory_order_acquire);
}

void SetLogWriter(std::shared_ptr<CLogWriterInterface> writer) {
  try {
    std::lock_guard<std::mutex> lock(InstallMutex());
    Install(std::move(writer));
  } catch (...) {
    // Out of memory for the keep-alive list: keep the current writer.
  }
}

void ResetDefaultLogWriter() {
  try {
    std::lock_guard<std::mutex> lock(InstallMutex());
    bool made = false;
    auto& writer = ProcessDefaultWriter(&made);
    if (!made) writer->Retarget();
    Install(writer);
  } catch (...) {
    // Keep the current writer.
  }
}

std::shared_ptr<CLogWriterInterface> MakeDefaultLogWriter() {
  return std::make_shared<DefaultLogWriter>();
}

namespace hxlog {

// Formats into a stack buffer first; only a message that does not fit is
// measured by that first vsnprintf and formatted again into a string of the
// exact size, so no length is ever cut.
std::string VFormat(const char* format, va_list args) {
  if (!format) return std::string();
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
  std::vector<char> big(static_cast<size_t>(needed) + 1);
  va_copy(copy, args);
  vsnprintf(big.data(), big.size(), format, copy);
  va_end(copy);
  return std::string(big.data(), static_cast<size_t>(needed));
}

}  // namespace hxlog
