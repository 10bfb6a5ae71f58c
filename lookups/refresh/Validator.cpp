#include "lookups/refresh/Validator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <utility>

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

// The file holds the lines "file <identity>", "etag <value>",
// "last-modified <value>" and, when the table's release is known,
// "release <id>", "digest <hex>" and "manifest-etag <value>" (values without
// line breaks; any may be empty).
SDownloadValidator ReadRecordedValidator(const std::string& guidCacheDir,
                                         const std::string& database, bool& current) {
  current = false;
  std::string text;
  if (guidCacheDir.empty() || !hostfs::ReadWholeFile(PathIn(guidCacheDir), text))
    return SDownloadValidator();
  std::istringstream in(text);
  std::string line, identity;
  SDownloadValidator read;
  const std::pair<const char*, std::string*> fields[] = {{"file ", &identity},
                                                         {"etag ", &read.etag},
                                                         {"last-modified ", &read.lastModified},
                                                         {"release ", &read.release},
                                                         {"digest ", &read.digest},
                                                         {"manifest-etag ", &read.manifestEtag}};
  while (std::getline(in, line))
    for (const auto& field : fields)
      if (line.rfind(field.first, 0) == 0) *field.second = line.substr(std::strlen(field.first));
  // A release without its digest could not be followed by a delta.
  if (read.digest.empty()) read.release.clear();
  const std::string now = Identity(database);
  current = !identity.empty() && !now.empty() && identity == now;
  return read;
}

SDownloadValidator ReadDownloadValidator(const std::string& guidCacheDir,
                                         const std::string& database) {
  bool current = false;
  SDownloadValidator read = ReadRecordedValidator(guidCacheDir, database, current);
  return current ? read : SDownloadValidator();
}

void WriteDownloadValidator(const std::string& guidCacheDir, const std::string& database,
                            const SDownloadValidator& validator) {
  if (guidCacheDir.empty()) return;
  const std::string identity = Identity(database);
  auto clean = [](const std::string& v) { return v.find_first_of("\r\n") == std::string::npos; };
  if (validator.empty() || identity.empty() || !clean(validator.etag) ||
      !clean(validator.lastModified) || !clean(validator.release) || !clean(validator.digest) ||
      !clean(validator.manifestEtag)) {
    DropDownloadValidator(guidCacheDir);
    return;
  }
  std::string text = "file " + identity + "\netag " + validator.etag + "\nlast-modified " +
                     validator.lastModified + "\n";
  if (!validator.release.empty())
    text += "release " + validator.release + "\ndigest " + validator.digest + "\nmanifest-etag " +
            validator.manifestEtag + "\n";
  hostfs::AtomicWriteFile(PathIn(guidCacheDir), text);
}

void DropDownloadValidator(const std::string& guidCacheDir) {
  if (!guidCacheDir.empty()) ::unlink(PathIn(guidCacheDir).c_str());
}
