// Process-wide flags of the lookup service. Each is an atomic: every caller's
// thread reads and writes them without taking a lock.
#pragma once

#include <atomic>

#include "host/Export.h"

// True: the static cache is filled by the Exchange loader; false: by the Lotus
// Notes loader. Written by every Initialize, read by the static cache load.
GUIDLOOKUPS_EXPORT extern std::atomic<bool> bIsExchGuid;
// A download from the control server may still be tried in this process;
// cleared by a failed download, set again by a decision to refresh.
GUIDLOOKUPS_EXPORT extern std::atomic<bool> shouldFetchGUIDTable;
