#include "lookups/ProcessFlags.h"

#include "host/Locks.h"

std::atomic<bool> bIsExchGuid{true};
std::atomic<bool> shouldFetchGUIDTable{true};

// Guards the creation of the static cache and its load. Taken before the
// named mutex "SQLITE_ACCESS_LOCK" wherever both are held.
HxCriticalSection criticalSec;
