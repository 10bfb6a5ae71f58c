#include "support/StaticCacheSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "host/Settings.h"

namespace testsupport {

std::string NumberedGroupGuid(int group) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "{G-%05d}", group);
  return buf;
}

std::string NumberedGroupName(int group, int row) {
  std::string name = "user" + std::to_string(group) + "." + std::to_string(row) + "@example.com";
  name.resize(200, 'p');
  return name;
}

int NumberedGroupSize(int group) { return group % 4 + 1; }

std::vector<Row> NumberedGroupRows(int groups) {
  std::vector<Row> rows;
  for (int g = 0; g < groups; ++g)
    for (int r = 0; r < NumberedGroupSize(g); ++r)
      rows.emplace_back(NumberedGroupName(g, r), NumberedGroupGuid(g), 1);
  return rows;
}

std::vector<Row> LoaderEdgeRows() {
  return {
      {"Orphan@x", "", 1},
      {"Ann@Example.com", "{ab-1}", 1},
      {"Proxy@Example.com", "{ab-1}", 2},
      {"Bob", "{ab-1}", 8},
      {"Carol", "{ab-1}", 16},
      {"Carla", "{ab-1}", 16},
      {"Dan", "{AB-1}", 64},
      {"Eve", "{AB-1}", 128},
      {"Fay", "{AB-1}", 288},
      {"Shared@x", "{ab-1}", 1},
      {"shared@X", "{cd-2}", 8},
      {std::string(10300, 'l') + "@x", "{cd-2}", 1},
      {"\xc3\xa9l\xe8ve@x", "{cd-2}", 1},
      {"Gus", "cn=x/o=y", 1},
      {"", "{ef-3}", 1},
      {"Hal", "{ef-3}", 7},
  };
}

std::string MakeTurkishLocale(const std::string& dir) {
  const std::string name = "tr_TR.ISO-8859-9";
  const std::string command =
      "localedef -i tr_TR -f ISO-8859-9 '" + dir + "/" + name + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  ::setenv("LOCPATH", dir.c_str(), 1);
  return name;
}

ScopedSnapshotSetting::ScopedSnapshotSetting(bool on) {
  HXPlatformInfo::SetOverlay("EventManager", "nSharedTableSnapshot", on ? "1" : "0");
}
ScopedSnapshotSetting::~ScopedSnapshotSetting() {
  HXPlatformInfo::RemoveOverlay("EventManager", "nSharedTableSnapshot");
}

int CorruptTableLeafPage(const std::string& folder, double fraction) {
  const std::string file = folder + "/" GUIDDB_NAME;
  std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
  if (!io) throw std::runtime_error("cannot open " + file);
  unsigned char header[100];
  if (!io.read(reinterpret_cast<char*>(header), sizeof header))
    throw std::runtime_error("short header");
  long pageSize = (header[16] << 8) | header[17];
  if (pageSize == 1) pageSize = 65536;
  io.seekg(0, std::ios::end);
  long pages = static_cast<long>(io.tellg()) / pageSize;

  std::vector<long> leaves;
  for (long page = 2; page <= pages; ++page) {  // page 1 holds the schema
    io.seekg((page - 1) * pageSize);
    char type = 0;
    io.get(type);
    if (type == 0x0d) leaves.push_back(page);
  }
  if (leaves.size() < 3) throw std::runtime_error("too few table leaf pages");
  long page = leaves[static_cast<size_t>(fraction * (leaves.size() - 1))];
  io.seekp((page - 1) * pageSize);
  io.put(static_cast<char>(0x55));
  if (!io) throw std::runtime_error("cannot write " + file);
  return static_cast<int>(page);
}

}  // namespace testsupport
