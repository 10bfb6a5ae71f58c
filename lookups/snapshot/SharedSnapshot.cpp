#include "lookups/snapshot/SharedSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/Files.h"
#include "host/StagedFile.h"
#include "lookups/snapshot/SnapshotFormat.h"

// The file's layout is in SnapshotFormat.h.
namespace {

using namespace snapshotformat;

const char* const kKinds[] = {"exchange", "exchange-proxy", "notes"};
// The temporary files of the first format's writers, whose names carried no
// pid; every one of those writers is gone.
const char kOldTempMark[] = ".snapshot.tmp";

// The names of `folder` that `pick` wants, sorted.
template <typename Pick>
std::vector<std::string> NamesOf(const std::string& folder, Pick pick) {
  std::vector<std::string> paths;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return paths;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (pick(name)) paths.push_back(folder + "/" + name);
  }
  ::closedir(dir);
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool IsOldTemp(const std::string& name) {
  return name.rfind("." GUIDDB_NAME ".", 0) == 0 && name.find(kOldTempMark) != std::string::npos &&
         name.rfind(SharedSnapshot::kTempPrefix, 0) != 0;
}

// Reads within [at, end) of the mapping; every read is checked.
struct Cursor {
  const unsigned char* base;
  uint64_t at, end;
  bool ok = true;

  bool Need(uint64_t n) {
    if (!ok || at > end || n > end - at) ok = false;
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

const char* const SharedSnapshot::kTempPrefix = cachefiles::kSnapshotTempPrefix;

// Where a group's parts lie, once CheckGroup has found it sound.
struct SharedSnapshot::GroupView {
  uint64_t at = 0, end = 0;
  uint32_t count = 0;
  uint64_t guidAt = 0, guidLength = 0;  // the GUID key's text
  uint64_t recordsAt = 0, keysAt = 0;
};

SharedSnapshot::SharedSnapshot() = default;

SharedSnapshot::~SharedSnapshot() {
  if (mapped_) ::munmap(const_cast<unsigned char*>(base_), size_);
}

std::string SharedSnapshot::PathFor(const std::string& folder, bool exchange, bool addProxySmtp) {
  return cachefiles::Snapshot(folder, kKinds[exchange ? (addProxySmtp ? 1 : 0) : 2],
                              CtypeFingerprint());
}

std::vector<std::string> SharedSnapshot::AllPaths(const std::string& folder) {
  return NamesOf(folder, [](const std::string& name) { return cachefiles::IsSnapshotName(name); });
}

std::vector<std::string> SharedSnapshot::Leftovers(const std::string& folder) {
  return NamesOf(folder, [](const std::string& name) {
    return name.rfind(kTempPrefix, 0) == 0 || IsOldTemp(name);
  });
}

std::vector<std::string> SharedSnapshot::RemoveLeftovers(const std::string& folder) {
  std::vector<std::string> removed =
      hostfs::RemoveLeftovers(folder, kTempPrefix, hostfs::Leftovers::kWriterGone);
  for (const std::string& path : NamesOf(folder, IsOldTemp))
    if (::unlink(path.c_str()) == 0) removed.push_back(path);
  return removed;
}

std::string SharedSnapshot::ParseHeader() {
  if (size_ < kHeaderSize) return "shorter than its header";
  if (std::memcmp(base_ + kMagicAt, kMagic, sizeof(kMagic)) != 0) return "not a snapshot";
  if (Get<uint32_t>(base_ + kOrderAt) != kByteOrder) return "written in another byte order";
  if (Get<uint32_t>(base_ + kVersionAt) != kVersion) return "of another format version";
  if (Get<uint64_t>(base_ + kChecksumAt) != Checksum(base_, kChecksumAt))
    return "its header checksum does not match";
  if (Get<uint64_t>(base_ + kFileSizeAt) != size_) return "not of the size its header gives";
  const uint32_t loader = Get<uint32_t>(base_ + kLoaderAt);
  const uint32_t proxy = Get<uint32_t>(base_ + kProxyAt);
  const uint32_t young = Get<uint32_t>(base_ + kYoungAt);
  if ((loader != 1 && loader != 2) || proxy > 1 || (loader == 2 && proxy != 0) || young > 1)
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
  source_.ctimeSec = Get<int64_t>(base_ + kCtimeSecAt);
  source_.ctimeNsec = Get<int64_t>(base_ + kCtimeNsecAt);
  source_.headDigest = Get<uint64_t>(base_ + kDbHeadAt);
  source_.contentDigest = Get<uint64_t>(base_ + kContentAt);
  source_.young = young == 1;
  source_.exchange = loader == 1;
  source_.addProxySmtp = proxy == 1;
  source_.caseTable = Get<uint32_t>(base_ + kCtypeAt);
  keyCount_ = Get<uint64_t>(base_ + kKeyCountAt);
  rowCount_ = Get<uint64_t>(base_ + kRowCountAt);
  groupCount_ = Get<uint64_t>(base_ + kGroupCountAt);
  for (int i = 0; i < 3; ++i) counters_[i] = Get<int32_t>(base_ + kCountersAt + 4 * i);
  return "";
}

std::string SharedSnapshot::MismatchWith(const SSnapshotSource& now) const {
  if (source_ != now) {
    if (source_.exchange != now.exchange || source_.addProxySmtp != now.addProxySmtp)
      return "built for another loader or proxy flag";
    if (source_.caseTable != now.caseTable) return "written under another character case table";
    return "built from another table";
  }
  if (source_.young) {
    // Built within a timestamp tick of the table's last change: a change in
    // that tick would have left every time as it was. Only the content tells.
    uint64_t digest = 0;
    if (!SSnapshotSource::DigestOf(now.database, digest) || digest != source_.contentDigest)
      return "built moments after its table changed, and the table's content is not what it "
             "was built from";
  }
  return "";
}

bool SharedSnapshot::WriteSettled(const std::string& path, const SSnapshotSource& /*now*/,
                                  std::string* why) const {
  // The identity recorded is `now`'s already; only the young mark goes.
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    return false;
  };
  std::string header(reinterpret_cast<const char*>(base_), kHeaderSize);
  Put<uint32_t>(header, kYoungAt, 0);
  Put<uint64_t>(header, kContentAt, 0);
  Put<uint64_t>(header, kChecksumAt,
                Checksum(reinterpret_cast<const unsigned char*>(header.data()), kChecksumAt));
  hostfs::StagedFileOptions options;
  options.prefix = kTempPrefix;
  options.withPid = true;
  options.finalMode = 0644;
  hostfs::StagedFile staged;
  int err = staged.Create(hostfs::FolderOf(path), options);
  if (err == 0) err = staged.Write(header.data(), header.size());
  if (err == 0)
    err = staged.Write(reinterpret_cast<const char*>(base_) + kHeaderSize, size_ - kHeaderSize);
  if (err == 0) err = staged.Flush();
  if (err == 0) err = staged.Install(path, false);
  return err == 0 ? true : fail(hostfs::ErrnoText(err));
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
  const uint64_t end = std::min<uint64_t>(Get<uint64_t>(p + kGroupsEndAt), size);
  for (uint64_t at = Get<uint64_t>(p + kGroupsBeginAt);
       at >= kHeaderSize && at < end && end - at >= kMinGroup;) {
    const uint32_t length = Get<uint32_t>(p + at);
    if (length < kMinGroup || length > end - at) break;
    const uint32_t sum = GroupChecksum(p + at, length);
    std::memcpy(p + at + 4, &sum, sizeof(sum));
    at += length;
  }
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
    if (fd < 0) {
      if (errno == ENOENT) return refuse("");
      return refuse(errno == ELOOP || errno == ENXIO
                        ? "not a regular file"
                        : "cannot open it (" + hostfs::ErrnoText(errno) + ")");
    }
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
    if (wrong.empty() && expected != nullptr) wrong = snap->MismatchWith(*expected);
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

bool SharedSnapshot::CheckGroup(uint64_t at, uint64_t keyAt, GroupView& g, bool* keyListed) const {
  if (at < groupsBegin_ || at >= groupsEnd_ || groupsEnd_ - at < kMinGroup) return false;
  const uint32_t length = Get<uint32_t>(base_ + at);
  if (length < kMinGroup || length > groupsEnd_ - at) return false;
  if (Get<uint32_t>(base_ + at + 4) != GroupChecksum(base_ + at, length)) return false;
  g.at = at;
  g.end = at + length;
  Cursor c{base_, at + 8, g.end};
  g.count = c.Read<uint32_t>();
  g.guidAt = c.at;
  c.Text(g.guidLength);
  if (!c.ok) return false;
  g.recordsAt = c.at;
  // Each record takes at least seven bytes, which bounds the walk too.
  if (g.count > (g.end - g.recordsAt) / 7) return false;
  uint64_t keyWhich = keyAt == g.guidAt ? 1 : 0;
  // Whether each record's status makes keys; on the stack for the groups of
  // a directory, which hold a few records.
  bool inlineKeyed[32];
  std::vector<bool> heapKeyed;
  if (g.count > 32) heapKeyed.resize(g.count);
  for (uint32_t i = 0; i < g.count && c.ok; ++i) {
    const bool keyed =
        cachekey::StatusMakesKey(source_.exchange, source_.addProxySmtp, c.Read<int32_t>());
    if (g.count > 32)
      heapKeyed[i] = keyed;
    else
      inlineKeyed[i] = keyed;
    const unsigned char form = c.Read<unsigned char>();
    uint64_t n = 0;
    if (form == 2)
      c.Text(n);
    else if (form > 2)
      return false;
    if (c.at == keyAt) keyWhich = i + 2;
    c.Text(n);
  }
  if (!c.ok) return false;
  g.keysAt = c.at;
  // The offered keys: each names the GUID or a record whose status makes
  // keys under the snapshot's loader; the list ends the group.
  bool listed = keyWhich == 1;  // the GUID key is its group's first key
  for (;;) {
    const uint64_t which = c.Varint();
    if (!c.ok) return false;
    if (which == 0) break;
    if (which - 2 < g.count) {
      if (!(g.count > 32 ? heapKeyed[which - 2] : inlineKeyed[which - 2])) return false;
    } else if (which != 1) {
      return false;
    }
    if (which == keyWhich) listed = true;
  }
  if (c.at != g.end) return false;
  if (keyListed) *keyListed = listed;
  return true;
}

void SharedSnapshot::DecodeRecords(const GroupView& g, GuidRecordMap& out) const {
  // Each string is made once, straight from the mapped bytes.
  GuidRecordMap built;
  uint64_t guidLength = 0;
  Cursor c{base_, g.guidAt, g.end};
  const char* guidKey = reinterpret_cast<const char*>(c.Text(guidLength));
  Cursor r{base_, g.recordsAt, g.end};
  for (uint32_t i = 0; i < g.count; ++i) {
    const int32_t status = r.Read<int32_t>();
    const unsigned char form = r.Read<unsigned char>();
    uint64_t n = 0;
    std::string recordGuid;
    if (form == 2) {
      const unsigned char* text = r.Text(n);
      recordGuid.assign(reinterpret_cast<const char*>(text), n);
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
}

const unsigned char* SharedSnapshot::SlotOf(const std::string& key, GroupView& g,
                                            bool& damaged) const {
  damaged = false;
  const uint64_t hash = HashKey(key.data(), key.size());
  const uint32_t tag = static_cast<uint32_t>(hash >> 32);
  const uint64_t mask = slotCount_ - 1;
  uint64_t i = hash & mask;
  // At most one round of the table, whatever the slots hold.
  for (uint64_t probes = 0; probes < slotCount_; ++probes, i = (i + 1) & mask) {
    const unsigned char* slot = base_ + slotsAt_ + i * kSlotSize;
    const uint32_t groupAt = Get<uint32_t>(slot + 4);
    if (groupAt == 0) return nullptr;
    if (Get<uint32_t>(slot) != tag) continue;
    // The slot is believed only when its key is one its sound group offers.
    const uint32_t keyAt = Get<uint32_t>(slot + 8);
    bool listed = false;
    if (!CheckGroup(groupAt, keyAt, g, &listed) || !listed) {
      damaged = true;
      return nullptr;
    }
    Cursor c{base_, keyAt, g.end};
    uint64_t length = 0;
    const unsigned char* text = c.Text(length);
    if (!c.ok) {
      damaged = true;
      return nullptr;
    }
    const bool same =
        keyAt == g.guidAt
            ? length == key.size() && std::memcmp(text, key.data(), key.size()) == 0
            : cachekey::IsForm(reinterpret_cast<const char*>(text), length, key, cases_);
    if (same) return slot;
  }
  return nullptr;
}

bool SharedSnapshot::Find(const std::string& key, GuidRecordMap& out) const {
  GroupView g;
  bool damaged = false;
  const unsigned char* slot = SlotOf(key, g, damaged);
  if (damaged) damage_.fetch_add(1, std::memory_order_relaxed);
  if (slot == nullptr) return false;
  try {
    DecodeRecords(g, out);
    return true;
  } catch (...) {
    return false;  // out of memory
  }
}

bool SharedSnapshot::KeyLeadsTo(const std::string& key, uint64_t groupOffset) const {
  GroupView g;
  bool damaged = false;
  const unsigned char* slot = SlotOf(key, g, damaged);
  return slot != nullptr && Get<uint32_t>(slot + 4) == groupOffset;
}

bool SharedSnapshot::ReadGroup(uint64_t& at, SSnapshotGroup& group) const {
  GroupView g;
  if (!CheckGroup(at, 0, g, nullptr)) return false;
  DecodeRecords(g, group.records);
  group.offset = at;
  Cursor c{base_, g.guidAt, g.end};
  uint64_t n = 0;
  const unsigned char* guid = c.Text(n);
  group.guid.assign(reinterpret_cast<const char*>(guid), n);
  std::vector<const SGuidRecord*> records;
  for (const auto& entry : group.records) records.push_back(&entry.second);
  group.keys.clear();
  Cursor k{base_, g.keysAt, g.end};
  for (;;) {
    const uint64_t which = k.Varint();
    if (!k.ok) return false;
    if (which == 0) break;
    if (which == 1) {
      group.keys.push_back(group.guid);
    } else if (which - 2 < records.size()) {
      const std::string& name = records[which - 2]->name;
      group.keys.push_back(cachekey::Form(name.data(), name.size(), cases_));
    } else {
      return false;
    }
  }
  at = g.end;
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
  // Keys compare under the case table they were written with; under another
  // one only each slot's own group and key are checked.
  const bool sameCases = source_.caseTable == Fingerprint(cases_);
  uint64_t keys = 0;
  for (uint64_t i = 0; i < slotCount_; ++i) {
    const unsigned char* slot = base_ + slotsAt_ + i * kSlotSize;
    const uint32_t groupAt = Get<uint32_t>(slot + 4);
    if (groupAt == 0) continue;
    ++keys;
    const std::string which = "slot " + std::to_string(i);
    GroupView g;
    bool listed = false;
    const uint32_t keyAt = Get<uint32_t>(slot + 8);
    if (!CheckGroup(groupAt, keyAt, g, &listed)) return which + " names no sound group";
    if (!listed) return which + " holds a key its group does not offer";
    if (!sameCases) continue;
    Cursor c{base_, keyAt, g.end};
    uint64_t n = 0;
    const unsigned char* text = c.Text(n);
    const std::string key = keyAt == g.guidAt
                                ? std::string(reinterpret_cast<const char*>(text), n)
                                : cachekey::Form(reinterpret_cast<const char*>(text), n, cases_);
    if (Get<uint32_t>(slot) != static_cast<uint32_t>(HashKey(key.data(), key.size()) >> 32))
      return which + " has the tag of another key";
    GroupView found;
    bool damaged = false;
    if (SlotOf(key, found, damaged) != slot)
      return "key " + key.substr(0, 200) + " is not found where it is stored";
  }
  if (keys != keyCount_) return "its slots do not add up to the key count of its header";
  return "";
}

void RemoveSharedSnapshots(const std::string& folder) {
  for (const std::string& path : SharedSnapshot::AllPaths(folder)) {
    struct stat st;
    // Anything else in a snapshot's place is the operator's to remove.
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
  }
  SharedSnapshot::RemoveLeftovers(folder);
}

void PruneSharedSnapshots(const std::string& folder, const SSnapshotSource& current) {
  SharedSnapshot::RemoveLeftovers(folder);
  for (const std::string& path : SharedSnapshot::AllPaths(folder)) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string why;
    std::unique_ptr<SharedSnapshot> snapshot = SharedSnapshot::Open(path, nullptr, &why);
    if (snapshot) {
      // Another loader's, proxy flag's or case table's snapshot of this very
      // table stays, for the processes that use it.
      SSnapshotSource now = current;
      now.exchange = snapshot->source().exchange;
      now.addProxySmtp = snapshot->source().addProxySmtp;
      now.caseTable = snapshot->source().caseTable;
      if (snapshot->source() == now) continue;
    }
    ::unlink(path.c_str());
  }
}
