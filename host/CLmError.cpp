#include "host/CLmError.h"

#include <utility>

// The detail is shared by every copy of an error, so a location pushed through
// one copy shows in all of them. Locations are stored as owned strings: a
// caller may push a location built from a temporary, and AsString() must not
// read freed memory later.
struct CLmError::Detail {
  struct Location {
    std::string file;
    std::string function;
    int32_t line;
  };
  std::string text;
  std::vector<Location> locations;
};

CLmError::CLmError(int32_t code, std::string text)
    : code_(code), detail_(std::make_shared<Detail>()) {
  detail_->text = std::move(text);
}

CLmError& CLmError::Push(const FXCodeLocation& where) {
  try {
    if (!detail_) detail_ = std::make_shared<Detail>();
    detail_->locations.push_back(
        {where.file ? where.file : "", where.function ? where.function : "", where.line});
  } catch (...) {
    // Out of memory: the error keeps its code and text, only the trail is short.
  }
  return *this;
}

std::string CLmError::AsString() const {
  if (code_ == 0) return "Success";
  std::string out = detail_ && !detail_->text.empty() ? detail_->text : "error";
  out += " (code " + std::to_string(code_) + ")";
  if (detail_) {
    const char* separator = " at ";
    for (const auto& where : detail_->locations) {
      out += separator;
      out += where.file + ":" + where.function + ":" + std::to_string(where.line);
      separator = ", ";
    }
  }
  return out;
}

std::string CLmError::Text() const { return detail_ ? detail_->text : std::string(); }

std::vector<FXCodeLocation> CLmError::Locations() const {
  std::vector<FXCodeLocation> out;
  if (!detail_) return out;
  for (const auto& where : detail_->locations)
    out.push_back({where.file.c_str(), where.function.c_str(), where.line});
  return out;
}
