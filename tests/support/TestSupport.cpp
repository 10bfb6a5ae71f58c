#include "support/TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/guidlookups-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  hadValue_ = old != nullptr;
  if (old) oldValue_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (hadValue_)
    setenv(name_.c_str(), oldValue_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

ScopedConfig::ScopedConfig(std::initializer_list<std::pair<Knob, std::string>> values) {
  for (const auto& [knob, value] : values) {
    previous_.emplace_back(knob, hostconfig::InProcess(knob));
    if (!hostconfig::Set(knob, value)) throw std::bad_alloc();
  }
}

ScopedConfig::~ScopedConfig() {
  for (auto it = previous_.rbegin(); it != previous_.rend(); ++it) {
    if (it->second)
      hostconfig::Set(it->first, *it->second);
    else
      hostconfig::Clear(it->first);
  }
}

void CapturingLogWriter::WriteLine(int level, const char* tag, int line,
                                   const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({level, tag ? tag : "", line, message});
}

std::vector<LogLine> CapturingLogWriter::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

::testing::AssertionResult CapturingLogWriter::has(const std::string& message) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
      if (l.message == message) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "no line \"" << message << "\" in the log:\n" << dump();
}

::testing::AssertionResult CapturingLogWriter::has(int level, const std::string& tag,
                                                   const std::string& message) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
      if (l.level == level && l.tag == tag && l.message == message)
        return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "no line \"" << message << "\" at level " << level
                                       << " under \"" << tag << "\" in the log:\n"
                                       << dump();
}

int CapturingLogWriter::count(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& l : lines_)
    if (l.message.find(fragment) != std::string::npos) ++n;
  return n;
}

std::string CapturingLogWriter::dump() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  for (const auto& l : lines_) out << "L" << l.level << " [" << l.tag << "] " << l.message << "\n";
  return out.str();
}

void CapturingLogWriter::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

ScopedLogCapture::ScopedLogCapture(int level)
    : writer_(std::make_shared<CapturingLogWriter>(level)), previous_(GetLogWriter()) {
  SetLogWriter(writer_);
}

ScopedLogCapture::~ScopedLogCapture() { SetLogWriter(previous_); }

namespace {

void Check(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
    throw std::runtime_error(std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "?"));
}

struct Db {
  sqlite3* db = nullptr;
  explicit Db(const std::string& file) {
    int rc = sqlite3_open(file.c_str(), &db);
    if (rc != SQLITE_OK) {
      std::string msg = db ? sqlite3_errmsg(db) : "open failed";
      sqlite3_close(db);
      throw std::runtime_error(msg);
    }
    sqlite3_busy_timeout(db, 30000);
  }
  ~Db() { sqlite3_close(db); }
  void exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string msg = err ? err : "";
    sqlite3_free(err);
    if (rc != SQLITE_OK) throw std::runtime_error(sql + ": " + msg);
  }
};

}  // namespace

void MakeGuidDb(const std::string& folder, const std::vector<Row>& rows) {
  Db db(folder + "/" GUIDDB_NAME);
  db.exec(
      "CREATE TABLE IF NOT EXISTS GUID (Name TEXT, GUID TEXT, Status INTEGER);"
      "CREATE INDEX IF NOT EXISTS NAME_index ON GUID(Name ASC);"
      "CREATE INDEX IF NOT EXISTS GUID_index ON GUID(GUID ASC);"
      "BEGIN;");
  sqlite3_stmt* st = nullptr;
  Check(db.db, sqlite3_prepare_v2(db.db, "INSERT INTO GUID VALUES (?,?,?)", -1, &st, nullptr),
        "prepare");
  for (const auto& r : rows) {
    sqlite3_bind_text(st, 1, std::get<0>(r).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, std::get<1>(r).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 3, std::get<2>(r));
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) {
      sqlite3_finalize(st);
      Check(db.db, rc, "insert");
    }
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  db.exec("COMMIT;");
}

void ExecSql(const std::string& file, const std::string& sql) {
  Db db(file);
  db.exec(sql);
}

std::vector<Row> QueryRows(const std::string& file, const std::string& sql) {
  Db db(file);
  sqlite3_stmt* st = nullptr;
  Check(db.db, sqlite3_prepare_v2(db.db, sql.c_str(), -1, &st, nullptr), "prepare");
  std::vector<Row> rows;
  while (sqlite3_step(st) == SQLITE_ROW) {
    auto text = [&](int i) {
      const unsigned char* t = sqlite3_column_text(st, i);
      return std::string(t ? reinterpret_cast<const char*>(t) : "");
    };
    rows.emplace_back(text(0), text(1), sqlite3_column_int(st, 2));
  }
  sqlite3_finalize(st);
  return rows;
}

std::vector<Row> ReadAllRows(const std::string& file) {
  return QueryRows(file, "SELECT Name, GUID, Status FROM GUID ORDER BY Name, GUID, Status");
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<int> DescriptorsOn(const std::string& path) {
  std::vector<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target == path) fds.push_back(std::stoi(entry.path().filename().string()));
  }
  return fds;
}

int OpenDescriptorCount() {
  int count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it)
    ++count;
  // The iterator's own descriptor on the folder was counted too.
  return count - 1;
}

bool IsRoot() { return geteuid() == 0; }

uid_t NobodyUid() {
  const passwd* pw = getpwnam("nobody");
  return pw ? pw->pw_uid : 65534;
}

gid_t NobodyGid() {
  const group* gr = getgrnam("nogroup");
  return gr ? gr->gr_gid : 65534;
}

std::vector<std::string> AsNobody(std::vector<std::string> argv) {
  std::vector<std::string> full = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                   "--clear-groups"};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

ChildProgram::ChildProgram(const std::vector<std::string>& argv) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_ = out[0];
}

ChildProgram::~ChildProgram() {
  Finish();
  if (out_ >= 0) close(out_);
}

std::string ChildProgram::ReadLine() {
  std::string line;
  char c;
  while (read(out_, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

int ChildProgram::Finish() {
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
  if (pid_ > 0) {
    status_ = WaitChild(pid_);
    pid_ = -1;
  }
  return status_;
}

pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 1;
    }
    _exit(rc);
  }
  return pid;
}

pid_t ForkChildAsNobody(const std::function<int()>& body) {
  const uid_t uid = NobodyUid();
  const gid_t gid = NobodyGid();
  return ForkChild([&] {
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
      return 90;
    return body();
  });
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void StopChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

pid_t StartServerChild(std::vector<std::string> args, const std::string& output,
                       const std::function<bool()>& ready, std::string& failure) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    failure = "cannot create " + output;
    return -1;
  }
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  if (pid < 0) {
    failure = "fork failed";
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return pid;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      failure = ReadFile(output);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  StopChild(pid);
  failure = "no answer in 20 s";
  return -1;
}

}  // namespace testsupport
