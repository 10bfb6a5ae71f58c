// One agent process of the memory benchmark: loads the shared table (through
// the snapshot or in-heap, as told), answers 10,000 lookups, says "ready" on
// stdout and waits until stdin closes, so that its proportional set size can
// be read while it and its peers are alive.
//
// Usage: guidlookups_pss_probe FOLDER KEYS_FILE SNAPSHOT(0|1) [load-only]
// With "load-only" it prints its peak resident set in KiB (VmHWM: its own,
// unlike the rusage of a forked child, which keeps the parent's peak) right
// after the load, and exits.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "host/Settings.h"
#include "lookups/ProcessFlags.h"
#include "lookups/StaticCache.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  HXPlatformInfo::SetOverlay("EventManager", "nSharedTableSnapshot", argv[3]);
  bIsExchGuid.store(true);
  std::vector<std::string> keys;
  {
    std::ifstream in(argv[2]);
    for (std::string line; std::getline(in, line);) keys.push_back(line);
  }
  StaticCache cache;
  if (cache.fastload(argv[1], true, false) != 0) return 1;
  if (argc == 5) {
    if (std::string(argv[4]) != "load-only") return 2;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) std::cout << std::stoull(line.substr(6)) << std::endl;
    return 0;
  }
  size_t found = 0;
  for (size_t i = 0; i < 10000 && !keys.empty(); ++i) {
    GuidRecordMap records;
    found += cache.find(keys[i % keys.size()], records);
  }
  if (found != 10000) return 1;
  std::cout << "ready" << std::endl;
  char c;
  while (std::cin.get(c)) {
  }
  return 0;
}
