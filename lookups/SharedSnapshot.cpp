#include "lookups/SharedSnapshot.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/Files.h"
#include "host/StagedFile.h"
#include "lookups/GUIDTable.h"
#include "lookups/SnapshotFormat.h"
#include "lookups/StaticCache.h"

// The file's layout is in SnapshotFormat.h.
namespace {

using namespace snapshotformat;

const char* const kSuffixes[] = {".exchange.snapshot", ".exchange-proxy.snapshot",
                                 ".notes.snapshot"};

// Reads within [at, end) of the mapping; every read is checked.
struct Cursor {
  const unsigned char* base;
  uint64_t at, end;
  bool ok = true;

  bool Need(uint64_t n) {
    if (!ok || n > end - at) ok = false;
    return ok;
  }
  template <typename T>
  T Read() {
    if (!Need(sizeof(T))) return T();
    T v = Get<T>(base + at);
    at += sizeof(T);
    return v;
  }
  uint64_t Varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (!Need(1)) return 0;
      const unsigned char b = base[at++];
      v |= uint64_t(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
    ok = false;
    return 0;
  }
  // A length-prefixed text: its bytes stay in the mapping.
  const unsigned char* Text(uint64_t& length) {
    length = Varint();
    if (!Need(length)) return nullptr;
    const unsigned char* p = base + at;
    at += length;
    return p;
  }
};

}  // namespace

// ---- reader ----------------------------------------------------------------

SharedSnapshot::~SharedSnapshot() {
  if (mapped_) ::munmap(const_cast<unsigned char*>(base_), size_);
}

std::string SharedSnapshot::PathFor(const std::string& folder, bool exchange, bool addProxySmtp) {
  return folder + "/" GUIDDB_NAME + kSuffixes[exchange ? (addProxySmtp ? 1 : 0) : 2];
}

std::vector<std::string> SharedSnapshot::AllPaths(const std::string& folder) {
  std::vector<std::string> paths;
  for (const char* suffix : kSuffixes) paths.push_back(folder + "/" GUIDDB_NAME + suffix);
  return paths;
}

std::string SharedSnapshot::ParseHeader() {
  if (size_ < kHeaderSize) return "shorter than its header";
  if (std::memcmp(base_ + kMagicAt, kMagic, sizeof(kMagic)) != 0) return "not a snapshot";
  if (Get<uint32_t>(base_ + kOrderAt) != kByteOrder) return "written in another byte order";
  if (Get<uint32_t>(base_ + kVersionAt) != kVersion) return "of another format version";
  if (Get<uint64_t>(base_ + kChecksumAt) != Checksum(base_, kChecksumAt))
    return "its header checksum does not match";
  if (Get<uint64_t>(base_ + kFileSizeAt) != size_) return "not of the size its header gives";
  if (Get<uint32_t>(base_ + kCtypeAt) != CtypeFingerprint())
    return "written under another character case table";
  const uint32_t loader = Get<uint32_t>(base_ + kLoaderAt);
  const uint32_t proxy = Get<uint32_t>(base_ + kProxyAt);
  if ((loader != 1 && loader != 2) || proxy > 1 || (loader == 2 && proxy != 0))
    return "of an unknown loader";
  groupsBegin_ = Get<uint64_t>(base_ + kGroupsBeginAt);
  groupsEnd_ = Get<uint64_t>(base_ + kGroupsEndAt);
  slotsAt_ = Get<uint64_t>(base_ + kSlotsAt);
  slotCount_ = Get<uint64_t>(base_ + kSlotCountAt);
  // Every offset a slot holds is 32 bits wide, and the slots end the file.
  if (groupsBegin_ != kHeaderSize || groupsEnd_ < groupsBegin_ || groupsEnd_ > kMaxOffset ||
      slotsAt_ != groupsEnd_ || slotCount_ == 0 || (slotCount_ & (slotCount_ - 1)) != 0 ||
      slotCount_ > (size_ - slotsAt_) / kSlotSize || slotsAt_ + slotCount_ * kSlotSize != size_)
    return "its sections do not fit the file";
  source_.device = Get<uint64_t>(base_ + kDeviceAt);
  source_.inode = Get<uint64_t>(base_ + kInodeAt);
  source_.size = Get<uint64_t>(base_ + kDbSizeAt);
  source_.mtimeSec = Get<int64_t>(base_ + kMtimeSecAt);
  source_.mtimeNsec = Get<int64_t>(base_ + kMtimeNsecAt);
  source_.exchange = loader == 1;
  source_.addProxySmtp = proxy == 1;
  keyCount_ = Get<uint64_t>(base_ + kKeyCountAt);
  rowCount_ = Get<uint64_t>(base_ + kRowCountAt);
  groupCount_ = Get<uint64_t>(base_ + kGroupCountAt);
  for (int i = 0; i < 3; ++i) counters_[i] = Get<int32_t>(base_ + kCountersAt + 4 * i);
  return "";
}

std::unique_ptr<SharedSnapshot> SharedSnapshot::FromBytes(const void* data, size_t size,
                                                          std::string* why) {
  std::unique_ptr<SharedSnapshot> snap(new SharedSnapshot());
  snap->base_ = static_cast<const unsigned char*>(data);
  snap->size_ = size;
  std::string wrong = snap->ParseHeader();
  if (why) *why = wrong;
  if (!wrong.empty()) snap.reset();
  return snap;
}

bool SharedSnapshot::Reseal(void* data, size_t size) {
  if (size < kHeaderSize) return false;
  auto* p = static_cast<unsigned char*>(data);
  const uint64_t sum = Checksum(p, kChecksumAt);
  std::memcpy(p + kChecksumAt, &sum, sizeof(sum));
  return true;
}

std::unique_ptr<SharedSnapshot> SharedSnapshot::Open(const std::string& path,
                                                     const SSnapshotSource* expected,
                                                     std::string* why) {
  auto refuse = [&](const std::string& text) {
    if (why) *why = text;
    return std::unique_ptr<SharedSnapshot>();
  };
  try {
    // O_NOFOLLOW: a link planted in its place is refused, never followed;
    // O_NONBLOCK: a FIFO is never waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
      return refuse(errno == ENOENT ? "" : "cannot open it (" + hostfs::ErrnoText(errno) + ")");
    struct stat st;
    std::string wrong;
    if (::fstat(fd, &st) != 0)
      wrong = "cannot stat it";
    else if (!S_ISREG(st.st_mode))
      wrong = "not a regular file";
    else if (st.st_uid != ::geteuid() && st.st_uid != 0)
      wrong = "owned by another user";
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
      wrong = "writable by group or others";
    else if (static_cast<uint64_t>(st.st_size) < kHeaderSize)
      wrong = "shorter than its header";
    void* base = MAP_FAILED;
    if (wrong.empty()) {
      base = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
      if (base == MAP_FAILED) wrong = "cannot map it (" + hostfs::ErrnoText(errno) + ")";
    }
    ::close(fd);
    if (!wrong.empty()) return refuse(wrong);
    std::unique_ptr<SharedSnapshot> snap(new SharedSnapshot());
    snap->base_ = static_cast<const unsigned char*>(base);
    snap->size_ = static_cast<uint64_t>(st.st_size);
    snap->mapped_ = true;
    wrong = snap->ParseHeader();
    if (wrong.empty() && expected != nullptr && snap->source_ != *expected)
      wrong = "built from another table or with other options";
    if (!wrong.empty()) return refuse(wrong);
    if (why) why->clear();
    return snap;
  } catch (...) {
    return refuse("out of memory");
  }
}

void SharedSnapshot::counters(recordInfo_t& out) const {
  out.uniqueGUIDs = counters_[0];
  out.totalCacheRecords = counters_[1];
  out.emptyRecords = counters_[2];
}

// Checks the whole group at `groupAt` first and builds the map only then,
// so that a damaged group never leaves a half-built answer.
bool SharedSnapshot::DecodeRecords(uint64_t groupAt, GuidRecordMap& out, uint64_t* end) const {
  if (groupAt < groupsBegin_ || groupAt >= groupsEnd_) return false;
  Cursor c{base_, groupAt, groupsEnd_};
  const uint32_t count = c.Read<uint32_t>();
  uint64_t guidLength = 0;
  const unsigned char* guid = c.Text(guidLength);
  if (!c.ok) return false;
  const uint64_t recordsAt = c.at;
  // Each record takes at least seven bytes, which bounds the walk too.
  if (count > (groupsEnd_ - recordsAt) / 7) return false;
  for (uint32_t i = 0; i < count && c.ok; ++i) {
    c.Read<int32_t>();
    const unsigned char form = c.Read<unsigned char>();
    uint64_t n = 0;
    if (form == 2)
      c.Text(n);
    else if (form > 2)
      return false;
    c.Text(n);
  }
  if (!c.ok) return false;
  if (end) *end = c.at;

  // Each string is made once, straight from the mapped bytes.
  GuidRecordMap built;
  const char* guidKey = reinterpret_cast<const char*>(guid);
  Cursor r{base_, recordsAt, groupsEnd_};
  for (uint32_t i = 0; i < count; ++i) {
    const int32_t status = r.Read<int32_t>();
    const unsigned char form = r.Read<unsigned char>();
    uint64_t n = 0;
    std::string recordGuid;
    if (form == 2) {
      const unsigned char* g = r.Text(n);
      recordGuid.assign(reinterpret_cast<const char*>(g), n);
    } else {
      recordGuid.assign(guidKey, guidLength);
      if (form == 1) std::replace(recordGuid.begin(), recordGuid.end(), '-', 'X');
    }
    const unsigned char* name = r.Text(n);
    built.emplace_hint(built.end(), status,
                       SGuidRecord(std::string(reinterpret_cast<const char*>(name), n),
                                   std::move(recordGuid), status));
  }
  out.swap(built);
  return true;
}

bool SharedSnapshot::KeyAt(uint64_t groupAt, uint64_t keyAt, const std::string& key) const {
  if (keyAt < groupsBegin_ || keyAt >= groupsEnd_) return false;
  Cursor c{base_, keyAt, groupsEnd_};
  uint64_t length = 0;
  const unsigned char* text = c.Text(length);
  if (!c.ok) return false;
  if (keyAt == groupAt + kGroupHead)  // the GUID key: compared as stored
    return length == key.size() && std::memcmp(text, key.data(), length) == 0;
  return NameIsKey(text, length, key);
}

const unsigned char* SharedSnapshot::SlotOf(const std::string& key) const {
  const uint64_t hash = HashKey(key.data(), key.size());
  const uint32_t tag = static_cast<uint32_t>(hash >> 32);
  const uint64_t mask = slotCount_ - 1;
  uint64_t i = hash & mask;
  // At most one round of the table, whatever the slots hold.
  for (uint64_t probes = 0; probes < slotCount_; ++probes, i = (i + 1) & mask) {
    const unsigned char* slot = base_ + slotsAt_ + i * kSlotSize;
    const uint32_t groupAt = Get<uint32_t>(slot + 4);
    if (groupAt == 0) return nullptr;
    if (Get<uint32_t>(slot) == tag && KeyAt(groupAt, Get<uint32_t>(slot + 8), key)) return slot;
  }
  return nullptr;
}

bool SharedSnapshot::Find(const std::string& key, GuidRecordMap& out) const {
  const unsigned char* slot = SlotOf(key);
  if (slot == nullptr) return false;
  try {
    return DecodeRecords(Get<uint32_t>(slot + 4), out, nullptr);
  } catch (...) {
    return false;  // out of memory
  }
}

bool SharedSnapshot::KeyLeadsTo(const std::string& key, uint64_t groupOffset) const {
  const unsigned char* slot = SlotOf(key);
  return slot != nullptr && Get<uint32_t>(slot + 4) == groupOffset;
}

bool SharedSnapshot::ReadGroup(uint64_t& at, SSnapshotGroup& group) const {
  uint64_t end = 0;
  if (!DecodeRecords(at, group.records, &end)) return false;
  group.offset = at;
  Cursor c{base_, at + kGroupHead, groupsEnd_};
  uint64_t n = 0;
  const unsigned char* guid = c.Text(n);
  group.guid.assign(reinterpret_cast<const char*>(guid), n);
  std::vector<const SGuidRecord*> records;
  for (const auto& entry : group.records) records.push_back(&entry.second);
  group.keys.clear();
  Cursor k{base_, end, groupsEnd_};
  // Each key takes a byte, so the list ends within the section.
  for (;;) {
    const uint64_t which = k.Varint();
    if (!k.ok) return false;
    if (which == 0) break;
    if (which == 1)
      group.keys.push_back(group.guid);
    else if (which - 2 < records.size())
      group.keys.push_back(StaticCache::NormalizeKey(records[which - 2]->name));
    else
      return false;
  }
  at = k.at;
  return true;
}

std::string SharedSnapshot::Verify() const {
  uint64_t groups = 0, rows = 0;
  uint64_t at = groupsBegin_;
  SSnapshotGroup group;
  while (at < groupsEnd_) {
    if (!ReadGroup(at, group)) return "group " + std::to_string(groups + 1) + " is damaged";
    ++groups;
    rows += group.records.size();
  }
  if (groups != groupCount_ || rows != rowCount_)
    return "its groups do not add up to the counts of its header";
  uint64_t keys = 0;
  GuidRecordMap records;
  for (uint64_t i = 0; i < slotCount_; ++i) {
    const unsigned char* slot = base_ + slotsAt_ + i * kSlotSize;
    const uint32_t groupAt = Get<uint32_t>(slot + 4);
    if (groupAt == 0) continue;
    ++keys;
    if (!DecodeRecords(groupAt, records, nullptr))
      return "slot " + std::to_string(i) + " names no group";
    Cursor c{base_, Get<uint32_t>(slot + 8), groupsEnd_};
    if (c.at < groupsBegin_ || c.at >= groupsEnd_)
      return "slot " + std::to_string(i) + " names no key";
    uint64_t n = 0;
    const unsigned char* text = c.Text(n);
    if (!c.ok) return "slot " + std::to_string(i) + " names no key";
    std::string key(reinterpret_cast<const char*>(text), n);
    if (Get<uint32_t>(slot + 8) != groupAt + kGroupHead) key = StaticCache::NormalizeKey(key);
    GuidRecordMap found;
    if (!Find(key, found) || found.size() != records.size())
      return "key " + key + " is not found where it is stored";
  }
  if (keys != keyCount_) return "its slots do not add up to the key count of its header";
  return "";
}

namespace {

// Leftovers of a writer that died between creating and renaming its file
// (".<snapshot name>.tmpXXXXXX"); every writer holds the named mutex, so
// none of them is still being written.
void RemoveLeftovers(const std::string& folder) {
  for (const char* suffix : kSuffixes)
    hostfs::RemoveLeftovers(folder, "." GUIDDB_NAME + std::string(suffix) + ".tmp",
                            hostfs::Leftovers::kAll);
}

}  // namespace

void RemoveSharedSnapshots(const std::string& folder) {
  for (const std::string& path : SharedSnapshot::AllPaths(folder)) ::unlink(path.c_str());
  RemoveLeftovers(folder);
}

void PruneSharedSnapshots(const std::string& folder, const SSnapshotSource& current) {
  RemoveLeftovers(folder);
  for (const std::string& path : SharedSnapshot::AllPaths(folder)) {
    std::string why;
    std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, nullptr, &why);
    if (snapshot) {
      SSnapshotSource built = snapshot->source();
      built.exchange = current.exchange;
      built.addProxySmtp = current.addProxySmtp;
      if (built == current) continue;
    } else if (why.empty()) {
      continue;  // no such file
    }
    ::unlink(path.c_str());
  }
}
