// The operator's words: the library's refresh decisions and failures, given
// as values, told in terms of settings and files; times; one-line texts.
#pragma once

#include <cstdint>
#include <string>

#include "tools/Environment.h"

namespace guidlookup {

// Where a refresh would take the table from, for the operator: the source
// setting "getSqlLiteDbFromHB" and the control server's URL or the
// application manager's export file.
std::string DescribeRefreshSource(const NumberSetting& source);

// Why no control server can be asked: its address setting is missing or
// not an http:// or https:// URL.
std::string NoControlServer();

// Why the refresh policy decided as it did, in the operator's words.
std::string PlainReason(const SRefreshDecision& decision);
// What failed (CHXGuidLookups::lastFailure) in the operator's words: which
// setting or file is missing or bad, and what failed.
std::string PlainFailure(const SGuidFailure& failure);
// What a completed refresh could not write of its time, in the operator's
// words; "" when its time was cleared and recorded, or nothing completed.
std::string RefreshTimeFailure(const SRefreshReport& report);

// The time in ISO 8601 in the local zone, with its offset:
// "2026-12-08T09:30:00+01:00".
std::string FormatIso8601(int64_t secondsSinceEpoch);

// The text on one line: line breaks (and the blanks around them) become "; ",
// trailing ones are dropped. Library texts such as SQLite's check reports
// span several lines; the operator gets one.
std::string OneLine(const std::string& text);

}  // namespace guidlookup
