// The application manager's export parser: any text either parses into rows
// that write back to the same rows, or fails whole with a located error.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "host/AppMgrClient.h"

namespace {

const char kName[] = "export.tsv";

// The form the parser reads back exactly: CR LF ends every line, so a name
// that itself ends in CR keeps it (one CR before the LF is the line end).
std::string Serialise(const std::list<GUIDNameInfo>& rows) {
  std::string text;
  for (const GUIDNameInfo& row : rows)
    text += std::to_string(row.status) + "\t" + row.guid + "\t" + row.name + "\r\n";
  return text;
}

bool SameRows(const std::list<GUIDNameInfo>& a, const std::list<GUIDNameInfo>& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
    if (i->status != j->status || i->guid != j->guid || i->name != j->name) return false;
  return true;
}

}  // namespace

FUZZ_INITIALIZE_WITH_A_SILENT_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // A row already in the list must survive both outcomes untouched.
  GUIDNameInfo sentinel;
  sentinel.status = -7;
  sentinel.guid = "{sentinel}";
  sentinel.name = "kept@corp.test";
  std::list<GUIDNameInfo> rows{sentinel};
  std::string error;
  int rc = GUIDFromName::ParseExportText(text, kName, rows, error);

  FUZZ_CHECK(!rows.empty() && SameRows({rows.front()}, {sentinel}));
  if (rc != 0) {
    FUZZ_CHECK(rows.size() == 1);
    FUZZ_CHECK(error.rfind(std::string(kName) + ":", 0) == 0);
    return 0;
  }
  FUZZ_CHECK(error.empty());
  rows.pop_front();
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  FUZZ_CHECK(rows.size() <= lines + 1);
  for (const GUIDNameInfo& row : rows) {
    FUZZ_CHECK(row.guid.find_first_of("\t\n") == std::string::npos);
    FUZZ_CHECK(row.name.find_first_of("\t\n") == std::string::npos);
    FUZZ_CHECK(row.guid.find_first_not_of(" \t") != std::string::npos);
    FUZZ_CHECK(row.guid.find('\0') == std::string::npos &&
               row.name.find('\0') == std::string::npos);
  }

  std::list<GUIDNameInfo> again;
  std::string againError;
  FUZZ_CHECK(GUIDFromName::ParseExportText(Serialise(rows), kName, again, againError) == 0);
  FUZZ_CHECK(SameRows(rows, again));
  return 0;
}
