#include "lookups/Version.h"

// The build passes the project version; there is no second copy to forget.
#ifndef GUIDLOOKUPS_VERSION
#error "GUIDLOOKUPS_VERSION must be defined by the build"
#endif

const char* GuidLookupsVersion() { return GUIDLOOKUPS_VERSION; }
