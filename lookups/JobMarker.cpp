#include "lookups/JobMarker.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A marker is a few digits; anything longer is not one, and reading stops
// there so that a huge file costs no more than this.
constexpr size_t kMaxMarkerBytes = 4096;

bool IsMarkerBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

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

bool WriteJobMarker(const std::string& path, uint64_t jobId) {
  try {
    if (path.empty()) return false;
    std::string tmp = path + ".XXXXXX";
    int fd = ::mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, std::to_string(jobId));
    // Flushed before the rename, so that a crash cannot leave a marker that
    // names the job but holds nothing.
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) return true;
    ::unlink(tmp.c_str());
    return false;
  } catch (...) {
    return false;
  }
}
