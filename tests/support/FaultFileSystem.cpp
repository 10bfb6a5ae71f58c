#include "support/FaultFileSystem.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealFolder(const std::string& folder) {
  char real[PATH_MAX];
  return ::realpath(folder.c_str(), real) != nullptr ? std::string(real) : folder;
}

// The path with its folder resolved, as /proc names an open file; the file
// itself need not exist.
std::string Canonical(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return RealFolder(FolderOf(path)) + "/" + base;
}

std::string PathOfDescriptor(int fd) {
  char buf[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

FaultFileSystem::FaultFileSystem() { previous_ = hostfs::InstallFileSystem(this); }

FaultFileSystem::~FaultFileSystem() { hostfs::InstallFileSystem(previous_); }

void FaultFileSystem::FailFrom(Op op, int err, int nth) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[op] = {nth, err};
}

void FaultFileSystem::CrashAt(Step step, int nth, const std::string& root,
                              const std::string& image) {
  std::lock_guard<std::mutex> lock(mutex_);
  crashStep_ = step;
  crashNth_ = nth;
  root_ = RealFolder(root);
  image_ = image;
}

bool FaultFileSystem::crashed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return crashed_;
}

int FaultFileSystem::calls(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

bool FaultFileSystem::Injected(Op op, int& err) {
  const int call = ++calls_[op];
  auto it = failures_.find(op);
  if (it == failures_.end() || call < it->second.first) return false;
  err = it->second.second;
  return true;
}

void FaultFileSystem::Reached(Step step) {
  const int times = ++reached_[step];
  if (crashNth_ == 0 || crashed_ || step != crashStep_ || times != crashNth_) return;
  crashed_ = true;
  TakeImage();
}

int FaultFileSystem::CreateExclusive(const std::string& path, unsigned mode, int& fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  int err = 0;
  if (Injected(Op::kCreate, err)) return err;
  err = FileSystem::CreateExclusive(path, mode, fd);
  if (err != 0) return err;
  const std::string created = Canonical(path);
  flushedSize_[created] = 0;
  Pending p;
  p.path = created;
  p.folder = FolderOf(created);
  pending_.push_back(p);
  return 0;
}

int FaultFileSystem::Fsync(int fd) { return Flush(fd, false); }

int FaultFileSystem::Fdatasync(int fd) { return Flush(fd, true); }

int FaultFileSystem::Flush(int fd, bool dataOnly) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reached(Step::kWritten);
  int err = 0;
  if (Injected(dataOnly ? Op::kFdatasync : Op::kFsync, err)) return err;
  err = dataOnly ? FileSystem::Fdatasync(fd) : FileSystem::Fsync(fd);
  if (err != 0) return err;
  struct stat st;
  const std::string path = PathOfDescriptor(fd);
  if (!path.empty() && ::fstat(fd, &st) == 0) flushedSize_[path] = st.st_size;
  Reached(Step::kFlushed);
  return 0;
}

int FaultFileSystem::Rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  int err = 0;
  if (Injected(Op::kRename, err)) return err;
  Pending p;
  p.rename = true;
  p.from = Canonical(from);
  p.path = Canonical(to);
  p.folder = FolderOf(p.path);
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    std::ifstream in(to, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    p.hadOld = true;
    p.oldBytes = bytes.str();
    p.oldMode = st.st_mode & 07777;
  } else if (::lstat(to.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::vector<char> target(static_cast<size_t>(st.st_size) + 1);
    const ssize_t n = ::readlink(to.c_str(), target.data(), target.size());
    if (n >= 0) {
      p.hadOldLink = true;
      p.oldLink.assign(target.data(), static_cast<size_t>(n));
    }
  }
  err = FileSystem::Rename(from, to);
  if (err != 0) return err;
  auto moved = flushedSize_.find(p.from);
  if (moved != flushedSize_.end()) {
    flushedSize_[p.path] = moved->second;
    flushedSize_.erase(p.from);
  } else {
    flushedSize_.erase(p.path);
  }
  // A folder renamed takes what it holds along: its files' flushed sizes.
  const std::string fromFolder = p.from + "/";
  std::map<std::string, long long> kept;
  for (const auto& [path, size] : flushedSize_) {
    if (path.compare(0, fromFolder.size(), fromFolder) == 0)
      kept[p.path + "/" + path.substr(fromFolder.size())] = size;
    else
      kept[path] = size;
  }
  flushedSize_.swap(kept);
  pending_.push_back(p);
  Reached(Step::kRenamed);
  return 0;
}

int FaultFileSystem::SyncFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  int err = 0;
  if (Injected(Op::kSyncFolder, err)) return err;
  err = FileSystem::SyncFolder(folder);
  if (err != 0) return err;
  const std::string synced = RealFolder(folder);
  std::vector<Pending> still;
  for (Pending& p : pending_)
    if (p.folder != synced) still.push_back(std::move(p));
  pending_.swap(still);
  Reached(Step::kFolderFlushed);
  return 0;
}

// Works on the copy only: the run goes on in the real folder, as if the
// crash had not come, and the test reads the image.
void FaultFileSystem::TakeImage() {
  fs::copy(root_, image_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const std::string prefix = root_ + "/";
  auto inImage = [&](const std::string& path, std::string& out) {
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    out = image_ + "/" + path.substr(prefix.size());
    return true;
  };
  std::string img, imgFrom;
  for (const auto& entry : flushedSize_) {
    struct stat st;
    if (inImage(entry.first, img) && ::lstat(img.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size > entry.second)
      ::truncate(img.c_str(), entry.second);
  }
  for (auto p = pending_.rbegin(); p != pending_.rend(); ++p) {
    if (!p->rename || !inImage(p->path, img) || !inImage(p->from, imgFrom)) continue;
    ::rename(img.c_str(), imgFrom.c_str());
    if (p->hadOld) {
      std::ofstream(img, std::ios::binary | std::ios::trunc) << p->oldBytes;
      ::chmod(img.c_str(), p->oldMode);
    }
    if (p->hadOldLink) ::symlink(p->oldLink.c_str(), img.c_str());
  }
  for (const Pending& p : pending_)
    if (!p.rename && inImage(p.path, img)) ::unlink(img.c_str());
}

}  // namespace testsupport
