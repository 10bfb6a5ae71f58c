// The job marker file: the id of the last job whose rebuild of the local
// table completed, in decimal. The refresh decision reads it to tell a
// resumed job, which already had its refresh, from a new one; the rebuild
// writes it; the tools show it.
//
// Thread-safety: every function may be called from any thread and process.
// A writer replaces the file by rename, so a reader sees the old marker or
// the new one, never a torn mixture.
#pragma once

#include <cstdint>
#include <string>

#include "host/Export.h"

// Parses the text of a marker: one unsigned decimal number of at most 64
// bits, with optional blanks (space, tab, CR, LF) around it and nothing else,
// in at most 4096 bytes. True with `jobId` set when the text is such a
// marker; false, with `jobId` untouched, for anything else (empty, a sign,
// trailing text, too large a number).
GUIDLOOKUPS_EXPORT bool ParseJobMarker(const std::string& text, unsigned long& jobId);

// Reads the marker at `path` by the rules of ParseJobMarker. The file is
// opened for reading and writing, without creating it, as the refresh
// decision requires: a marker this process could not rewrite names no job.
// False, with `jobId` untouched, for an empty path, a missing file, one that
// cannot be opened so or is not a regular file, and any text that is not a
// marker. Never throws.
GUIDLOOKUPS_EXPORT bool ReadJobMarker(const std::string& path, unsigned long& jobId);

// Writes `jobId` in decimal, without a line end, to a temporary file beside
// the marker ("<path>.XXXXXX"), flushes it to disk and renames it over the
// marker. True when the marker now holds `jobId`; false for an empty path or
// any failed step, when the temporary file is removed and the old marker, if
// any, is left as it was. Never throws.
GUIDLOOKUPS_EXPORT bool WriteJobMarker(const std::string& path, uint64_t jobId);
