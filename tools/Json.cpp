#include "tools/Json.h"

#include <cstdio>

namespace guidlookup {

namespace {

// The length of the valid UTF-8 sequence at text[i], 0 when there is none
// (a stray continuation byte, a truncated sequence, an overlong form, a
// surrogate or a code point beyond U+10FFFF).
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char c = byte(i);
  size_t length;
  unsigned int min, code;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, min = 0x80, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, min = 0x800, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

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
      if (size_t length = Utf8SequenceLength(text, i); length > 0) {
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

std::string JsonString(const std::string& text) { return "\"" + JsonEscape(text) + "\""; }

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + values[i];
  return out + "]";
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
