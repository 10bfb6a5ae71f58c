// The settings reader: any file is read without a crash, numbers read only
// from decimal text, and a value set and removed again comes back exactly
// while every other value stays as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "host/HostConfig.h"
#include "host/Settings.h"

namespace {

const char kInstance[] = "FuzzInstance";
const char kProbeSection[] = "EventManager";
const char kProbeName[] = "sFuzzProbe";
const char kProbeValue[] = "probe value = 1";

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// The sections and value names to read: the library's own, and those the
// file itself names (a few, to keep each run short).
void CollectNames(const std::string& text, std::vector<std::string>& sections,
                  std::vector<std::string>& names) {
  sections = {"EventManager", "vTaskHost", "Base"};
  names = {"dHOME", "nLastGuidNameTableRefreshTime", "AddressCacheMemorySize", kProbeName};
  size_t start = 0;
  while (start < text.size() && sections.size() < 6 && names.size() < 9) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.size() > 2 && line[0] == '[' && line.back() == ']') {
      // The store takes C strings: a name is read up to its first NUL.
      sections.push_back(Trimmed(line.substr(1, line.size() - 2)).c_str());
    } else if (size_t eq = line.find('='); eq != std::string::npos && eq > 0) {
      names.push_back(Trimmed(line.substr(0, eq)).c_str());
    }
  }
}

struct Reading {
  int found;
  std::string text;
  bool operator==(const Reading& o) const { return found == o.found && text == o.text; }
};

// After the first pass only the text is compared: the number is read from it.
Reading Read(HXPlatformInfo& settings, const std::string& section, const std::string& name) {
  Reading r{0, "<unset>"};
  r.found = settings.getString(section.c_str(), name.c_str(), &r.text);
  return r;
}

bool IsProbe(const std::string& section, const std::string& name) {
  return Lower(section) == Lower(kProbeSection) && Lower(name) == Lower(kProbeName);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::SilenceLog();
  hostconfig::Set(hostconfig::Knob::kSettingsDir, fuzzsupport::SandboxDir());
  hostconfig::Set(hostconfig::Knob::kInstance, kInstance);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  HXPlatformInfo settings;
  fuzzsupport::WriteWholeFile(settings.filePath(), text);

  std::vector<std::string> sections, names;
  CollectNames(text, sections, names);
  std::vector<std::pair<std::string, std::string>> keys;
  std::vector<Reading> before;
  for (const std::string& section : sections) {
    for (const std::string& name : names) {
      Reading r = Read(settings, section, name);
      unsigned long number = 12345;
      if (settings.getNumber(section.c_str(), name.c_str(), &number)) {
        // A number is the decimal text of a value that is present.
        FUZZ_CHECK(r.found);
        FUZZ_CHECK(!r.text.empty() && r.text.find_first_not_of("0123456789") == std::string::npos);
        FUZZ_CHECK(std::strtoul(r.text.c_str(), nullptr, 10) == number);
      } else {
        FUZZ_CHECK(number == 12345);
      }
      if (r.found) FUZZ_CHECK(r.text == Trimmed(r.text) || r.text.find('\r') != std::string::npos);
      if (!IsProbe(section, name)) {
        keys.emplace_back(section, name);
        before.push_back(r);
      }
    }
  }
  settings.getHXPlatformType();

  // The listing is the reads' own view of the file: a name's first value line
  // holds what a read finds, and a name without one reads as missing.
  std::vector<SettingsLine> lines;
  FUZZ_CHECK(settings.listFile(&lines) == SettingStatus::kFound);
  for (size_t i = 0; i < keys.size(); ++i) {
    const SettingsLine* first = nullptr;
    for (const SettingsLine& line : lines)
      if (!first && line.kind == SettingsLine::kValue &&
          Lower(line.section) == Lower(keys[i].first.c_str()) &&
          Lower(line.name) == Lower(keys[i].second.c_str()))
        first = &line;
    FUZZ_CHECK((first != nullptr) == (before[i].found != 0));
    if (first) FUZZ_CHECK(first->value == before[i].text);
  }

  // The round trip: a write replaces only the probe, a removal only drops it.
  FUZZ_CHECK(settings.setString(kProbeSection, kProbeName, kProbeValue) != 0);
  std::string value;
  FUZZ_CHECK(settings.getString(kProbeSection, kProbeName, &value) != 0 && value == kProbeValue);
  for (size_t i = 0; i < keys.size(); ++i)
    FUZZ_CHECK(Read(settings, keys[i].first, keys[i].second) == before[i]);
  FUZZ_CHECK(settings.removeValue(kProbeSection, kProbeName) != 0);
  FUZZ_CHECK(settings.getString(kProbeSection, kProbeName, &value) == 0);
  for (size_t i = 0; i < keys.size(); ++i)
    FUZZ_CHECK(Read(settings, keys[i].first, keys[i].second) == before[i]);
  return 0;
}
