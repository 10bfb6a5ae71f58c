#include "lookups/directory/DirectoryMapping.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "host/Utf8.h"

namespace {

// An attribute description without its options ("displayName;lang-de").
size_t BaseNameLength(const char* name, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (name[i] == ';') return i;
  return length;
}

bool SameAttribute(const std::string& attribute, const char* name, size_t length) {
  length = BaseNameLength(name, length);
  return attribute.size() == length && ::strncasecmp(attribute.data(), name, length) == 0;
}

bool IsAttributeName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
  return true;
}

// No NUL either, which SQLite's text would cut short.
bool IsUtf8Name(const std::string& text) {
  return text.find('\0') == std::string::npos && hostutf8::IsValid(text);
}

const char kHex[] = "0123456789ABCDEF";

// Microsoft's text form of a GUID: the first three fields are stored
// little-endian, the last two as they stand.
std::string MicrosoftGuidText(const std::string& bytes) {
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    unsigned char b = static_cast<unsigned char>(bytes[kOrder[i]]);
    text += kHex[b >> 4];
    text += kHex[b & 0xF];
  }
  return text + "}";
}

// A text GUID is one word of visible ASCII; it goes into the table upper-
// cased in braces, as the binary ones do.
bool TextGuid(const std::string& value, std::string& text) {
  if (value.empty() || value.size() > 128) return false;
  text = "{";
  for (char c : value) {
    if (c <= 0x20 || c >= 0x7F || c == '{' || c == '}') return false;
    text += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  text += '}';
  return true;
}

}  // namespace

SDirectoryMapping SDirectoryMapping::Exchange() {
  SDirectoryMapping m;
  m.guidAttributes = {{"objectGUID", true}, {"entryUUID", false}};
  m.rules = {{"proxyAddresses", "SMTP:", 1, true},
             {"mail", "", 1, true},
             {"proxyAddresses", "smtp:", 2, true},
             {"displayName", "", 8, false},
             {"legacyExchangeDN", "", 16, false}};
  return m;
}

bool SDirectoryMapping::AddRule(const std::string& text, std::string& error) {
  const size_t equals = text.rfind('=');
  const size_t slash = text.find('/');
  SDirectoryRule rule;
  rule.attribute = text.substr(0, std::min(equals, slash));
  if (equals != std::string::npos && slash < equals)
    rule.prefix = text.substr(slash + 1, equals - slash - 1);
  const std::string status = equals == std::string::npos ? "" : text.substr(equals + 1);
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(status.c_str(), &end, 10);
  if (!IsAttributeName(rule.attribute) || status.empty() || *end != '\0' || errno != 0 ||
      value < INT32_MIN || value > INT32_MAX) {
    error = "'" + text + "' is not a rule ATTRIBUTE=STATUS or ATTRIBUTE/PREFIX=STATUS";
    return false;
  }
  rule.status = static_cast<int32_t>(value);
  rule.address = rule.status == 1 || rule.status == 2;
  rules.push_back(rule);
  return true;
}

bool SDirectoryMapping::AddGuidAttribute(const std::string& text, std::string& error) {
  SGuidAttribute guid;
  const size_t colon = text.find(':');
  guid.attribute = text.substr(0, colon);
  guid.binary = colon != std::string::npos;
  if (!IsAttributeName(guid.attribute) ||
      (guid.binary && text.compare(colon, std::string::npos, ":binary") != 0)) {
    error = "'" + text + "' is not a GUID attribute ATTRIBUTE or ATTRIBUTE:binary";
    return false;
  }
  guidAttributes.push_back(guid);
  return true;
}

std::vector<std::string> SDirectoryMapping::Attributes() const {
  std::vector<std::string> names;
  auto add = [&names](const std::string& name) {
    for (const std::string& known : names)
      if (SameAttribute(known, name.data(), name.size())) return;
    names.push_back(name);
  };
  for (const SGuidAttribute& guid : guidAttributes) add(guid.attribute);
  for (const SDirectoryRule& rule : rules) add(rule.attribute);
  return names;
}

DirectoryEntryMapper::DirectoryEntryMapper(const SDirectoryMapping& mapping) : mapping_(mapping) {
  for (const std::string& name : mapping.Attributes()) slots_.push_back({name, {}});
  for (const SGuidAttribute& guid : mapping.guidAttributes)
    guidSlots_.push_back(Slot(guid.attribute.data(), guid.attribute.size()));
  for (const SDirectoryRule& rule : mapping.rules)
    ruleSlots_.push_back(Slot(rule.attribute.data(), rule.attribute.size()));
}

int DirectoryEntryMapper::Slot(const char* name, size_t length) const {
  for (size_t i = 0; i < slots_.size(); ++i)
    if (SameAttribute(slots_[i].attribute, name, length)) return static_cast<int>(i);
  return -1;
}

void DirectoryEntryMapper::Begin() {
  for (AttributeValues& slot : slots_) slot.values.clear();
}

void DirectoryEntryMapper::Add(int slot, const char* value, size_t length, unsigned long where) {
  slots_[slot].values.push_back({std::string(value, length), where});
}

Status DirectoryEntryMapper::Finish(std::vector<GUIDNameInfo>& rows, SDirectoryCounts& counts,
                                    unsigned long& where) {
  ++counts.entries;
  std::string guid;
  for (size_t i = 0; i < guidSlots_.size() && guid.empty(); ++i) {
    const std::vector<Value>& values = slots_[guidSlots_[i]].values;
    if (values.empty()) continue;
    const SGuidAttribute& attribute = mapping_.guidAttributes[i];
    const Value& value = values.front();
    where = value.where;
    if (attribute.binary) {
      if (value.text.size() != 16)
        return Status::Corruption(attribute.attribute + " is " + std::to_string(value.text.size()) +
                                  " bytes long, not the 16 of a GUID");
      guid = MicrosoftGuidText(value.text);
    } else if (!TextGuid(value.text, guid)) {
      return Status::Corruption(attribute.attribute + " is not a GUID (one word of visible ASCII)");
    }
  }
  if (guid.empty()) {
    ++counts.entriesWithoutGuid;
    return Status::OK();
  }

  const size_t first = rows.size();
  bool hasAddress = false;
  // The statuses given by earlier rules of this entry; a later rule for one
  // of them is an alternative that is not needed.
  std::vector<int32_t> given;
  for (size_t r = 0; r < mapping_.rules.size(); ++r) {
    const SDirectoryRule& rule = mapping_.rules[r];
    bool alreadyGiven = false;
    for (int32_t status : given) alreadyGiven = alreadyGiven || status == rule.status;
    if (alreadyGiven) continue;
    bool gave = false;
    for (const Value& value : slots_[ruleSlots_[r]].values) {
      if (value.text.compare(0, rule.prefix.size(), rule.prefix) != 0) continue;
      if (value.text.size() == rule.prefix.size()) continue;
      std::string name = value.text.substr(rule.prefix.size());
      if (!IsUtf8Name(name)) {
        where = value.where;
        rows.resize(first);
        return Status::Corruption(rule.attribute + " is not UTF-8 text");
      }
      rows.push_back({rule.status, guid, std::move(name)});
      gave = true;
    }
    if (gave) {
      given.push_back(rule.status);
      hasAddress = hasAddress || rule.address;
    }
  }
  if (!hasAddress) {
    rows.resize(first);
    ++counts.entriesWithoutAddress;
    return Status::OK();
  }
  counts.rows += rows.size() - first;
  return Status::OK();
}
