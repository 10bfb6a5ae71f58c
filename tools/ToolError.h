// Exit statuses of guidlookup and the one-line error its commands throw.
#pragma once

#include <stdexcept>
#include <string>

namespace guidlookup {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;  // resolve: some key was not found
constexpr int kExitUsage = 2;     // bad command line or bad input file
constexpr int kExitFailure = 3;   // the library, the database, the settings or the output failed
constexpr int kExitCheckWarnings = 1;  // check: warnings, no error

// A failure the operator sees as one line on standard error ("guidlookup: "
// then the message) with its exit status. Thrown by the commands, caught by
// main().
//
// With --json the failure is also one JSON object {"error": "<message>"} on
// standard output, unless the command already put the message into the JSON
// document it printed (reportedInJson).
class ToolError : public std::runtime_error {
 public:
  ToolError(int exitCode, const std::string& message, bool reportedInJson = false)
      : std::runtime_error(message), exitCode_(exitCode), reportedInJson_(reportedInJson) {}
  int exitCode() const { return exitCode_; }
  bool reportedInJson() const { return reportedInJson_; }

 private:
  int exitCode_;
  bool reportedInJson_;
};

}  // namespace guidlookup
