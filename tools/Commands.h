// The commands of guidlookup. Each takes the options of its command line and
// the prepared context, prints its results on standard output, and returns
// the exit status or throws ToolError.
#pragma once

#include <string>
#include <vector>

#include "tools/ToolSupport.h"

namespace guidlookup {

struct ResolveOptions {
  std::vector<std::string> keys;
  bool keysAreGuids = false;  // --guid
  bool privateMode = false;   // --private
  bool statusGiven = false;   // --status N
  int status = 0;
  bool json = false;        // --json
  bool lotusNotes = false;  // --lotus-notes: the Lotus Notes agent's loader
  bool noRefresh = false;   // --no-refresh: skip the refresh decision
};
int RunResolve(const ToolContext& context, const ResolveOptions& options);

struct RefreshOptions {
  bool jobGiven = false;  // --job ID
  unsigned long jobId = 0;
  bool force = false;  // --force
};
int RunRefresh(const ToolContext& context, const RefreshOptions& options);

struct ImportOptions {
  std::string file;
  bool progress = true;  // --no-progress turns the bar off
};
int RunImport(const ToolContext& context, const ImportOptions& options);

struct DumpOptions {
  bool lotusNotes = false;  // --lotus-notes
  bool addProxy = false;    // --proxy: proxy SMTP addresses as keys
  std::string output;       // --output FILE, else standard output
};
int RunDump(const ToolContext& context, const DumpOptions& options);

int RunInfo(const ToolContext& context);

}  // namespace guidlookup
