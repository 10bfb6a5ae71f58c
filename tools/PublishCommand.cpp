// guidlookup publish DIR: the control server's side of the agents' refresh.
// The local table goes into a web root as "GUIDDB.DAT", with
// "GUIDDB.DAT.gz" beside it for servers that send pre-compressed files.
//
// Each file is written aside, flushed and renamed in whole: a server sends
// the old file or the new one, never a part, and since a rename gives the
// file a new inode and time, its validators (ETag, Last-Modified) change
// with it. The .gz goes first: once the new "GUIDDB.DAT" is in place, the
// compressed copy that belongs to it is already there. A table equal to the
// one published is left alone, so that the agents' conditional refreshes see
// no change.
//
// The table is opened and checked under the machine-wide mutex, then copied
// from the open descriptor without it: the library replaces the file only
// by renaming another over it, so the descriptor keeps its version and the
// agents do not wait for the copy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <vector>

#include "host/Files.h"
#include "host/Locks.h"
#include "tools/Commands.h"

namespace guidlookup {
namespace {

constexpr size_t kBlock = size_t{1} << 20;

// Calls `take` with each block of `fd` from its start; false (errno set)
// when a read fails or `take` refuses.
template <typename Take>
bool EachBlock(int fd, Take take) {
  std::vector<char> block(kBlock);
  for (off_t offset = 0;;) {
    ssize_t n = ::pread(fd, block.data(), block.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!take(block.data(), static_cast<size_t>(n))) return false;
    offset += n;
  }
}

bool SameContent(int fd, const std::string& path) {
  hostfs::ScopedFd other(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat a, b;
  if (other.get() < 0 || ::fstat(fd, &a) != 0 || ::fstat(other.get(), &b) != 0 ||
      a.st_size != b.st_size)
    return false;
  std::vector<char> theirs(kBlock);
  off_t offset = 0;
  return EachBlock(fd, [&](const char* data, size_t size) {
    size_t got = 0;
    while (got < size) {
      ssize_t n = ::pread(other.get(), theirs.data() + got, size - got, offset + got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    offset += static_cast<off_t>(size);
    return std::equal(data, data + size, theirs.data());
  });
}

// gzip of the whole of `in` into `out`, with no name and no time in its
// header, so that one table always gives the same bytes.
bool Gzip(int in, int out) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    errno = ENOMEM;
    return false;
  }
  std::vector<unsigned char> buffer(kBlock);
  auto pump = [&](int flush) {
    do {
      z.next_out = buffer.data();
      z.avail_out = static_cast<uInt>(buffer.size());
      if (deflate(&z, flush) == Z_STREAM_ERROR) return errno = EIO, false;
      const size_t have = buffer.size() - z.avail_out;
      if (!hostfs::WriteAll(out, reinterpret_cast<const char*>(buffer.data()), have)) return false;
    } while (z.avail_out == 0);
    return true;
  };
  bool ok = EachBlock(in, [&](const char* data, size_t size) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(size);
    return pump(Z_NO_FLUSH);
  });
  ok = ok && pump(Z_FINISH);
  deflateEnd(&z);
  return ok;
}

}  // namespace

int RunPublish(const ToolContext& context, const PublishOptions& options) {
  RequireHome(context);
  RequireGuidCacheFolder(context);
  struct stat st;
  if (::stat(options.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw ToolError(kExitUsage, options.folder + " is not a folder");
  const std::string database = DatabasePath(GuidCacheDir(context));
  const std::string published = options.folder + "/GUIDDB.DAT";
  const auto start = std::chrono::steady_clock::now();

  int fd = -1;
  {
    CNamedMutex mutex("SQLITE_ACCESS_LOCK", nullptr, false);
    CNamedMutexLock lock(mutex);
    if (!lock.locked())
      throw ToolError(kExitFailure,
                      "cannot take the lock of the table (" + mutex.lockFilePath() + ")");
    const std::string why = CGuidDB::VerifyFile(database, nullptr, true);
    if (!why.empty())
      throw ToolError(kExitFailure, "the local table " + database + " cannot be published: " + why);
    fd = ::open(database.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      throw ToolError(kExitFailure, "cannot read " + database + ": " + hostfs::ErrnoText(errno));
  }
  hostfs::ScopedFd table(fd);

  const bool unchanged =
      SameContent(fd, published) && ::access((published + ".gz").c_str(), F_OK) == 0;
  if (!unchanged) {
    std::string error;
    // Readable by the web server, whatever this process's umask.
    if (!hostfs::AtomicReplace(
            published + ".gz", [fd](int out) { return Gzip(fd, out); }, &error, 0644))
      throw ToolError(kExitFailure, "publish failed, nothing was changed: " + error);
    const bool copied = hostfs::AtomicReplace(
        published,
        [fd](int out) {
          return EachBlock(fd, [out](const char* data, size_t size) {
            return hostfs::WriteAll(out, data, size);
          });
        },
        &error, 0644);
    if (!copied) {
      // Without its .gz the server sends the old file itself, rather than a
      // compressed copy of a table it does not hold.
      ::unlink((published + ".gz").c_str());
      throw ToolError(kExitFailure,
                      "publish failed, " + published + " was left as it was: " + error);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (options.json) {
    std::cout << JsonObject()
                     .add("database", database)
                     .add("published", published)
                     .add("compressed", published + ".gz")
                     .addBool("changed", !unchanged)
                     .addNumber("seconds", seconds)
                     .str()
              << "\n";
  } else if (unchanged) {
    std::cout << published << " already holds " << database << "; nothing was changed\n";
  } else {
    char line[64];
    std::snprintf(line, sizeof line, " in %.2f s", seconds);
    std::cout << "published " << database << " as " << published << " and " << published << ".gz"
              << line << "\n";
  }
  return kExitOk;
}

}  // namespace guidlookup
