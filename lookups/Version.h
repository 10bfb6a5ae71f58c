// The library's version, as the build states it (the CMake project version),
// for embedders and tools that report what they run on.
#pragma once

#include "host/Export.h"

// "<major>.<minor>.<patch>", the version of the loaded library (not of the
// headers a caller was compiled with). The text lives as long as the process.
GUIDLOOKUPS_EXPORT const char* GuidLookupsVersion();
