#include "host/net/SecretFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// O_NONBLOCK so that a FIFO at the path is refused instead of waited on; it
// changes nothing for a regular file.
int OpenSecretFile(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

// The rule itself, judged on what was opened, so that the file read is the
// file judged.
SecretFileVerdict Judge(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return SecretFileVerdict{SecretFileFault::kCannotRead, errno};
  if (!S_ISREG(st.st_mode)) return SecretFileVerdict{SecretFileFault::kNotAFile};
  if ((st.st_mode & 077) != 0)
    return {SecretFileFault::kOthersMayAccess, 0, static_cast<unsigned>(st.st_mode & 07777)};
  return SecretFileVerdict();
}

// Cuts `value` (the `got` bytes read) to the secret in place: shifting
// rather than copying leaves no second copy behind.
SecretFileVerdict Cut(std::string& value, size_t got, size_t limit, SecretText text) {
  size_t begin = 0;
  if (text == SecretText::kTrimmed) {
    if (got > limit) return SecretFileVerdict{SecretFileFault::kTooLarge};
    while (begin < got && std::isspace(static_cast<unsigned char>(value[begin]))) ++begin;
    while (got > begin && std::isspace(static_cast<unsigned char>(value[got - 1]))) --got;
  } else {
    if (got > 0 && value[got - 1] == '\n') --got;
    if (got > 0 && value[got - 1] == '\r') --got;
    if (got > limit) return SecretFileVerdict{SecretFileFault::kTooLarge};
  }
  if (got == begin) return SecretFileVerdict{SecretFileFault::kEmpty};
  for (size_t i = begin; i < got; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    const bool refused = text == SecretText::kTrimmed ? c < 0x20 || c == 0x7f : c == '\n' || c == 0;
    if (refused) return SecretFileVerdict{SecretFileFault::kNotOneLine};
  }
  std::memmove(&value[0], &value[begin], got - begin);
  std::memset(&value[got - begin], 0, value.size() - (got - begin));
  value.resize(got - begin);
  return SecretFileVerdict();
}

}  // namespace

SecretFileVerdict CheckSecretFile(const std::string& path) {
  const int fd = OpenSecretFile(path);
  if (fd < 0) return SecretFileVerdict{SecretFileFault::kCannotRead, errno};
  const SecretFileVerdict verdict = Judge(fd);
  ::close(fd);
  return verdict;
}

SecretFileVerdict ReadSecretFile(const std::string& path, size_t limit, SecretText text,
                                 Secret& out) {
  out.Wipe();
  const int fd = OpenSecretFile(path);
  if (fd < 0) return SecretFileVerdict{SecretFileFault::kCannotRead, errno};
  SecretFileVerdict verdict = Judge(fd);
  std::string& value = out.value();
  // One byte over the limit (two for a line end) tells a long file from a
  // file of exactly the limit.
  const size_t room = limit + (text == SecretText::kOneLine ? 3 : 1);
  size_t got = 0;
  if (verdict.ok()) value.assign(room, '\0');
  while (verdict.ok() && got < value.size()) {
    const ssize_t n = ::read(fd, &value[got], value.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) verdict = SecretFileVerdict{SecretFileFault::kCannotRead, errno};
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (verdict.ok()) verdict = Cut(value, got, limit, text);
  if (!verdict.ok()) out.Wipe();
  return verdict;
}

std::string OthersMayAccessWords(unsigned mode) {
  char octal[8];
  std::snprintf(octal, sizeof(octal), "%04o", mode & 07777);
  return std::string("group or other users may access it (mode ") + octal +
         "); make it readable by its owner only (chmod 600)";
}
