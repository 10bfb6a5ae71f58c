// The operator's words: the library's texts (refresh reasons, failure
// lines) told in terms of settings and files, times, one-line texts.
#pragma once

#include <cstdint>
#include <string>

#include "tools/Environment.h"

namespace guidlookup {

// Where a refresh would take the table from, for the operator: the source
// setting "getSqlLiteDbFromHB" and the control server's URL or the
// application manager's export file.
std::string DescribeRefreshSource(const NumberSetting& source);

// The reason of IsSQLiteRefreshNeeded in the operator's words.
std::string PlainReason(const std::string& reason);
// A failure text of the library (CHXGuidLookups::lastError) in the
// operator's words: which setting or file is missing or bad, and what failed.
std::string PlainError(const std::string& libraryText);
// True when `libraryText` says a completed refresh could not record its time.
bool IsRefreshTimeNotRecorded(const std::string& libraryText);

// The time in ISO 8601 in the local zone, with its offset:
// "2026-12-08T09:30:00+01:00".
std::string FormatIso8601(int64_t secondsSinceEpoch);

// The text on one line: line breaks (and the blanks around them) become "; ",
// trailing ones are dropped. Library texts such as SQLite's check reports
// span several lines; the operator gets one.
std::string OneLine(const std::string& text);

}  // namespace guidlookup
