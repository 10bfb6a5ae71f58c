#include "tools/Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "host/Files.h"

namespace guidlookup {

void WriteWholeFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw ToolError(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
  int error = hostfs::WriteAll(fd, text.data(), text.size()) ? 0 : errno;
  // A file system that writes back late may report the failure only here.
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0)
    throw ToolError(kExitFailure, "cannot write " + path + ": " + std::strerror(error));
}

namespace {

// std::cout's buffer for the whole run: writes go to descriptor 1 and the
// first failure's errno is kept, which a FILE-based stream forgets once a
// later call succeeds or resets errno.
class CheckedOutputBuffer : public std::streambuf {
 public:
  CheckedOutputBuffer() { setp(buffer_, buffer_ + sizeof buffer_); }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain() {
    if (!hostfs::WriteAll(STDOUT_FILENO, pbase(), static_cast<size_t>(pptr() - pbase())) &&
        error_ == 0)
      error_ = errno;
    // What could not be written is dropped: the run fails anyway, and a
    // stream that keeps it would retry the same failing write forever.
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
  }

  char buffer_[8192];
  int error_ = 0;
};

CheckedOutputBuffer* g_output = nullptr;

}  // namespace

void CheckStandardOutput() {
  // Never destroyed: std::cout flushes its buffer once more when the runtime
  // ends, after every static object of ours is gone.
  static CheckedOutputBuffer* buffer = new CheckedOutputBuffer;
  g_output = buffer;
  std::cout.rdbuf(buffer);
}

std::string FlushStandardOutput() {
  std::cout.flush();
  int error = g_output ? g_output->error() : 0;
  if (std::fflush(stdout) != 0 && error == 0) error = errno;
  if (error == 0 && std::cout.good()) return std::string();
  return std::strerror(error != 0 ? error : EIO);
}

}  // namespace guidlookup
