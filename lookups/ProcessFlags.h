// Process-wide flags of the lookup service. Each is an atomic: every caller's
// thread reads and writes them without taking a lock.
#pragma once

#include <atomic>
#include <mutex>

#include "host/Export.h"
#include "host/Locks.h"

// True: the static cache is filled by the Exchange loader; false: by the Lotus
// Notes loader. Written by every Initialize, read by the static cache load.
GUIDLOOKUPS_EXPORT extern std::atomic<bool> bIsExchGuid;
// A download from the control server may still be tried in this process;
// cleared by a failed download, set again by a decision to refresh.
GUIDLOOKUPS_EXPORT extern std::atomic<bool> shouldFetchGUIDTable;

// The lookup service's locks. Where more than one is held they are taken in
// this order, and released in the reverse one:
//   1. criticalSec: the creation of the static cache and its load, within
//      the process;
//   2. refreshGate: the refresh decision and the refresh itself, within the
//      process (a thread that finds a refresh decided but not done waits
//      here instead of reading a table about to be replaced);
//   3. privateQueryTurn: the process's one connection and lock descriptor of
//      the private-mode queries, used by one thread at a time; taken before
//      the named mutex, whose flock on that one descriptor would not keep
//      two threads of the process apart;
//   4. the access lock (AccessLock): every use of
//      GUIDDB.DAT, across all processes of the machine.
// No code takes an earlier lock while holding a later one.
GUIDLOOKUPS_EXPORT extern HxCriticalSection criticalSec;
GUIDLOOKUPS_EXPORT extern std::mutex refreshGate;
GUIDLOOKUPS_EXPORT extern std::mutex privateQueryTurn;
