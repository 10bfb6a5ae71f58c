#include "host/SettingsTable.h"

namespace hxsettings {
namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return i == a.size() && !b[i];
}

}  // namespace

const Setting* Find(const std::string& section, const std::string& name) {
  for (const Setting* setting : kAll)
    if (SameName(section, setting->section) && SameName(name, setting->name)) return setting;
  return nullptr;
}

bool IsLibrarySection(const std::string& section) {
  for (const Setting* setting : kAll)
    if (SameName(section, setting->section)) return true;
  return false;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kString:
      return "string";
    case Kind::kNumber:
      return "number";
    case Kind::kFolder:
      return "folder";
    case Kind::kFile:
      return "file";
    case Kind::kSecret:
      return "secret";
  }
  return "?";
}

std::string Named(const Setting& setting) {
  return std::string("[") + setting.section + "] " + setting.name;
}

std::string MarkdownTable() {
  std::string table =
      "| Section | Name | Kind | Default | Meaning |\n"
      "|---|---|---|---|---|\n";
  for (const Setting* s : kAll) {
    table += std::string("| ") + s->section + " | `" + s->name + "` | " + KindName(s->kind) +
             " | " + s->defaultText + " | " + s->meaning + " |\n";
  }
  return table;
}

}  // namespace hxsettings
