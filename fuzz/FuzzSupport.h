// Helpers of the fuzz targets: a sandbox folder, whole-file I/O and a check
// that turns a broken invariant into a crash the fuzzer keeps.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/LogWriter.h"

// Aborts with the failed condition, so that libFuzzer writes out the input.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

namespace fuzzsupport {

inline const std::string& SandboxDir();

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

inline void RemoveSandbox() { nftw(SandboxDir().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

// A fresh folder under $TMPDIR (or /tmp), made once per process and removed
// at a normal exit. A crash leaves it behind; scripts/fuzz points TMPDIR at a
// folder of its own that it removes at the end.
inline const std::string& SandboxDir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/guidlookups-fuzz.XXXXXX";
    if (!mkdtemp(&pattern[0])) {
      std::perror("mkdtemp");
      std::abort();
    }
    return pattern;
  }();
  static const bool registered = std::atexit(RemoveSandbox) == 0;
  (void)registered;
  return dir;
}

// Replaces the file with `content`; aborts when it cannot, as every later
// check would then test the wrong input.
inline void WriteWholeFile(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  close(fd);
}

inline std::string ReadWholeFile(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) content.append(buf, static_cast<size_t>(n));
  close(fd);
  return content;
}

// The library's log lines would drown the fuzzer's own output.
inline void SilenceLog() { SetLogWriter(nullptr); }

}  // namespace fuzzsupport

// The set-up of a target that needs nothing but a silent log.
#define FUZZ_INITIALIZE_WITH_A_SILENT_LOG()            \
  extern "C" int LLVMFuzzerInitialize(int*, char***) { \
    fuzzsupport::SilenceLog();                         \
    return 0;                                          \
  }
