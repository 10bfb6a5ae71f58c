#include "host/AppMgrClient.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <utility>

#include "host/FXString.h"
#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "host/Status.h"
#include "host/Utf8.h"

namespace {

constexpr char kGetListTag[] =
    "int GUIDFromName::getGUIDList(const std::string&, std::list<GUIDNameInfo>&, void*)";
constexpr char kTableVariable[] = "GUIDLOOKUPS_APPMGR_TABLE";

// The registered source. Copied out under the mutex and called outside it, so
// a slow source never blocks a registration and a source may fetch again.
std::mutex& SourceMutex() {
  static std::mutex m;
  return m;
}
GUIDRowSource& RegisteredSource() {
  static GUIDRowSource source;
  return source;
}

// Parses a signed decimal 64-bit number: an optional sign and digits, with
// blanks around them allowed and nothing else.
Status ParseStatus(const std::string& field, int64_t& value) {
  const std::string text = FXString::TrimBlanks(field);
  if (text.empty()) return Status::Corruption("empty status");
  const size_t digits = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos)
    return Status::Corruption("status [" + text + "] is not a signed decimal number");
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return Status::Corruption("status [" + text + "] does not fit 64 bits");
  value = parsed;
  return Status::OK();
}

// Parses one non-blank, non-comment line into `row`; Corruption saying what
// is wrong with it.
Status ParseLine(const std::string& line, GUIDNameInfo& row) {
  if (line.find('\0') != std::string::npos) return Status::Corruption("NUL byte in line");
  const size_t count = static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1;
  if (count != 3)
    return Status::Corruption("expected 3 tab-separated fields (status, GUID, name), found " +
                              std::to_string(count));
  const size_t first = line.find('\t');
  const size_t second = line.find('\t', first + 1);
  std::string fields[3] = {line.substr(0, first), line.substr(first + 1, second - first - 1),
                           line.substr(second + 1)};
  int64_t status = 0;
  if (Status s = ParseStatus(fields[0], status); !s.ok()) return s;
  if (FXString::TrimBlanks(fields[1]).empty()) return Status::Corruption("empty GUID");
  if (!hostutf8::IsValid(fields[1])) return Status::Corruption("GUID is not valid UTF-8");
  if (!hostutf8::IsValid(fields[2])) return Status::Corruption("name is not valid UTF-8");
  row.status = status;
  row.guid = std::move(fields[1]);
  row.name = std::move(fields[2]);
  return Status::OK();
}

}  // namespace

int GUIDFromName::getGUIDList(const std::string& /*filter*/, std::list<GUIDNameInfo>& rows,
                              void* /*reserved*/) {
  try {
    GUIDRowSource source;
    {
      std::lock_guard<std::mutex> lock(SourceMutex());
      source = RegisteredSource();
    }
    // Rows are collected apart and handed over only when the whole fetch
    // succeeded: the caller rebuilds its table from them and must never get
    // a partial table.
    std::list<GUIDNameInfo> fetched;
    if (source) {
      int rc = source(fetched);
      if (rc != 0) {
        HXLOG(-1, kGetListTag, "The registered GUID row source failed with [%d]", rc);
        return rc;
      }
    } else {
      const std::string path = hostconfig::Get(hostconfig::Knob::kAppMgrTable);
      if (path.empty()) {
        HXLOG(-1, kGetListTag, "%s is not set: no application-manager GUID table to read",
              kTableVariable);
        return -1;
      }
      std::string error;
      if (ReadExportFile(path, fetched, error) != 0) {
        HXLOG(-1, kGetListTag, "%s", error.c_str());
        return -1;
      }
    }
    rows.splice(rows.end(), fetched);
    return 0;
  } catch (const std::exception& e) {
    HXLOG(-1, kGetListTag, "Failed to read the application-manager GUID table: %s", e.what());
  } catch (...) {
    HXLOG(-1, kGetListTag, "Failed to read the application-manager GUID table: unknown error");
  }
  return -1;
}

void GUIDFromName::SetGUIDRowSource(GUIDRowSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  RegisteredSource() = std::move(source);
}

int GUIDFromName::ReadExportFile(const std::string& path, std::list<GUIDNameInfo>& rows,
                                 std::string& error) {
  try {
    std::string content;
    if (!hostfs::ReadWholeFile(path, content, &error)) return -1;
    return ParseExportText(content, path, rows, error);
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
  } catch (...) {
    error = path + ": unknown error";
  }
  return -1;
}

int GUIDFromName::ParseExportText(const std::string& text, const std::string& name,
                                  std::list<GUIDNameInfo>& rows, std::string& error) {
  try {
    std::list<GUIDNameInfo> parsed;
    unsigned long lineNo = 1;
    for (size_t pos = 0; pos < text.size(); ++lineNo) {
      const size_t end = std::min(text.find('\n', pos), text.size());
      std::string line = text.substr(pos, end - pos);
      pos = end + 1;
      // Exports written on Windows end their lines in CR LF, and some editors
      // put a byte-order mark in front of the first line.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
      GUIDNameInfo row;
      if (const Status s = ParseLine(line, row); !s.ok()) {
        error = name + ":" + std::to_string(lineNo) + ": " + s.context();
        return -1;
      }
      parsed.push_back(std::move(row));
    }
    rows.splice(rows.end(), parsed);
    return 0;
  } catch (const std::exception& e) {
    error = name + ": " + e.what();
  } catch (...) {
    error = name + ": unknown error";
  }
  return -1;
}
