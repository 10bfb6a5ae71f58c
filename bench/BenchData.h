// Seeded generator of a realistic directory: GUID groups of 1 to 5 names,
// statuses 1 (primary SMTP), 2 (proxy SMTP), 8 and 16, mixed-case GUIDs.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "host/AppMgrClient.h"

namespace bench {

struct Directory {
  std::vector<GUIDNameInfo> rows;    // in generation order (grouped by GUID)
  std::vector<std::string> present;  // names of rows, shuffled, as stored
  std::vector<std::string> absent;   // addresses that no row holds
  size_t guids = 0;
};

// Exactly `rows` rows; the same seed gives the same directory.
Directory Generate(size_t rows, uint64_t seed = 20261208);

}  // namespace bench
