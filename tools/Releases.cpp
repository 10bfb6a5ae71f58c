#include "tools/Releases.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "guiddb/GuidDB.h"
#include "host/FileSystem.h"
#include "host/Files.h"
#include "host/StagedFile.h"
#include "lookups/refresh/RowDelta.h"

namespace guidlookup {

volatile std::sig_atomic_t publishStopSignal = 0;

namespace {

constexpr size_t kBlock = size_t{1} << 20;
constexpr char kStagingPrefix[] = ".staging-";
constexpr char kLinkPrefix[] = ".link-";
constexpr char kLockName[] = ".publish.lock";
constexpr char kDeltasFolder[] = "deltas";

[[noreturn]] void Fail(const std::string& what, int err) {
  throw ToolError(kExitFailure, what + ": " + hostfs::ErrnoText(err));
}

void HandleStop(int sig) { publishStopSignal = sig; }

// Calls `take` with each block of `fd` from its start; false (errno set)
// when a read fails, `take` refuses, or a stop was asked for (errno EINTR).
template <typename Take>
bool EachBlock(int fd, Take take) {
  std::vector<char> block(kBlock);
  for (off_t offset = 0;;) {
    if (publishStopSignal != 0) return errno = EINTR, false;
    ssize_t n = ::pread(fd, block.data(), block.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!take(block.data(), static_cast<size_t>(n))) return false;
    offset += n;
  }
}

}  // namespace

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

namespace {

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

// Creates `path` (mode 0644 whatever the umask: the web server reads it),
// lets `write` fill it, gives it `mtime` and flushes it. Throws on failure;
// the caller's staging folder takes the file away.
// Failures name the file by its release name: the staging folder they were
// written in is gone by the time the operator reads the line.
template <typename Write>
void WriteReleaseFile(const std::string& path, long long mtime, Write write) {
  const std::string name = "the new release's " + path.substr(path.rfind('/') + 1);
  int fd = -1;
  if (const int err = hostfs::FileSystemInUse().CreateExclusive(path, 0644, fd))
    Fail("cannot create " + name, err);
  hostfs::ScopedFd owned(fd);
  if (!write(fd) || ::fchmod(fd, 0644) != 0) {
    if (errno == EINTR && publishStopSignal != 0) return;  // the caller stops
    Fail("cannot write " + name, errno);
  }
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  if (::futimens(fd, times) != 0) Fail("cannot set the time of " + name, errno);
  if (const int err = hostfs::FileSystemInUse().Fsync(fd)) Fail("cannot flush " + name, err);
}

// A folder made under `parent` that goes away, with what it holds, unless
// kept; renaming it moves what it names.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& parent) {
    std::string pattern = parent + "/" + kStagingPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) Fail("cannot make a folder in " + parent, errno);
    path_ = name.data();
    ::chmod(path_.c_str(), 0755);  // the web server walks it
  }
  ~ScratchFolder() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  void MovedTo(const std::string& path) { path_ = path; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// The release id of this moment, UTC to the microsecond: ids sort as they
// were made.
std::string IdOfNow(long long offsetMicros) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  long long micros = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  micros += offsetMicros;
  const time_t seconds = static_cast<time_t>(micros / 1000000);
  tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
  char id[64];
  std::snprintf(id, sizeof id, "%s.%06lldZ", text, micros % 1000000);
  return id;
}

std::string IsoUtc(time_t seconds) {
  tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Puts a symbolic link to `target` at `path` by renaming a new link over
// whatever is there: a reader finds the old entry or the new link.
void PlaceLink(const std::string& folder, const std::string& name, const std::string& target) {
  const std::string path = folder + "/" + name;
  for (int attempt = 0;; ++attempt) {
    const std::string temp =
        folder + "/" + kLinkPrefix + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
      if (errno == EEXIST && attempt < 100) continue;
      Fail("cannot make a link in " + folder, errno);
    }
    if (const int err = hostfs::FileSystemInUse().Rename(temp, path)) {
      ::unlink(temp.c_str());
      Fail("cannot put the link " + path + " in place", err);
    }
    hostfs::FileSystemInUse().SyncFolder(folder);
    return;
  }
}

// Adds the size and SHA-256 of both files of the release in `folder`, as
// written, to `r`.
void ReadBackFiles(const std::string& folder, Release& r) {
  for (const char* name : {kPublishedName, kCompressedName}) {
    ReleaseFile file;
    file.name = name;
    if (!Sha256File(folder + "/" + name, file.sha256, file.size))
      Fail("cannot read back " + folder + "/" + name, errno);
    r.files.push_back(file);
  }
}

}  // namespace

bool Sha256File(const std::string& path, std::string& hex, long long& size) {
  hostfs::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return errno = ENOMEM, false;
  size = 0;
  std::vector<char> block(kBlock);
  for (;;) {
    ssize_t n = ::read(fd.get(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n));
    size += n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  hex.clear();
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return true;
}

StopOnSignals::StopOnSignals() {
  publishStopSignal = 0;
  struct sigaction action {};
  action.sa_handler = HandleStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait for the lock returns to look at the flag. A second
  // signal ends the process the default way.
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, &oldInt_);
  sigaction(SIGTERM, &action, &oldTerm_);
}

StopOnSignals::~StopOnSignals() {
  sigaction(SIGINT, &oldInt_, nullptr);
  sigaction(SIGTERM, &oldTerm_, nullptr);
}

ReleaseStore::ReleaseStore(std::string root, StepObserver observer, DeltaPolicy deltas)
    : root_(std::move(root)),
      releases_(root_ + "/releases"),
      observer_(observer),
      deltaPolicy_(deltas) {}

ReleaseStore::~ReleaseStore() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

void ReleaseStore::StopIfAsked() {
  const int sig = publishStopSignal;
  if (sig == 0) return;
  throw ToolError(128 + sig, std::string("publish stopped by ") +
                                 (sig == SIGINT ? "SIGINT" : "SIGTERM") + ": " + root_ +
                                 "/current was left as it was");
}

void ReleaseStore::Step(const char* name) {
  if (observer_ != nullptr) observer_(name);
  StopIfAsked();
}

std::vector<std::string> ReleaseStore::Lock() {
  const std::string path = root_ + "/" + kLockName;
  lockFd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) Fail("cannot open the publisher's lock " + path, errno);
  while (::flock(lockFd_, LOCK_EX) != 0) {
    if (errno != EINTR) Fail("cannot take the publisher's lock " + path, errno);
    StopIfAsked();
  }
  // Under the lock no other publisher runs: whatever is staged or half
  // linked is a dead one's. Files of the flat layout's writer go too.
  std::vector<std::string> removed;
  std::error_code ignored;
  for (const std::string& name : Entries(releases_))
    if (StartsWith(name, kStagingPrefix) &&
        std::filesystem::remove_all(releases_ + "/" + name, ignored) > 0)
      removed.push_back(releases_ + "/" + name);
  for (const std::string& name : Entries(root_))
    if ((StartsWith(name, kLinkPrefix) || StartsWith(name, ".GUIDDB.DAT.tmp") ||
         StartsWith(name, ".GUIDDB.DAT.gz.tmp")) &&
        ::unlink((root_ + "/" + name).c_str()) == 0)
      removed.push_back(root_ + "/" + name);
  if (::mkdir(releases_.c_str(), 0755) != 0 && errno != EEXIST)
    Fail("cannot make " + releases_, errno);
  return removed;
}

std::string ReleaseStore::FolderOf(const std::string& id) const { return releases_ + "/" + id; }

std::string ReleaseStore::LiveId() const {
  char target[4096];
  const ssize_t n = ::readlink((root_ + "/current").c_str(), target, sizeof target - 1);
  if (n <= 0) return std::string();
  const std::string text(target, static_cast<size_t>(n));
  return StartsWith(text, "releases/") ? text.substr(9) : std::string();
}

std::vector<Release> ReleaseStore::List() const {
  std::vector<Release> list;
  const std::string live = LiveId();
  for (const std::string& name : Entries(releases_)) {
    if (name[0] == '.') continue;
    Release r;
    std::string problem;
    if (!ReadManifest(FolderOf(name) + "/" + kManifestName, r, problem)) r.problem = problem;
    r.id = name;
    r.live = name == live;
    list.push_back(r);
  }
  return list;
}

std::string ReleaseStore::Verify(const Release& r) const {
  if (!r.problem.empty()) return r.problem;
  std::string problems;
  auto add = [&](const std::string& what) { problems += (problems.empty() ? "" : "; ") + what; };
  for (const char* needed : {kPublishedName, kCompressedName}) {
    const bool listed = std::any_of(r.files.begin(), r.files.end(),
                                    [&](const ReleaseFile& f) { return f.name == needed; });
    if (!listed) add(std::string(needed) + " is not in the manifest");
  }
  std::vector<ReleaseFile> files = r.files;
  for (const ManifestDelta& delta : r.deltas) files.push_back(delta.file);
  for (const ReleaseFile& file : files) {
    std::string hex;
    long long size = 0;
    const std::string path = FolderOf(r.id) + "/" + file.name;
    // A file of the release's own folder, or of its deltas' folder.
    const std::string name = StartsWith(file.name, std::string(kDeltasFolder) + "/")
                                 ? file.name.substr(sizeof kDeltasFolder)
                                 : file.name;
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
        !Sha256File(path, hex, size))
      add(path + ": cannot be read (" + hostfs::ErrnoText(errno) + ")");
    else if (size != file.size)
      add(path + ": " + std::to_string(size) + " bytes, the manifest says " +
          std::to_string(file.size));
    else if (hex != file.sha256)
      add(path + ": its SHA-256 is not the manifest's");
  }
  return problems;
}

long long ReleaseStore::LiveMtime() const {
  const std::string live = LiveId();
  long long latest = -1;
  for (const char* name : {kPublishedName, kCompressedName}) {
    struct stat st;
    if (!live.empty() && ::stat((FolderOf(live) + "/" + name).c_str(), &st) == 0)
      latest = std::max<long long>(latest, st.st_mtim.tv_sec);
  }
  return latest;
}

void ReleaseStore::WriteManifest(const std::string& folder, const Release& r, long long mtime) {
  const std::string text = ManifestText(r);
  WriteReleaseFile(folder + "/" + kManifestName, mtime,
                   [&](int fd) { return hostfs::WriteAll(fd, text.data(), text.size()); });
}

void ReleaseStore::AddDigestAndDeltas(const std::string& folder, Release& r, long long mtime) {
  const auto start = std::chrono::steady_clock::now();
  const std::string table = folder + "/" + kPublishedName;
  RowSetDigest digest;
  const Status read = RowSetDigest::OfFile(table, digest);
  if (!read.ok())
    throw ToolError(kExitFailure, "cannot read back the new release's table: " + read.context());
  r.digest = digest.Hex();
  long long compressed = 0;
  for (const ReleaseFile& file : r.files)
    if (file.name == kCompressedName) compressed = file.size;
  std::vector<std::string> earlier;
  for (const std::string& name : Entries(releases_))
    if (name[0] != '.') earlier.push_back(name);
  std::reverse(earlier.begin(), earlier.end());  // newest first
  if (earlier.size() > static_cast<size_t>(std::max(deltaPolicy_.keep, 0)))
    earlier.resize(static_cast<size_t>(std::max(deltaPolicy_.keep, 0)));
  const std::string deltas = folder + "/" + kDeltasFolder;
  for (const std::string& from : earlier) {
    StopIfAsked();
    RowDelta delta;
    // An earlier release whose table cannot be read gets no delta: its
    // agents take the whole file, as before.
    if (!DiffTables(FolderOf(from) + "/" + kPublishedName, table, delta).ok()) continue;
    delta.fromId = from;
    delta.toId = r.id;
    delta.digest = r.digest;
    const std::string gz = EncodeRowDelta(delta);
    if (static_cast<long long>(gz.size()) * 100 > compressed * deltaPolicy_.maxSharePercent)
      continue;
    if (::mkdir(deltas.c_str(), 0755) != 0 && errno != EEXIST)
      Fail("cannot make the new release's deltas folder", errno);
    ::chmod(deltas.c_str(), 0755);  // the web server walks it
    ManifestDelta listed;
    listed.from = from;
    listed.file.name = std::string(kDeltasFolder) + "/" + from + ".delta.gz";
    WriteReleaseFile(folder + "/" + listed.file.name, mtime,
                     [&](int fd) { return hostfs::WriteAll(fd, gz.data(), gz.size()); });
    if (!Sha256File(folder + "/" + listed.file.name, listed.file.sha256, listed.file.size))
      Fail("cannot read back " + listed.file.name, errno);
    r.deltas.push_back(listed);
  }
  if (!r.deltas.empty()) hostfs::FileSystemInUse().SyncFolder(deltas);
  deltaSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ReleaseStore::Switch(const std::string& id) {
  PlaceLink(root_, "current", "releases/" + id);
  // Live now: a stop asked for from here on is too late to undo anything.
  if (observer_ != nullptr) observer_("switched");
  LinkTopLevel();
}

void ReleaseStore::LinkTopLevel() {
  for (const char* name : {kPublishedName, kCompressedName, kManifestName, kDeltasFolder}) {
    const std::string target = std::string("current/") + name;
    char now[4096];
    const ssize_t n = ::readlink((root_ + "/" + name).c_str(), now, sizeof now - 1);
    if (n > 0 && std::string(now, static_cast<size_t>(n)) == target) continue;
    PlaceLink(root_, name, target);
  }
}

std::string ReleaseStore::Publish(int tableFd, long long rows, long long guids) {
  StopIfAsked();
  // Later than the live files in whole seconds, whatever the clock says.
  const long long mtime = std::max<long long>(::time(nullptr), LiveMtime() + 1);
  ScratchFolder staging(releases_);
  Release r;
  r.time = IsoUtc(::time(nullptr));
  r.rows = rows;
  r.guids = guids;
  WriteReleaseFile(staging.path() + "/" + kPublishedName, mtime, [&](int out) {
    return EachBlock(tableFd, [out](const char* data, size_t size) {
      return hostfs::WriteAll(out, data, size);
    });
  });
  StopIfAsked();
  WriteReleaseFile(staging.path() + "/" + kCompressedName, mtime,
                   [&](int out) { return Gzip(tableFd, out); });
  StopIfAsked();
  ReadBackFiles(staging.path(), r);
  for (long long offset = 0;; ++offset) {
    r.id = IdOfNow(offset);
    struct stat st;
    if (::lstat(FolderOf(r.id).c_str(), &st) != 0) break;
  }
  AddDigestAndDeltas(staging.path(), r, mtime);
  WriteManifest(staging.path(), r, mtime);
  hostfs::FileSystemInUse().SyncFolder(staging.path());
  Step("staged");
  if (const int err = hostfs::FileSystemInUse().Rename(staging.path(), FolderOf(r.id)))
    Fail("cannot rename " + staging.path() + " to " + FolderOf(r.id), err);
  staging.MovedTo(FolderOf(r.id));
  hostfs::FileSystemInUse().SyncFolder(releases_);
  Step("renamed");
  // A release that could not be switched to is not left behind.
  PlaceLink(root_, "current", "releases/" + r.id);
  staging.Keep();
  if (observer_ != nullptr) observer_("switched");
  LinkTopLevel();
  return r.id;
}

void ReleaseStore::MakeLive(const std::string& id) {
  struct stat st;
  if (id.empty() || id[0] == '.' || id.find('/') != std::string::npos ||
      ::stat(FolderOf(id).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw ToolError(kExitUsage, "there is no release " + id + " in " + releases_);
  Release r;
  std::string problem;
  if (!ReadManifest(FolderOf(id) + "/" + kManifestName, r, problem))
    throw ToolError(kExitFailure, "release " + id + " cannot be made live: " + problem);
  r.id = id;
  const std::string why = Verify(r);
  if (!why.empty()) throw ToolError(kExitFailure, "release " + id + " cannot be made live: " + why);
  const long long mtime = std::max<long long>(::time(nullptr), LiveMtime() + 1);
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  for (const char* name : {kPublishedName, kCompressedName})
    if (::utimensat(AT_FDCWD, (FolderOf(id) + "/" + name).c_str(), times, 0) != 0)
      Fail("cannot set the time of " + FolderOf(id) + "/" + name, errno);
  Step("staged");
  Switch(id);
}

std::vector<std::string> ReleaseStore::Prune(int keep) {
  std::vector<std::string> removed;
  const std::string live = LiveId();
  std::vector<std::string> ids;
  for (const std::string& name : Entries(releases_))
    if (name[0] != '.') ids.push_back(name);
  size_t count = ids.size();
  std::error_code ignored;
  for (const std::string& id : ids) {  // oldest first
    if (count <= static_cast<size_t>(std::max(keep, 1))) break;
    if (id == live) continue;
    std::filesystem::remove_all(FolderOf(id), ignored);
    removed.push_back(id);
    --count;
  }
  return removed;
}

bool ReleaseStore::TakeOver() {
  const std::string flat = root_ + "/" + kPublishedName;
  struct stat st;
  if (!LiveId().empty() || ::lstat(flat.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  long rows = 0, guids = 0;
  std::string error;
  // A file that is no table is not worth keeping: the next release replaces it.
  if (!CGuidDB::CountFile(flat, rows, guids, error)) return false;
  ScratchFolder staging(releases_);
  Release r;
  r.time = IsoUtc(st.st_mtim.tv_sec);
  r.rows = rows;
  r.guids = guids;
  // The flat files themselves, linked, keep their validators: agents that
  // hold them get 304 as before.
  if (::link(flat.c_str(), (staging.path() + "/" + kPublishedName).c_str()) != 0)
    Fail("cannot link " + flat + " into " + staging.path(), errno);
  hostfs::ScopedFd table(::open(flat.c_str(), O_RDONLY | O_CLOEXEC));
  if (table.get() < 0) Fail("cannot read " + flat, errno);
  const std::string flatGz = root_ + "/" + kCompressedName;
  const std::string fresh = staging.path() + "/" + kCompressedName;
  WriteReleaseFile(fresh, st.st_mtim.tv_sec, [&](int out) { return Gzip(table.get(), out); });
  StopIfAsked();
  {
    hostfs::ScopedFd made(::open(fresh.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat gz;
    if (::lstat(flatGz.c_str(), &gz) == 0 && S_ISREG(gz.st_mode) && made.get() >= 0 &&
        SameContent(made.get(), flatGz)) {
      ::unlink(fresh.c_str());
      if (::link(flatGz.c_str(), fresh.c_str()) != 0) Fail("cannot link " + flatGz, errno);
    }
  }
  ReadBackFiles(staging.path(), r);
  r.id = IdOfNow(0);
  WriteManifest(staging.path(), r, st.st_mtim.tv_sec);
  hostfs::FileSystemInUse().SyncFolder(staging.path());
  if (const int err = hostfs::FileSystemInUse().Rename(staging.path(), FolderOf(r.id)))
    Fail("cannot rename " + staging.path() + " to " + FolderOf(r.id), err);
  staging.MovedTo(FolderOf(r.id));
  hostfs::FileSystemInUse().SyncFolder(releases_);
  staging.Keep();
  PlaceLink(root_, "current", "releases/" + r.id);
  LinkTopLevel();
  return true;
}

}  // namespace guidlookup
