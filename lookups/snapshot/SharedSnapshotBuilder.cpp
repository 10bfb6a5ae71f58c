#include "lookups/snapshot/SharedSnapshotBuilder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "guiddb/CacheFiles.h"
#include "host/Files.h"
#include "host/StagedFile.h"
#include "lookups/snapshot/SnapshotFormat.h"

using namespace snapshotformat;

namespace {

// Longer than any file system's timestamp granularity (up to two seconds).
constexpr int64_t kSettleNs = 2'000'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
// Pending bytes are written once they pass this, at a group's end.
constexpr size_t kSpillBytes = 1 << 20;

bool ReadAt(int fd, void* data, size_t size, uint64_t at) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

// ---- source ----------------------------------------------------------------

bool SSnapshotSource::Of(const std::string& folder, bool exchange, bool addProxySmtp,
                         SSnapshotSource& out) {
  out.database = folder + "/" GUIDDB_NAME;
  const int fd = ::open(out.database.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  unsigned char head[100] = {0};
  const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  (st.st_size < 100 || ReadAt(fd, head, sizeof(head), 0));
  ::close(fd);
  if (!ok) return false;
  out.device = st.st_dev;
  out.inode = st.st_ino;
  out.size = static_cast<uint64_t>(st.st_size);
  out.mtimeSec = st.st_mtim.tv_sec;
  out.mtimeNsec = st.st_mtim.tv_nsec;
  out.ctimeSec = st.st_ctim.tv_sec;
  out.ctimeNsec = st.st_ctim.tv_nsec;
  out.headDigest = Checksum(head, sizeof(head));
  out.exchange = exchange;
  out.addProxySmtp = exchange && addProxySmtp;
  out.caseTable = CtypeFingerprint();
  timespec clock{};
  ::clock_gettime(CLOCK_REALTIME, &clock);
  const int64_t now = clock.tv_sec * kNsPerSecond + clock.tv_nsec;
  const int64_t changed = std::max(out.mtimeSec * kNsPerSecond + out.mtimeNsec,
                                   out.ctimeSec * kNsPerSecond + out.ctimeNsec);
  out.young = now - changed < kSettleNs;
  out.contentDigest = 0;
  return true;
}

bool SSnapshotSource::DigestOf(const std::string& path, uint64_t& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  std::string buffer(1 << 20, '\0');
  uint64_t h = 0x84222325cbf29ce4ull;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, &buffer[0], buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    h = (h ^ HashKey(buffer.data(), static_cast<size_t>(n))) * 0x100000001b3ull;
  }
  ::close(fd);
  out = h;
  return ok;
}

bool SSnapshotSource::operator==(const SSnapshotSource& o) const {
  return device == o.device && inode == o.inode && size == o.size && mtimeSec == o.mtimeSec &&
         mtimeNsec == o.mtimeNsec && ctimeSec == o.ctimeSec && ctimeNsec == o.ctimeNsec &&
         headDigest == o.headDigest && exchange == o.exchange && addProxySmtp == o.addProxySmtp &&
         caseTable == o.caseTable;
}

// ---- builder ---------------------------------------------------------------

SharedSnapshotBuilder::SharedSnapshotBuilder(bool exchange, bool addProxySmtp, size_t rowHint)
    : exchange_(exchange), addProxySmtp_(exchange && addProxySmtp) {
  try {
    slots_.reserve(rowHint + rowHint / 4);
    pending_.reserve(kSpillBytes + (64 << 10));
  } catch (...) {
    // only a hint; the vectors grow as needed
  }
}

SharedSnapshotBuilder::~SharedSnapshotBuilder() = default;

void SharedSnapshotBuilder::Fail(const std::string& why) {
  if (!failed_) error_ = why;
  failed_ = true;
  pending_.clear();
  pending_.shrink_to_fit();
  std::vector<Slot>().swap(slots_);
}

bool SharedSnapshotBuilder::Begin(const std::string& folder, std::string* error) {
  hostfs::StagedFileOptions options;
  options.prefix = cachefiles::kSnapshotTempPrefix;
  options.withPid = true;
  options.finalMode = 0644;  // readers of other processes need it, whatever the umask
  file_ = std::make_unique<hostfs::StagedFile>();
  if (const int err = file_->Create(folder, options)) {
    Fail("cannot create a file in " + folder + " (" + hostfs::ErrnoText(err) + ")");
    if (error) *error = error_;
    return false;
  }
  pending_.assign(kHeaderSize, '\0');  // written for real by Install
  pendingAt_ = 0;
  return true;
}

// Writes what is pending, only ever at a group's end.
void SharedSnapshotBuilder::Spill(bool force) {
  if (failed_ || pending_.empty() || (!force && pending_.size() < kSpillBytes)) return;
  if (const int err = file_->Write(pending_.data(), pending_.size())) {
    Fail("cannot write " + file_->path() + " (" + hostfs::ErrnoText(err) + ")");
    return;
  }
  pendingAt_ += pending_.size();
  pending_.clear();
}

void SharedSnapshotBuilder::EndGroup() {
  if (!inGroup_) return;
  inGroup_ = false;
  if (failed_) return;  // what the group had written is dropped already
  pending_.push_back('\0');
  const uint64_t end = pendingAt_ + pending_.size();
  if (end > kMaxOffset) return Fail("the table is too large for a snapshot");
  const size_t at = static_cast<size_t>(groupAt_ - pendingAt_);
  const uint32_t length = static_cast<uint32_t>(end - groupAt_);
  Put<uint32_t>(pending_, at, length);
  Put<uint32_t>(
      pending_, at + 4,
      GroupChecksum(reinterpret_cast<const unsigned char*>(pending_.data()) + at, length));
  Spill(false);
}

void SharedSnapshotBuilder::Take(GuidGroup& group) {
  StartGroup(group.guid, group.records);
  for (const std::string& key : group.keys) AddKey(key);
  EndGroup();
}

void SharedSnapshotBuilder::StartGroup(const std::string& guidKey, const GuidRecordMap& map) {
  if (failed_ || finished_ || !file_) return;
  inGroup_ = true;
  groupAt_ = pendingAt_ + pending_.size();
  Append<uint32_t>(pending_, 0);  // length and checksum, set at the group's end
  Append<uint32_t>(pending_, 0);
  Append<uint32_t>(pending_, static_cast<uint32_t>(map.size()));
  guidAt_ = pendingAt_ + pending_.size();
  guid_ = guidKey;
  AppendVarint(pending_, guidKey.size());
  pending_ += guidKey;
  const std::string xGuid = cachekey::XForm(guidKey);
  names_.clear();
  for (const auto& entry : map) {
    const SGuidRecord& r = entry.second;
    if (entry.first != r.status) return Fail("a record is filed under another status");
    Append<int32_t>(pending_, r.status);
    if (r.guid == guidKey) {
      pending_.push_back('\0');
    } else if (r.guid == xGuid) {
      pending_.push_back('\1');
    } else {
      pending_.push_back('\2');
      AppendVarint(pending_, r.guid.size());
      pending_ += r.guid;
    }
    const uint64_t nameAt = pendingAt_ + pending_.size();
    AppendVarint(pending_, r.name.size());
    names_.push_back({nameAt, pending_.size(), r.name.size(),
                      cachekey::StatusMakesKey(exchange_, addProxySmtp_, r.status)});
    pending_ += r.name;
  }
  ++groupCount_;
  rowCount_ += map.size();
  slots_.push_back(
      {HashKey(guidKey.data(), guidKey.size()), uint32_t(groupAt_), uint32_t(guidAt_)});
}

void SharedSnapshotBuilder::AddKey(const std::string& key) {
  if (failed_ || finished_ || !inGroup_) return;
  uint64_t keyAt = 0;
  size_t which = 0;
  for (size_t i = 0; i < names_.size(); ++i) {
    const Name& name = names_[i];
    if (name.keyed && cachekey::IsForm(pending_.data() + name.textAt, name.length, key, cases_)) {
      which = i + 2;
      keyAt = name.at;
      break;
    }
  }
  if (which == 0) {
    if (guid_ != key) return Fail("a key is neither its group's GUID nor one of its names");
    which = 1;
    keyAt = guidAt_;
  }
  AppendVarint(pending_, which);
  slots_.push_back({HashKey(key.data(), key.size()), uint32_t(groupAt_), uint32_t(keyAt)});
}

void SharedSnapshotBuilder::Finish(const recordInfo_t& counters) {
  if (finished_) return;
  Spill(true);
  finished_ = true;
  counters_[0] = counters.uniqueGUIDs;
  counters_[1] = counters.totalCacheRecords;
  counters_[2] = counters.emptyRecords;
}

uint64_t SharedSnapshotBuilder::SlotCount() const {
  // A load factor of at most 0.7 keeps probe runs short.
  uint64_t slotCount = 8;
  while (slotCount * 7 < slots_.size() * 10 + 10) slotCount *= 2;
  return slotCount;
}

std::string SharedSnapshotBuilder::Header(const SSnapshotSource& source, uint64_t slotCount,
                                          uint64_t keys) const {
  const uint64_t groupsEnd = pendingAt_;
  std::string out(kHeaderSize, '\0');
  std::memcpy(&out[kMagicAt], kMagic, sizeof(kMagic));
  Put<uint32_t>(out, kOrderAt, kByteOrder);
  Put<uint32_t>(out, kVersionAt, kVersion);
  Put<uint64_t>(out, kFileSizeAt, groupsEnd + slotCount * kSlotSize);
  Put<uint64_t>(out, kDeviceAt, source.device);
  Put<uint64_t>(out, kInodeAt, source.inode);
  Put<uint64_t>(out, kDbSizeAt, source.size);
  Put<int64_t>(out, kMtimeSecAt, source.mtimeSec);
  Put<int64_t>(out, kMtimeNsecAt, source.mtimeNsec);
  Put<int64_t>(out, kCtimeSecAt, source.ctimeSec);
  Put<int64_t>(out, kCtimeNsecAt, source.ctimeNsec);
  Put<uint64_t>(out, kDbHeadAt, source.headDigest);
  Put<uint64_t>(out, kContentAt, source.young ? source.contentDigest : 0);
  Put<uint32_t>(out, kLoaderAt, exchange_ ? 1 : 2);
  Put<uint32_t>(out, kProxyAt, addProxySmtp_ ? 1 : 0);
  Put<uint32_t>(out, kCtypeAt, source.caseTable);
  Put<uint32_t>(out, kYoungAt, source.young ? 1 : 0);
  for (int i = 0; i < 3; ++i) Put<int32_t>(out, kCountersAt + 4 * i, counters_[i]);
  Put<uint64_t>(out, kGroupsBeginAt, kHeaderSize);
  Put<uint64_t>(out, kGroupsEndAt, groupsEnd);
  Put<uint64_t>(out, kSlotsAt, groupsEnd);
  Put<uint64_t>(out, kSlotCountAt, slotCount);
  Put<uint64_t>(out, kKeyCountAt, keys);
  Put<uint64_t>(out, kRowCountAt, rowCount_);
  Put<uint64_t>(out, kGroupCountAt, groupCount_);
  Put<uint64_t>(out, kChecksumAt,
                Checksum(reinterpret_cast<const unsigned char*>(out.data()), kChecksumAt));
  return out;
}

bool SharedSnapshotBuilder::KeyText(const Slot& slot, std::string& out) const {
  unsigned char head[10];
  const uint64_t available = pendingAt_ - slot.keyAt;
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(sizeof(head), available));
  if (!ReadAt(file_->fd(), head, headSize, slot.keyAt)) return false;
  uint64_t length = 0;
  size_t used = 0;
  for (int shift = 0; used < headSize && shift < 64; shift += 7) {
    const unsigned char b = head[used++];
    length |= uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) break;
  }
  std::string text(static_cast<size_t>(length), '\0');
  if (length > 0 && !ReadAt(file_->fd(), &text[0], text.size(), slot.keyAt + used)) return false;
  if (slot.keyAt == slot.groupAt + kGroupHead) {
    out.swap(text);
  } else {
    out = cachekey::Form(text.data(), text.size(), cases_);
  }
  return true;
}

// The first group that offers a key keeps it, as in the in-heap cache. Keys
// of one hash are compared by their text, read back from the file.
bool SharedSnapshotBuilder::PlaceKeys(std::string& table, uint64_t slotCount,
                                      uint64_t& keys) const {
  const uint64_t mask = slotCount - 1;
  std::vector<uint64_t> hashes(slotCount, 0);
  std::string placed, candidate;
  for (const Slot& s : slots_) {
    uint64_t i = s.hash & mask;
    bool taken = false;
    for (;; i = (i + 1) & mask) {
      const unsigned char* slot = reinterpret_cast<const unsigned char*>(&table[i * kSlotSize]);
      if (Get<uint32_t>(slot + 4) == 0) break;
      if (hashes[i] != s.hash) continue;
      const Slot other{hashes[i], Get<uint32_t>(slot + 4), Get<uint32_t>(slot + 8)};
      if (!KeyText(other, placed) || !KeyText(s, candidate)) return false;
      if (placed == candidate) {
        taken = true;
        break;
      }
    }
    if (taken) continue;
    hashes[i] = s.hash;
    Put<uint32_t>(table, i * kSlotSize, static_cast<uint32_t>(s.hash >> 32));
    Put<uint32_t>(table, i * kSlotSize + 4, s.groupAt);
    Put<uint32_t>(table, i * kSlotSize + 8, s.keyAt);
    ++keys;
  }
  return true;
}

bool SharedSnapshotBuilder::Install(const std::string& path, const SSnapshotSource& source,
                                    std::string* error) {
  auto fail = [&](const std::string& why) {
    if (file_) file_->Abandon();
    if (error) *error = why;
    return false;
  };
  if (!file_ || !finished_) return fail("the load did not finish");
  if (failed_) return fail(error_);
  try {
    const uint64_t slotCount = SlotCount();
    std::string table(slotCount * kSlotSize, '\0');
    uint64_t keys = 0;
    if (!PlaceKeys(table, slotCount, keys)) return fail("cannot read back " + file_->path());
    std::vector<Slot>().swap(slots_);
    const std::string header = Header(source, slotCount, keys);
    int err = file_->Write(table.data(), table.size());
    errno = 0;
    if (err == 0 && ::pwrite(file_->fd(), header.data(), header.size(), 0) !=
                        static_cast<ssize_t>(header.size()))
      err = errno != 0 ? errno : EIO;
    if (err != 0)
      return fail("cannot write " + file_->path() + " (" + hostfs::ErrnoText(err) + ")");
  } catch (...) {
    return fail("out of memory");
  }
  const std::string temp = file_->path();
  if (const int err = file_->Flush())
    return fail("cannot flush " + temp + " (" + hostfs::ErrnoText(err) + ")");
  // A link at `path` is replaced, never followed: Open refuses links anyway.
  if (const int err = file_->Install(path, false))
    return fail("cannot rename " + temp + " over the snapshot (" + hostfs::ErrnoText(err) + ")");
  return true;
}
