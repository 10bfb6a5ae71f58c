// The outcome of an operation below the lookup service: success, or a code
// saying what kind of failure, the context in which it happened (the sentence
// the library logs), and the operating system's errno or SQLite's result code
// when one caused it. Callers branch on code() and the kept numbers, never on
// the text, which is for people and may change.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "host/Export.h"

class GUIDLOOKUPS_EXPORT Status {
 public:
  enum class Code : uint8_t {
    kOk = 0,
    kNotFound,         // nothing there: no file, no table, no such row
    kIOError,          // the file system refused (errno kept)
    kDatabase,         // SQLite failed (its result code kept)
    kCorruption,       // a file is there but is not what it must be
    kNetwork,          // a transfer failed
    kRefused,          // a guard or a check refused the input
    kCancelled,        // stopped on request
    kInvalidArgument,  // the caller's input is unusable
  };

  // Success.
  Status() = default;
  Status(Code code, std::string context, int sysError = 0, int sqliteCode = 0)
      : code_(code), sysError_(sysError), sqliteCode_(sqliteCode), context_(std::move(context)) {}

  static Status OK() { return Status(); }
  static Status NotFound(std::string context) {
    return Status(Code::kNotFound, std::move(context));
  }
  static Status IOError(std::string context, int sysError) {
    return Status(Code::kIOError, std::move(context), sysError);
  }
  static Status Database(std::string context, int sqliteCode) {
    return Status(Code::kDatabase, std::move(context), 0, sqliteCode);
  }
  static Status Corruption(std::string context) {
    return Status(Code::kCorruption, std::move(context));
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // errno of the failed system call, or 0.
  int sysError() const { return sysError_; }
  // SQLite's (extended) result code, or 0.
  int sqliteCode() const { return sqliteCode_; }
  // The sentence for people; "" on success.
  const std::string& context() const { return context_; }

 private:
  Code code_ = Code::kOk;
  int sysError_ = 0;
  int sqliteCode_ = 0;
  std::string context_;
};
