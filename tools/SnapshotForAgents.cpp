// The shared snapshot that import and refresh write after they put a new
// table in place, so that the first agent after them maps it instead of
// loading the table.
#include <iostream>

#include "lookups/StaticCache.h"
#include "tools/Commands.h"

namespace guidlookup {

void WriteSnapshotForAgents(const std::string& folder, bool lotusNotes, bool skip) {
  if (skip) return;
  const NumberSetting proxy = ReadNumberSetting("naddproxysmtp", 0);
  const std::string why = StaticCache::WriteSnapshotFor(folder, !lotusNotes, proxy.value != 0);
  if (!why.empty())
    std::cerr << "guidlookup: warning: no shared snapshot was written for the agents: " << why
              << "\n";
}

}  // namespace guidlookup
