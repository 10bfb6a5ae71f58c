#include "lookups/SharedSnapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "host/Files.h"
#include "lookups/GUIDTable.h"
#include "lookups/StaticCache.h"

// The file, all numbers in the byte order of the machine that wrote it (the
// header says which, and a reader of the other order refuses it):
//
//   header   kHeaderSize bytes at offset 0, fields at the k* offsets below,
//            closed by a checksum of the bytes before it;
//   groups   from groupsBegin to groupsEnd, one after the other, in the
//            order the loader stored them. A group:
//              u32 record count
//              GUID key          varint length, bytes
//              each record       i32 status (also its map key), u8 GUID form
//                                (0: the GUID key, 1: the GUID key with "X"
//                                for "-", 2: its own, then varint length and
//                                bytes), varint name length, name bytes
//              offered keys      varints: 1 the GUID key again, k >= 2 the
//                                name of record k - 2; 0 ends the list
//   slots    slotCount (a power of two) slots of 12 bytes: u32 tag (the
//            hash's upper half), u32 group offset (0: empty), u32 offset of
//            the key's text (the GUID key's length, compared as it is, or a
//            record name's length, compared in key form).
//
// Keys are found by linear probing from hash & (slotCount - 1). A slot holds
// offsets, never pointers, so the file maps anywhere. Each key is stored
// once, as the text it is compared with: names are not copied but compared
// upper-cased on the fly, which keeps a row near half of what the heap takes.
namespace {

constexpr char kMagic[8] = {'G', 'U', 'I', 'D', 'S', 'N', 'A', 'P'};
constexpr uint32_t kByteOrder = 0x01020304;
constexpr uint32_t kVersion = 1;

constexpr size_t kMagicAt = 0, kOrderAt = 8, kVersionAt = 12, kFileSizeAt = 16, kDeviceAt = 24,
                 kInodeAt = 32, kDbSizeAt = 40, kMtimeSecAt = 48, kMtimeNsecAt = 56, kLoaderAt = 64,
                 kProxyAt = 68, kCtypeAt = 72, kCountersAt = 76, kGroupsBeginAt = 88,
                 kGroupsEndAt = 96, kSlotsAt = 104, kSlotCountAt = 112, kKeyCountAt = 120,
                 kRowCountAt = 128, kGroupCountAt = 136, kChecksumAt = 144, kHeaderSize = 152;
constexpr uint64_t kSlotSize = 12;
constexpr uint64_t kMaxOffset = UINT32_MAX;
constexpr size_t kGroupHead = 4;  // the record count before the GUID key

const char* const kSuffixes[] = {".exchange.snapshot", ".exchange-proxy.snapshot",
                                 ".notes.snapshot"};

template <typename T>
void Put(std::string& out, size_t at, T value) {
  std::memcpy(&out[at], &value, sizeof(T));
}
template <typename T>
void Append(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof(T));
}
template <typename T>
T Get(const unsigned char* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

void AppendVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

uint64_t Checksum(const unsigned char* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// Keys are upper-cased under the process's locale; a snapshot written under
// another one would hold other keys than this process's load would make.
uint32_t CtypeFingerprint() {
  unsigned char table[256];
  for (int c = 0; c < 256; ++c) table[c] = static_cast<unsigned char>(std::toupper(c));
  return static_cast<uint32_t>(Checksum(table, sizeof(table)));
}

// Eight bytes a step: the probe path hashes every key it looks up.
uint64_t HashKey(const char* p, size_t n) {
  constexpr uint64_t kMul = 0x9e3779b97f4a7c15ull;
  uint64_t h = 0x27d4eb2f165667c5ull ^ (n * kMul);
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  for (size_t i = 0; i < n; ++i) tail |= uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
  h = (h ^ tail) * kMul;
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ull;
  return h ^ (h >> 29);
}

// Whether `name` in key form (StaticCache::NormalizeKey: up to a NUL, at
// most kMaxKeyLength bytes, upper-cased) is `key`, without building it.
bool NameIsKey(const unsigned char* name, size_t length, const std::string& key) {
  const size_t cut = std::min<size_t>(length, StaticCache::kMaxKeyLength);
  const void* nul = std::memchr(name, 0, cut);
  const size_t formLength =
      nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - name) : cut;
  if (formLength != key.size()) return false;
  for (size_t i = 0; i < formLength; ++i)
    if (static_cast<char>(std::toupper(name[i])) != key[i]) return false;
  return true;
}

std::string XForm(const std::string& guid) {
  std::string x = guid;
  std::replace(x.begin(), x.end(), '-', 'X');
  return x;
}

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

// ---- source ----------------------------------------------------------------

bool SSnapshotSource::Of(const std::string& folder, bool exchange, bool addProxySmtp,
                         SSnapshotSource& out) {
  struct stat st;
  if (::stat((folder + "/" GUIDDB_NAME).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out.device = st.st_dev;
  out.inode = st.st_ino;
  out.size = static_cast<uint64_t>(st.st_size);
  out.mtimeSec = st.st_mtim.tv_sec;
  out.mtimeNsec = st.st_mtim.tv_nsec;
  out.exchange = exchange;
  out.addProxySmtp = exchange && addProxySmtp;
  return true;
}

bool SSnapshotSource::operator==(const SSnapshotSource& o) const {
  return device == o.device && inode == o.inode && size == o.size && mtimeSec == o.mtimeSec &&
         mtimeNsec == o.mtimeNsec && exchange == o.exchange && addProxySmtp == o.addProxySmtp;
}

// ---- builder ---------------------------------------------------------------

SharedSnapshotBuilder::SharedSnapshotBuilder(size_t rowHint) {
  try {
    groups_.reserve(rowHint * 64);
    slots_.reserve(rowHint + rowHint / 2);
  } catch (...) {
    // only a hint; the vectors grow as needed
  }
}

void SharedSnapshotBuilder::EndGroup() {
  if (current_ != nullptr) groups_.push_back('\0');
  current_ = nullptr;
}

void SharedSnapshotBuilder::AddKey(const std::string& key, const GuidRecordMap* map, bool taken,
                                   bool newMap) {
  if (failed_ || finished_ || map == nullptr) return;
  if (map != current_) {
    EndGroup();
    const uint64_t here = kHeaderSize + groups_.size();
    // A map that comes back after another cannot be stored in one place.
    if (!newMap || here > kMaxOffset) {
      failed_ = true;
      return;
    }
    current_ = map;
    records_.clear();
    nameAt_.clear();
    const uint64_t groupAt = here;
    Append<uint32_t>(groups_, static_cast<uint32_t>(map->size()));
    currentGuidAt_ = kHeaderSize + groups_.size();
    currentGuid_ = key;
    AppendVarint(groups_, key.size());
    groups_ += key;
    const std::string xGuid = XForm(key);
    for (const auto& entry : *map) {
      const SGuidRecord& r = entry.second;
      if (entry.first != r.status) {  // the form stores the status once
        failed_ = true;
        return;
      }
      Append<int32_t>(groups_, r.status);
      if (r.guid == key) {
        groups_.push_back('\0');
      } else if (r.guid == xGuid) {
        groups_.push_back('\1');
      } else {
        groups_.push_back('\2');
        AppendVarint(groups_, r.guid.size());
        groups_ += r.guid;
      }
      nameAt_.push_back(kHeaderSize + groups_.size());
      AppendVarint(groups_, r.name.size());
      groups_ += r.name;
      records_.push_back(&r);
    }
    ++groupCount_;
    rowCount_ += map->size();
    currentGroupAt_ = groupAt;
    if (taken)
      slots_.push_back(
          {HashKey(key.data(), key.size()), uint32_t(groupAt), uint32_t(currentGuidAt_)});
    return;
  }
  uint64_t keyAt = 0;
  size_t which = 0;
  for (size_t i = 0; i < records_.size(); ++i) {
    const std::string& name = records_[i]->name;
    if (NameIsKey(reinterpret_cast<const unsigned char*>(name.data()), name.size(), key)) {
      which = i + 2;
      keyAt = nameAt_[i];
      break;
    }
  }
  if (which == 0) {
    if (currentGuid_ != key) {
      failed_ = true;
      return;
    }
    which = 1;
    keyAt = currentGuidAt_;
  }
  AppendVarint(groups_, which);
  if (taken)
    slots_.push_back({HashKey(key.data(), key.size()), uint32_t(currentGroupAt_), uint32_t(keyAt)});
}

void SharedSnapshotBuilder::Finish(const recordInfo_t& counters) {
  if (finished_) return;
  EndGroup();
  finished_ = true;
  counters_[0] = counters.uniqueGUIDs;
  counters_[1] = counters.totalCacheRecords;
  counters_[2] = counters.emptyRecords;
  if (kHeaderSize + groups_.size() > kMaxOffset) failed_ = true;
}

uint64_t SharedSnapshotBuilder::SlotCount() const {
  // A load factor of at most 0.7 keeps probe runs short.
  uint64_t slotCount = 8;
  while (slotCount * 7 < slots_.size() * 10 + 10) slotCount *= 2;
  return slotCount;
}

std::string SharedSnapshotBuilder::Header(const SSnapshotSource& source) const {
  const uint64_t slotCount = SlotCount();
  const uint64_t groupsEnd = kHeaderSize + groups_.size();
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
  Put<uint32_t>(out, kLoaderAt, source.exchange ? 1 : 2);
  Put<uint32_t>(out, kProxyAt, source.addProxySmtp ? 1 : 0);
  Put<uint32_t>(out, kCtypeAt, CtypeFingerprint());
  for (int i = 0; i < 3; ++i) Put<int32_t>(out, kCountersAt + 4 * i, counters_[i]);
  Put<uint64_t>(out, kGroupsBeginAt, kHeaderSize);
  Put<uint64_t>(out, kGroupsEndAt, groupsEnd);
  Put<uint64_t>(out, kSlotsAt, groupsEnd);
  Put<uint64_t>(out, kSlotCountAt, slotCount);
  Put<uint64_t>(out, kKeyCountAt, slots_.size());
  Put<uint64_t>(out, kRowCountAt, rowCount_);
  Put<uint64_t>(out, kGroupCountAt, groupCount_);
  Put<uint64_t>(out, kChecksumAt,
                Checksum(reinterpret_cast<const unsigned char*>(out.data()), kChecksumAt));
  return out;
}

std::string SharedSnapshotBuilder::Table() const {
  const uint64_t slotCount = SlotCount();
  std::string table(slotCount * kSlotSize, '\0');
  const uint64_t mask = slotCount - 1;
  for (const Slot& s : slots_) {
    uint64_t i = s.hash & mask;
    while (Get<uint32_t>(reinterpret_cast<const unsigned char*>(&table[i * kSlotSize + 4])) != 0)
      i = (i + 1) & mask;
    Put<uint32_t>(table, i * kSlotSize, static_cast<uint32_t>(s.hash >> 32));
    Put<uint32_t>(table, i * kSlotSize + 4, s.groupAt);
    Put<uint32_t>(table, i * kSlotSize + 8, s.keyAt);
  }
  return table;
}

std::string SharedSnapshotBuilder::Serialize(const SSnapshotSource& source) const {
  return Header(source) + groups_ + Table();
}

bool SharedSnapshotBuilder::Write(const std::string& path, const SSnapshotSource& source,
                                  std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!finished_ || failed_) return fail("the load could not be laid out as a snapshot");
  std::string header, table;
  try {
    header = Header(source);
    table = Table();
  } catch (...) {
    return fail("out of memory");
  }
  const std::string folder = hostfs::FolderOf(path);
  const size_t slash = path.rfind('/');
  std::string temp =
      folder + "/." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmpXXXXXX";
  const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0)
    return fail("cannot create a file in " + folder + " (" + hostfs::ErrnoText(errno) + ")");
  // mkostemp made it 0600; readers of other processes need it readable.
  // fchmod sets the mode exactly, whatever the umask.
  std::string why;
  int err = 0;
  auto step = [&](bool ok, const char* what) {
    if (why.empty() && !ok) {
      err = errno;
      why = std::string(what) + " " + temp;
    }
  };
  step(::fchmod(fd, 0644) == 0, "cannot set the mode of");
  step(why.empty() && hostfs::WriteAll(fd, header.data(), header.size()) &&
           hostfs::WriteAll(fd, groups_.data(), groups_.size()) &&
           hostfs::WriteAll(fd, table.data(), table.size()),
       "cannot write");
  step(why.empty() && ::fsync(fd) == 0, "cannot flush");
  step(::close(fd) == 0, "cannot close");
  step(why.empty() && ::rename(temp.c_str(), path.c_str()) == 0, "cannot rename over the snapshot");
  if (!why.empty()) {
    ::unlink(temp.c_str());
    return fail(why + " (" + hostfs::ErrnoText(err) + ")");
  }
  hostfs::SyncFolder(folder);
  return true;
}

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

// Leftovers of a writer that died between creating and renaming its file;
// every writer holds the named mutex, so none of them is still being written.
void RemoveLeftovers(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const std::string prefix = "." GUIDDB_NAME ".";
  while (struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0 &&
        name.find(".snapshot.tmp") != std::string::npos)
      ::unlinkat(::dirfd(dir), name.c_str(), 0);
  }
  ::closedir(dir);
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
