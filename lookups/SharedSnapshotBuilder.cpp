#include "lookups/SharedSnapshotBuilder.h"

#include <sys/stat.h>

#include <string>

#include "host/Files.h"
#include "host/StagedFile.h"
#include "lookups/GUIDTable.h"
#include "lookups/SnapshotFormat.h"
#include "lookups/StaticCache.h"

using namespace snapshotformat;

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
  // Readers of other processes need it readable, whatever the umask. A link
  // at `path` is replaced, never followed: Open refuses links anyway.
  hostfs::StagedFileOptions options;
  options.prefix = "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp";
  options.finalMode = 0644;
  hostfs::StagedFile staged;
  if (const int err = staged.Create(folder, options))
    return fail("cannot create a file in " + folder + " (" + hostfs::ErrnoText(err) + ")");
  const std::string temp = staged.path();
  auto failed = [&](const char* what, int err) {
    return fail(std::string(what) + " " + temp + " (" + hostfs::ErrnoText(err) + ")");
  };
  int err = staged.Write(header.data(), header.size());
  if (err == 0) err = staged.Write(groups_.data(), groups_.size());
  if (err == 0) err = staged.Write(table.data(), table.size());
  if (err != 0) return failed("cannot write", err);
  if ((err = staged.Flush()) != 0) return failed("cannot flush", err);
  if ((err = staged.Install(path, false)) != 0)
    return failed("cannot rename over the snapshot", err);
  return true;
}
