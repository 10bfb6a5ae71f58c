// The JSON the commands print with --json, all of it written here so that
// every document spaces, orders and escapes alike: members in the order
// added, "name": value, ", " between members and items.
#pragma once

#include <string>
#include <vector>

namespace guidlookup {

// A JSON string literal, quotes included. Valid UTF-8 passes as it is; a
// byte that is not part of a valid UTF-8 sequence becomes \u00XX (XX its
// value), so that the output is always valid JSON and still shows which byte
// it was.
std::string JsonString(const std::string& text);

// One JSON object, built member by member in the order added.
class JsonObject {
 public:
  JsonObject& add(const std::string& name, const std::string& value);
  JsonObject& add(const std::string& name, const char* value);
  JsonObject& addBool(const std::string& name, bool value);
  JsonObject& addNumber(const std::string& name, long long value);
  JsonObject& addNumber(const std::string& name, unsigned long long value);
  // With three decimals.
  JsonObject& addNumber(const std::string& name, double value);
  JsonObject& addNull(const std::string& name);
  // `json` is a value already encoded (an object, an array).
  JsonObject& addRaw(const std::string& name, const std::string& json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};
// A JSON array of encoded values, on one line.
std::string JsonArray(const std::vector<std::string>& values);
// A JSON array of strings, on one line.
std::string JsonStrings(const std::vector<std::string>& texts);
// A JSON array of encoded values one a line, each indented by `indent` and
// two spaces, the closing bracket by `indent`; "[]" when there is none.
std::string JsonArrayLines(const std::vector<std::string>& values, const std::string& indent);

}  // namespace guidlookup
