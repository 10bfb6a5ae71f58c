// Placeholder until the control-server download lands: the refresh falls back
// to reporting a failed download, which the caller logs and survives.
#include "host/LogWriter.h"
#include "lookups/HXGuidLookups.h"

bool CHXGuidLookups::getSqlLiteGUIDDbFromHB() {
  HXLOG(-1, "bool CHXGuidLookups::getSqlLiteGUIDDbFromHB()",
        "Download from the control server is not available in this build");
  return false;
}
