// guidlookup, run as an operator runs it: a separate process on real files,
// with its own home folder, settings, log file and lock folder per test.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace tooltest {

using testsupport::ReadAllRows;
using testsupport::ReadFile;
using testsupport::Row;
using testsupport::WriteFile;

extern const char kTool[];

// Rows of one Exchange mailbox and one Lotus Notes person. The GUIDs hold no
// letters, so that shared mode (which upper-cases them) and private mode
// (which reads them as stored) print the same text. The rows are not in
// status order: the output must be.
extern const char kDirectory[];
extern const char kAnnGuid[];
extern const char kAnnFirstGuid[];
// What resolve prints for Ann: the first record carries its GUID with X for
// the dashes, the others as stored.
extern const std::string kAnnRecords;

// Entries u0@corp.test ... of the test directory, one address each.
std::string Mailboxes(int count);

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::vector<std::string> Lines(const std::string& text);
bool FileExists(const std::string& path);

// Every folder and file under `root` with the contents, size and change time
// of each file, so that two snapshots differ when anything was created,
// removed or written. Names that `skip` accepts are left out.
std::map<std::string, std::string> Snapshot(const std::string& root,
                                            bool (*skip)(const std::string& name) = nullptr);
// The files a run's own output goes to (see Start).
bool IsRunOutput(const std::string& name);
// The standard output of the shell command; `status` gets its wait status.
std::string Capture(const std::string& command, int* status = nullptr);
// Waits up to `tries` times 10 ms for the child; its wait status, or -1 while
// it still runs.
int WaitWithin(pid_t pid, int tries);

class GuidlookupToolTest : public ::testing::Test {
 protected:
  void SetUp() override;

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
                int stdinFd = -1);
  // Start on this test's home folder, reading `stdinFd`.
  Started StartHome(std::vector<std::string> args, int stdinFd = -1,
                    rlim_t maxFileSize = RLIM_INFINITY);
  static ToolRun Finish(const Started& started);
  ToolRun Run(const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env = {});
  // Runs the tool on this test's home folder.
  ToolRun RunHome(std::vector<std::string> args,
                  const std::map<std::string, std::string>& env = {});
  // RunHome, expecting `exitCode` and `says` in standard output.
  ToolRun Expect(int exitCode, const std::string& says, std::vector<std::string> args,
                 const std::map<std::string, std::string>& env = {});
  // RunHome with the file `input` as standard input.
  ToolRun RunHomeReading(std::vector<std::string> args, const std::string& input);

  // Writes kDirectory to a file and returns its path.
  std::string DirectoryFile();
  // Imports kDirectory and checks that it worked; then records a refresh of
  // job 42 as an agent's would have (an import itself is not a refresh).
  void ImportDirectory();
  // Writes `name`: `rows` addresses "<letter><i>@contoso.com" of status 1,
  // each under its own GUID "{<LETTER><i>}".
  std::string WriteGeneratedDirectory(const std::string& name, char letter, int rows);

  // The table and the settings as they are now, to compare with what a
  // failed import leaves.
  struct Kept {
    std::string table;
    std::string settings;
  };
  Kept Keep() const;
  // The table and the settings byte for byte as `kept`, and no file of a
  // rebuild in the cache folder.
  void ExpectUnchanged(const Kept& kept) const;

  // The agent's settings file inside its home folder, which --home finds,
  // with `extra` after its dHOME.
  void WriteSettings(const std::string& extra);

  // Python's reading of JSON output: the expression `expr` over the document
  // (bound to d; with `lines`, the list of the documents of each line), as
  // json.dumps gives it, or "INVALID: ..." when the text is not UTF-8 JSON.
  std::string Json(const std::string& text, const std::string& expr, bool lines = false);

  // Output and error of a run, for failure messages.
  static std::string Show(const ToolRun& run);

  testsupport::TempDir dir_;
  std::string home_;
  std::string cache_;
  std::string database_;
  std::string settingsFile_;
  int runs_ = 0;
};

}  // namespace tooltest
