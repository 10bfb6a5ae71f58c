#include "host/PartFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/LogWriter.h"

namespace netsession {

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
}

int TempFile::Create(const std::string& folder) {
  std::string pattern =
      folder + "/" + kPartPrefix + std::to_string(static_cast<long>(::getpid())) + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return errno;
  path_ = name.data();
  // mkostemp makes the file private; the database is shared by the agents.
  ::fchmod(fd_, 0644);
  return 0;
}

int TempFile::Finish() {
  int err = 0;
  if (::fsync(fd_) != 0) err = errno;
  if (::close(fd_) != 0 && err == 0) err = errno;
  fd_ = -1;
  return err;
}

int TempFile::RenameTo(const std::string& destination) {
  if (::rename(path_.c_str(), destination.c_str()) != 0) return errno;
  path_.clear();
  return 0;
}

bool PartWriterAlive(const char* rest) {
  errno = 0;
  char* end = nullptr;
  long pid = std::strtol(rest, &end, 10);
  if (end == rest || *end != '-' || pid <= 0 || errno != 0) return false;
  if (pid == static_cast<long>(::getpid())) return true;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

void RemoveStaleParts(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    const char* rest = nullptr;
    if (std::strncmp(name, kPartPrefix, std::strlen(kPartPrefix)) == 0)
      rest = name + std::strlen(kPartPrefix);
    else if (std::strncmp(name, kLegacyPartPrefix, std::strlen(kLegacyPartPrefix)) == 0)
      rest = name + std::strlen(kLegacyPartPrefix);
    if (!rest || PartWriterAlive(rest)) continue;
    std::string path = folder + "/" + name;
    if (::unlink(path.c_str()) == 0)
      HXLOG(2, "void RemoveStaleParts(const string&)",
            "Removed partial download [%s] of a transfer that ended", path.c_str());
  }
  ::closedir(dir);
}

}  // namespace netsession
