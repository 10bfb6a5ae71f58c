#include "lookups/refresh/Validator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "guiddb/CacheFiles.h"
#include "host/Files.h"

namespace {

std::string PathIn(const std::string& folder) { return cachefiles::Validator(folder); }

// "<device> <inode> <size> <seconds> <nanoseconds>" of the file, or "" when
// it cannot be read.
std::string Identity(const std::string& database) {
  struct stat st;
  if (::stat(database.c_str(), &st) != 0) return "";
  std::ostringstream out;
  out << st.st_dev << ' ' << st.st_ino << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << ' '
      << st.st_mtim.tv_nsec;
  return out.str();
}

}  // namespace

// The file holds three lines: "file <identity>", "etag <value>" and
// "last-modified <value>" (values without line breaks; either may be empty).
SDownloadValidator ReadDownloadValidator(const std::string& guidCacheDir,
                                         const std::string& database) {
  SDownloadValidator validator;
  std::string text;
  if (guidCacheDir.empty() || !hostfs::ReadWholeFile(PathIn(guidCacheDir), text)) return validator;
  std::istringstream in(text);
  std::string line, identity;
  SDownloadValidator read;
  while (std::getline(in, line)) {
    if (line.rfind("file ", 0) == 0)
      identity = line.substr(5);
    else if (line.rfind("etag ", 0) == 0)
      read.etag = line.substr(5);
    else if (line.rfind("last-modified ", 0) == 0)
      read.lastModified = line.substr(14);
  }
  const std::string current = Identity(database);
  if (identity.empty() || current.empty() || identity != current) return validator;
  return read;
}

void WriteDownloadValidator(const std::string& guidCacheDir, const std::string& database,
                            const SDownloadValidator& validator) {
  if (guidCacheDir.empty()) return;
  const std::string identity = Identity(database);
  auto clean = [](const std::string& v) { return v.find_first_of("\r\n") == std::string::npos; };
  if (validator.empty() || identity.empty() || !clean(validator.etag) ||
      !clean(validator.lastModified)) {
    DropDownloadValidator(guidCacheDir);
    return;
  }
  hostfs::AtomicWriteFile(PathIn(guidCacheDir), "file " + identity + "\netag " + validator.etag +
                                                    "\nlast-modified " + validator.lastModified +
                                                    "\n");
}

void DropDownloadValidator(const std::string& guidCacheDir) {
  if (!guidCacheDir.empty()) ::unlink(PathIn(guidCacheDir).c_str());
}
