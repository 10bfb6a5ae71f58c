// Error value of host file, folder and network operations.
//
// Thread-safety: a CLmError is a value; copies share their detail, so one
// error (and its copies) must not be changed by two threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Export.h"

// Where an error passed through: file, function signature, line.
struct GUIDLOOKUPS_EXPORT FXCodeLocation {
  const char* file = "";
  const char* function = "";
  int32_t line = 0;
};

class GUIDLOOKUPS_EXPORT CLmError {
 public:
  // Success: code 0, no detail.
  CLmError() = default;
  // A negative code is an error; text says what failed, for AsString().
  CLmError(int32_t code, std::string text);

  static CLmError Success() { return CLmError(); }

  // The sign bit of the code: negative codes are errors, 0 and positive are not.
  bool IsError() const { return code_ < 0; }
  int32_t Code() const { return code_; }

  // Adds a code location to the error's trail and returns *this. Copies share
  // the trail.
  CLmError& Push(const FXCodeLocation& where);

  // "Success" for code 0; otherwise the text, the code and every pushed
  // location, e.g. "connection refused (code -3) at HXGuidLookups:Initialize:42"
  // (several locations are separated by ", ", oldest first).
  std::string AsString() const;

  // The text given at construction ("" for success).
  std::string Text() const;
  // The pushed locations, oldest first. Push() copies the strings it is given;
  // the pointers returned here stay valid while this error or a copy lives.
  std::vector<FXCodeLocation> Locations() const;

 private:
  struct Detail;
  int32_t code_ = 0;
  std::shared_ptr<Detail> detail_;
};

// Common codes of the host layer. Every one is negative.
namespace hxerr {
constexpr int32_t kGeneric = -1;
constexpr int32_t kNotFound = -2;
constexpr int32_t kIo = -3;
constexpr int32_t kNoSpace = -4;
constexpr int32_t kNetwork = -5;
constexpr int32_t kTimeout = -6;
constexpr int32_t kHttp = -7;
constexpr int32_t kInvalid = -8;
}  // namespace hxerr
