#include "lookups/refresh/JobMarker.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/Files.h"
#include "host/StagedFile.h"

namespace {

// A marker is a few digits; anything longer is not one, and reading stops
// there so that a huge file costs no more than this.
constexpr size_t kMaxMarkerBytes = 4096;

bool IsMarkerBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool ParseJobMarker(const std::string& text, unsigned long& jobId) {
  if (text.size() > kMaxMarkerBytes) return false;
  size_t i = 0;
  while (i < text.size() && IsMarkerBlank(text[i])) ++i;
  if (i == text.size() || text[i] < '0' || text[i] > '9') return false;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  while (i < text.size() && IsMarkerBlank(text[i])) ++i;
  if (i != text.size()) return false;
  jobId = static_cast<unsigned long>(value);
  return true;
}

bool ReadJobMarker(const std::string& path, unsigned long& jobId) {
  try {
    if (path.empty()) return false;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    std::string text;
    struct stat st;
    bool readable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (readable && text.size() <= kMaxMarkerBytes) {
      char buf[512];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        text.append(buf, static_cast<size_t>(n));
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        readable = false;
      }
    }
    ::close(fd);
    return readable && ParseJobMarker(text, jobId);
  } catch (...) {
    return false;  // only the text's allocation can fail
  }
}

// The marker is created 0600: only this user's processes read it. A link at
// `path` is replaced, not followed.
bool WriteJobMarker(const std::string& path, uint64_t jobId) {
  try {
    if (path.empty()) return false;
    const size_t slash = path.find_last_of('/');
    hostfs::StagedFileOptions options;
    options.prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    options.createMode = 0600;
    hostfs::StagedFile staged;
    const std::string text = std::to_string(jobId);
    // Flushed before the rename, so that a crash cannot leave a marker that
    // names the job but holds nothing.
    return staged.Create(hostfs::FolderOf(path), options).ok() &&
           staged.Write(text.data(), text.size()).ok() && staged.Flush().ok() &&
           staged.Install(path, false).ok();
  } catch (...) {
    return false;
  }
}
