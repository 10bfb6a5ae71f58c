// The application manager's client: the rows of its GUID table.
//
// Rows come from the registered row source when one is set (embedders and
// tests), otherwise from the tab-separated export named by the environment
// variable GUIDLOOKUPS_APPMGR_TABLE: one row per line, "status<TAB>GUID<TAB>
// name", UTF-8, status a signed decimal integer; blank lines and lines that
// start with '#' are skipped. A missing or unreadable file, or any malformed
// line, fails the whole fetch (with a log line naming the file and the line)
// so that the caller never sees a partial table.
//
// Thread-safety: getGUIDList may be called from any thread;
// SetGUIDRowSource must not race with a fetch.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "host/Export.h"

struct GUIDLOOKUPS_EXPORT GUIDNameInfo {
  int64_t status = 0;
  std::string guid;
  std::string name;
};

class GUIDLOOKUPS_EXPORT AdaptersBase {
 public:
  virtual ~AdaptersBase() = default;
};

// A row source fills the list and returns 0, or returns nonzero on failure.
using GUIDRowSource = std::function<int(std::list<GUIDNameInfo>& rows)>;

class GUIDLOOKUPS_EXPORT GUIDFromName : public AdaptersBase {
 public:
  GUIDFromName() = default;

  // Appends every row of the table to `rows`. Returns 0 on success; nonzero
  // on failure, when `rows` is left as it was. `filter` and `reserved` are
  // unused (the library passes "" and null).
  int getGUIDList(const std::string& filter, std::list<GUIDNameInfo>& rows, void* reserved);

  // Registers the process's row source; an empty function restores the file.
  static void SetGUIDRowSource(GUIDRowSource source);

  // Parses one export file; used by the default source and by tools that
  // import a file. On failure returns nonzero and sets `error` to
  // "<file>:<line>: <what>".
  static int ReadExportFile(const std::string& path, std::list<GUIDNameInfo>& rows,
                            std::string& error);
  // Parses the text of an export as ReadExportFile does, `name` standing for
  // the file in the error: "<name>:<line>: <what>". On success appends the
  // rows to `rows` and returns 0; on failure leaves `rows` as it was.
  static int ParseExportText(const std::string& text, const std::string& name,
                             std::list<GUIDNameInfo>& rows, std::string& error);
};
