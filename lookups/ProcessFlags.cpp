#include "lookups/ProcessFlags.h"

#include "host/Locks.h"

std::atomic<bool> bIsExchGuid{true};
std::atomic<bool> shouldFetchGUIDTable{true};

// What each lock guards, and their order, is written in the header.
HxCriticalSection criticalSec;
std::mutex refreshGate;
std::mutex privateQueryTurn;
