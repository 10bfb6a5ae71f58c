// Checked output: every write to standard output and to files is checked,
// and a failed one ends the run with exit status 3.
#pragma once

#include <string>

#include "tools/ToolError.h"

namespace guidlookup {

// Writes `text` to `path` (created or truncated) and closes it, every byte
// checked. Throws ToolError (exit 3) naming the file and the system's reason.
void WriteWholeFile(const std::string& path, const std::string& text);

// Routes std::cout to descriptor 1 through a buffer that keeps the first
// failed write's reason. Called once, first thing in main().
void CheckStandardOutput();
// Flushes standard output. "" when everything written to it arrived, else
// the system's reason for the first write that failed.
std::string FlushStandardOutput();

}  // namespace guidlookup
