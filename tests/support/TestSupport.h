// Helpers shared by the test suites.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "guiddb/GuidDB.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents at the end
// of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullptr, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool hadValue_;
  std::string oldValue_;
};

// Sets knobs of the platform layer in this process for the scope ("" turns
// one off whatever the environment holds); the values before come back at its
// end. A program the test execs sees only ScopedEnv's variables.
class ScopedConfig {
 public:
  using Knob = hostconfig::Knob;
  ScopedConfig(std::initializer_list<std::pair<Knob, std::string>> values);
  ScopedConfig(Knob knob, const std::string& value) : ScopedConfig({{knob, value}}) {}
  ~ScopedConfig();
  ScopedConfig(const ScopedConfig&) = delete;
  ScopedConfig& operator=(const ScopedConfig&) = delete;

 private:
  std::vector<std::pair<Knob, std::optional<std::string>>> previous_;
};

struct LogLine {
  int level;
  std::string tag;
  int line;
  std::string message;
};

// A log writer that keeps every line; installed for the scope of the object
// (the previous writer comes back at its end). Thread-safe.
class CapturingLogWriter : public CLogWriterInterface {
 public:
  explicit CapturingLogWriter(int level = 7) : level_(level) {}
  void WriteLine(int level, const char* tag, int line, const std::string& message) override;
  int GetLevel() override { return level_; }

  std::vector<LogLine> lines() const;
  // Whether some line has exactly this message (and, when given, level and
  // tag); a failure shows the whole log.
  ::testing::AssertionResult has(const std::string& message) const;
  ::testing::AssertionResult has(int level, const std::string& tag,
                                 const std::string& message) const;
  // Number of lines whose message contains `fragment`.
  int count(const std::string& fragment) const;
  // Every message, one per line, for failure output.
  std::string dump() const;
  void clear();

 private:
  int level_;
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(int level = 7);
  ~ScopedLogCapture();
  CapturingLogWriter& operator*() { return *writer_; }
  CapturingLogWriter* operator->() { return writer_.get(); }

 private:
  std::shared_ptr<CapturingLogWriter> writer_;
  std::shared_ptr<CLogWriterInterface> previous_;
};

// Rows as (name, guid, status).
using Row = std::tuple<std::string, std::string, int>;

// Creates "<folder>/GUIDDB.DAT" with the current schema and the rows stored
// exactly as given (no lower-casing), directly through SQLite.
void MakeGuidDb(const std::string& folder, const std::vector<Row>& rows);
// Runs SQL directly on a file (outside the library); throws std::runtime_error.
void ExecSql(const std::string& file, const std::string& sql);
// Every row of the GUID table ordered by Name, GUID, Status.
std::vector<Row> ReadAllRows(const std::string& file);
// The rows of any query whose columns are (text, text, integer).
std::vector<Row> QueryRows(const std::string& file, const std::string& sql);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// The descriptors of this process that are open on `path` (from /proc/self/fd).
std::vector<int> DescriptorsOn(const std::string& path);

// The number of descriptors this process has open (from /proc/self/fd).
int OpenDescriptorCount();

// True when the tests run as root (tests that need another user skip
// otherwise).
bool IsRoot();
// The user and group "nobody"/"nogroup" as numbers.
uid_t NobodyUid();
gid_t NobodyGid();
// `argv` run as nobody through setpriv (util-linux).
std::vector<std::string> AsNobody(std::vector<std::string> argv);

// A program in a child process (PATH searched), with pipes on its standard
// input and output. Closing its input is how a test tells it to end; the
// destructor does that and waits.
class ChildProgram {
 public:
  explicit ChildProgram(const std::vector<std::string>& argv);
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;
  // One line of its output without the '\n'; "" at end of output.
  std::string ReadLine();
  // Closes its input, waits, and returns its exit code (128 + signal).
  int Finish();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int status_ = -1;
};

// Forks; the child runs `body` and _exits with its result (1 if it throws).
pid_t ForkChild(const std::function<int()>& body);
// ForkChild, with the child running as nobody (REQUIRES: root); it exits
// with 90 when it cannot switch.
pid_t ForkChildAsNobody(const std::function<int()>& body);
// Waits for the child; returns its exit code, or 128 + signal.
int WaitChild(pid_t pid);
// Stops a server child: SIGTERM, up to five seconds for it to end, then
// SIGKILL. Sets `pid` to -1; does nothing when it is not positive.
void StopChild(pid_t& pid);
// Starts a server child: `args` (the program first) with its output and
// errors in the file `output`, killed when the test process dies. Waits up
// to 20 seconds for `ready`. Returns the pid, or -1 with `failure` set: the
// child's output when it ended, else why it could not start or answer (the
// child is then stopped).
pid_t StartServerChild(std::vector<std::string> args, const std::string& output,
                       const std::function<bool()>& ready, std::string& failure);

}  // namespace testsupport
