#include "host/AppMgrClient.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <utility>

#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
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

bool IsBlank(const std::string& s) {
  for (char c : s)
    if (c != ' ' && c != '\t') return false;
  return true;
}

std::string Trimmed(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Parses a signed decimal 64-bit number: an optional sign and digits, with
// blanks around them allowed and nothing else.
bool ParseStatus(const std::string& field, int64_t& value, std::string& what) {
  std::string text = Trimmed(field);
  if (text.empty()) {
    what = "empty status";
    return false;
  }
  size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (i == text.size()) {
    what = "status [" + text + "] is not a signed decimal number";
    return false;
  }
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') {
      what = "status [" + text + "] is not a signed decimal number";
      return false;
    }
  }
  errno = 0;
  long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) {
    what = "status [" + text + "] does not fit 64 bits";
    return false;
  }
  value = parsed;
  return true;
}

// Parses one non-blank, non-comment line into `row`; on failure sets `what`.
bool ParseLine(const std::string& line, GUIDNameInfo& row, std::string& what) {
  if (line.find('\0') != std::string::npos) {
    what = "NUL byte in line";
    return false;
  }
  std::string fields[3];
  size_t count = 0;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    std::string field =
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
    if (count < 3) fields[count] = std::move(field);
    ++count;
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (count != 3) {
    what = "expected 3 tab-separated fields (status, GUID, name), found " + std::to_string(count);
    return false;
  }
  int64_t status = 0;
  if (!ParseStatus(fields[0], status, what)) return false;
  if (IsBlank(fields[1])) {
    what = "empty GUID";
    return false;
  }
  if (!hostutf8::IsValid(fields[1])) {
    what = "GUID is not valid UTF-8";
    return false;
  }
  if (!hostutf8::IsValid(fields[2])) {
    what = "name is not valid UTF-8";
    return false;
  }
  row.status = status;
  row.guid = std::move(fields[1]);
  row.name = std::move(fields[2]);
  return true;
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
    size_t pos = 0;
    unsigned long lineNo = 0;
    while (pos < text.size()) {
      size_t nl = text.find('\n', pos);
      size_t end = nl == std::string::npos ? text.size() : nl;
      std::string line = text.substr(pos, end - pos);
      pos = nl == std::string::npos ? text.size() : nl + 1;
      ++lineNo;
      // Exports written on Windows end their lines in CR LF, and some editors
      // put a byte-order mark in front of the first line.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
      if (IsBlank(line) || line[0] == '#') continue;
      GUIDNameInfo row;
      std::string what;
      if (!ParseLine(line, row, what)) {
        error = name + ":" + std::to_string(lineNo) + ": " + what;
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
