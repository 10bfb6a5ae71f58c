// guidlookup, run as an operator runs it: a separate process on real files,
// with its own home folder, settings, log file and lock folder per test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

extern char** environ;

namespace tooltest {

using testsupport::ReadAllRows;
using testsupport::ReadFile;
using testsupport::Row;
using testsupport::WriteFile;

inline const char kTool[] = GUIDLOOKUPS_BINARY_DIR "/tools/guidlookup";

// Rows of one Exchange mailbox and one Lotus Notes person. The GUIDs hold no
// letters, so that shared mode (which upper-cases them) and private mode
// (which reads them as stored) print the same text. The rows are not in
// status order: the output must be.
inline const char kDirectory[] =
    "# status\tGUID\tname\n"
    "8\t{12345678-1234-1234-1234-123456789012}\tBerg, Ann\n"
    "2\t{12345678-1234-1234-1234-123456789012}\tAnn.Proxy@contoso.com\n"
    "1\t{12345678-1234-1234-1234-123456789012}\tAnn@Contoso.com\n"
    "\n"
    "128\t11112222333344445555666677778888\tCN=Bo Lind/O=Contoso\n"
    "288\t11112222333344445555666677778888\tBLind\n";
inline const char kAnnGuid[] = "{12345678-1234-1234-1234-123456789012}";
inline const char kAnnFirstGuid[] = "{12345678X1234X1234X1234X123456789012}";
// What resolve prints for Ann: the first record carries its GUID with X for
// the dashes, the others as stored.
inline const std::string kAnnRecords =
    std::string("ann@contoso.com: 3 records\n") + "  1\tann@contoso.com\t" + kAnnFirstGuid + "\n" +
    "  2\tann.proxy@contoso.com\t" + kAnnGuid + "\n" + "  8\tberg, ann\t" + kAnnGuid + "\n";

// Entries u0@corp.test ... of the test directory, one address each.
inline std::string Mailboxes(int count) {
  std::string ldif;
  for (int i = 0; i < count; ++i)
    ldif += "dn: cn=u" + std::to_string(i) +
            ",dc=corp,dc=test\nobjectClass: inetOrgPerson\nobjectClass: testMailbox\ncn: u\nsn: "
            "u\nmail: u" +
            std::to_string(i) + "@corp.test\n\n";
  return ldif;
}

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Every folder and file under `root` with the contents, size and change time
// of each file, so that two snapshots differ when anything was created,
// removed or written. Names that `skip` accepts are left out.
inline std::map<std::string, std::string> Snapshot(
    const std::string& root, bool (*skip)(const std::string& name) = nullptr) {
  std::map<std::string, std::string> tree;
  if (!FileExists(root)) return tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (skip && skip(name)) continue;
    struct stat st {};
    stat(entry.path().c_str(), &st);
    std::string state = entry.is_directory() ? "folder" : ReadFile(entry.path().string());
    state += "|" + std::to_string(st.st_size) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
             std::to_string(st.st_mtim.tv_nsec);
    tree[entry.path().string()] = state;
  }
  return tree;
}

// The files a run's own output goes to (see Start).
inline bool IsRunOutput(const std::string& name) {
  return name.rfind("out.", 0) == 0 || name.rfind("err.", 0) == 0;
}

// The standard output of the shell command; `status` gets its wait status.
inline std::string Capture(const std::string& command, int* status = nullptr) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string result;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.append(buffer, n);
  const int ended = pclose(pipe);
  if (status) *status = ended;
  return result;
}

// Waits up to `tries` times 10 ms for the child; its wait status, or -1 while
// it still runs.
inline int WaitWithin(pid_t pid, int tries) {
  int status = 0;
  for (int i = 0; i < tries; ++i, usleep(10 * 1000))
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
  return -1;
}

class GuidlookupToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FileExists(kTool)) << kTool << " is not built (cmake --build --target guidlookup)";
    home_ = dir_.file("home");
    cache_ = home_ + "/JobResults/GUIDCacheDir";
    database_ = cache_ + "/GUIDDB.DAT";
    settingsFile_ = home_ + "/settings/Instance001.ini";
  }

  // A tool process started by Start(), whose output goes to two files.
  struct Started {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
  };

  // Starts the tool with `args`; the environment is the test's own minus
  // every GUIDLOOKUPS_ variable, plus a private lock folder and `env` (which
  // replaces variables of the same name). `maxFileSize` limits the size of
  // every file it writes, as a full disk would. `stdoutPath`, when given,
  // receives standard output instead of the run's own file ("/dev/full").
  // `stdinFd`, when not -1, is the run's standard input instead of /dev/null.
  Started Start(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = {},
                rlim_t maxFileSize = RLIM_INFINITY, const std::string& stdoutPath = "",
                int stdinFd = -1) {
    Started started;
    started.outPath = dir_.file("out." + std::to_string(runs_));
    started.errPath = dir_.file("err." + std::to_string(runs_));
    ++runs_;
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      if (name.rfind("GUIDLOOKUPS_", 0) != 0 && env.count(name) == 0) environment.push_back(entry);
    }
    environment.push_back("GUIDLOOKUPS_LOCK_DIR=" + dir_.path());
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvText = {kTool};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    started.pid = testsupport::ForkChild([&]() {
      int in = stdinFd >= 0 ? stdinFd : open("/dev/null", O_RDONLY);
      int out = open(stdoutPath.empty() ? started.outPath.c_str() : stdoutPath.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(started.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) return 126;
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      if (maxFileSize != RLIM_INFINITY) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{maxFileSize, maxFileSize};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 125;
      }
      execve(kTool, argv.data(), envp.data());
      return 127;
    });
    return started;
  }
  // Start on this test's home folder, reading `stdinFd`.
  Started StartHome(std::vector<std::string> args, int stdinFd = -1,
                    rlim_t maxFileSize = RLIM_INFINITY) {
    args.insert(args.begin(), {"--home", home_});
    return Start(args, {}, maxFileSize, "", stdinFd);
  }
  static ToolRun Finish(const Started& started) {
    ToolRun run;
    run.exitCode = testsupport::WaitChild(started.pid);
    run.out = ReadFile(started.outPath);
    run.err = ReadFile(started.errPath);
    return run;
  }
  ToolRun Run(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {}) {
    return Finish(Start(args, env));
  }
  // Runs the tool on this test's home folder.
  ToolRun RunHome(std::vector<std::string> args,
                  const std::map<std::string, std::string>& env = {}) {
    args.insert(args.begin(), {"--home", home_});
    return Run(args, env);
  }
  // RunHome, expecting `exitCode` and `says` in standard output.
  ToolRun Expect(int exitCode, const std::string& says, std::vector<std::string> args,
                 const std::map<std::string, std::string>& env = {}) {
    ToolRun run = RunHome(std::move(args), env);
    EXPECT_EQ(run.exitCode, exitCode) << Show(run);
    EXPECT_NE(run.out.find(says), std::string::npos) << Show(run);
    return run;
  }
  // RunHome, expecting `exitCode`.
  ToolRun ExpectExit(int exitCode, std::vector<std::string> args,
                     const std::map<std::string, std::string>& env = {}) {
    return Expect(exitCode, "", std::move(args), env);
  }
  // RunHome with the file `input` as standard input.
  ToolRun RunHomeReading(std::vector<std::string> args, const std::string& input) {
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(in, 0) << input;
    ToolRun run = Finish(StartHome(std::move(args), in));
    close(in);
    return run;
  }

  // Writes kDirectory to a file and returns its path.
  std::string DirectoryFile() {
    WriteFile(dir_.file("directory.tsv"), kDirectory);
    return dir_.file("directory.tsv");
  }
  // Imports kDirectory and checks that it worked; then records a refresh of
  // job 42 as an agent's would have (an import itself is not a refresh).
  void ImportDirectory() {
    ToolRun run = RunHome({"import", DirectoryFile()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    WriteSettings("[EventManager]\nnLastGuidNameTableRefreshTime=" + std::to_string(time(nullptr)) +
                  "\n");
    WriteFile(cache_ + "/GUIDDB.JOB", "42");
  }
  // Writes `name`: `rows` addresses "<letter><i>@contoso.com" of status 1,
  // each under its own GUID "{<LETTER><i>}".
  std::string WriteGeneratedDirectory(const std::string& name, char letter, int rows) {
    const std::string guid(1, static_cast<char>(std::toupper(letter)));
    std::string text;
    for (int i = 0; i < rows; ++i)
      text +=
          "1\t{" + guid + std::to_string(i) + "}\t" + letter + std::to_string(i) + "@contoso.com\n";
    WriteFile(dir_.file(name), text);
    return dir_.file(name);
  }

  // The table and the settings as they are now, to compare with what a
  // failed import leaves.
  struct Kept {
    std::string table;
    std::string settings;
  };
  Kept Keep() const { return {ReadFile(database_), ReadFile(settingsFile_)}; }
  // The table and the settings byte for byte as `kept`, and no file of a
  // rebuild in the cache folder.
  void ExpectUnchanged(const Kept& kept) const {
    EXPECT_EQ(ReadFile(database_), kept.table);
    EXPECT_EQ(ReadFile(settingsFile_), kept.settings);
    for (const auto& entry : std::filesystem::directory_iterator(cache_))
      EXPECT_EQ(entry.path().filename().string().find("rebuild"), std::string::npos);
  }

  // The agent's settings file inside its home folder, which --home finds,
  // with `extra` after its dHOME.
  void WriteSettings(const std::string& extra) {
    std::filesystem::create_directories(home_ + "/settings");
    WriteFile(settingsFile_, "[vTaskHost]\ndHOME=" + home_ + "\n" + extra);
  }

  // Python's reading of JSON output: the expression `expr` over the document
  // (bound to d; with `lines`, the list of the documents of each line), as
  // json.dumps gives it, or "INVALID: ..." when the text is not UTF-8 JSON.
  std::string Json(const std::string& text, const std::string& expr, bool lines = false) {
    WriteFile(dir_.file("query.py"),
              "import json, sys\n"
              "try:\n"
              "    text = open(sys.argv[1], encoding='utf-8').read()\n"
              "    d = [json.loads(l) for l in text.splitlines()] if sys.argv[3] == '1' "
              "else json.loads(text)\n"
              "except Exception as e:\n"
              "    print('INVALID: %s' % e)\n"
              "    sys.exit(0)\n"
              "print(json.dumps(eval(open(sys.argv[2]).read()), sort_keys=True))\n");
    WriteFile(dir_.file("query.json"), text);
    WriteFile(dir_.file("query.expr"), expr);
    std::string result =
        Capture("python3 " + dir_.file("query.py") + " " + dir_.file("query.json") + " " +
                dir_.file("query.expr") + (lines ? " 1" : " 0"));
    if (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
  }

  // Output and error of a run, for failure messages.
  static std::string Show(const ToolRun& run) {
    return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out + "--- stderr\n" +
           run.err;
  }

  testsupport::TempDir dir_;
  std::string home_;
  std::string cache_;
  std::string database_;
  std::string settingsFile_;
  int runs_ = 0;
};

}  // namespace tooltest
