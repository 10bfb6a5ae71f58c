#include "tools/Json.h"

#include <cstdio>

#include "host/Utf8.h"

namespace guidlookup {

namespace {

// The text of a JSON string literal, without the quotes.
std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c >= 0x20 && c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    if (c >= 0x80) {
      if (size_t length = hostutf8::SequenceLength(text, i); length > 0) {
        out.append(text, i, length);
        i += length - 1;
        continue;
      }
    }
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
    out += buffer;
  }
  return out;
}

}  // namespace

std::string JsonString(const std::string& text) { return "\"" + JsonEscape(text) + "\""; }

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i];
  return out + "]";
}

std::string JsonStrings(const std::vector<std::string>& texts) {
  std::vector<std::string> values;
  for (const std::string& text : texts) values.push_back(JsonString(text));
  return JsonArray(values);
}

std::string JsonArrayLines(const std::vector<std::string>& values, const std::string& indent) {
  if (values.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i ? ",\n  " : "\n  ") + indent + values[i];
  return out + "\n" + indent + "]";
}

JsonObject& JsonObject::addRaw(const std::string& name, const std::string& json) {
  if (!body_.empty()) body_ += ", ";
  body_ += JsonString(name) + ": " + json;
  return *this;
}
JsonObject& JsonObject::add(const std::string& name, const std::string& value) {
  return addRaw(name, JsonString(value));
}
JsonObject& JsonObject::add(const std::string& name, const char* value) {
  return addRaw(name, JsonString(value));
}
JsonObject& JsonObject::addBool(const std::string& name, bool value) {
  return addRaw(name, value ? "true" : "false");
}
JsonObject& JsonObject::addNumber(const std::string& name, long long value) {
  return addRaw(name, std::to_string(value));
}
JsonObject& JsonObject::addNumber(const std::string& name, unsigned long long value) {
  return addRaw(name, std::to_string(value));
}
JsonObject& JsonObject::addNumber(const std::string& name, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return addRaw(name, buffer);
}
JsonObject& JsonObject::addNull(const std::string& name) { return addRaw(name, "null"); }

}  // namespace guidlookup
