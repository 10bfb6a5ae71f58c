// The layout of a shared snapshot file and the helpers its writer
// (SharedSnapshotBuilder.cpp) and its reader (SharedSnapshot.cpp) share.
// Internal to those two files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "lookups/CacheKey.h"

// The file, all numbers in the byte order of the machine that wrote it (the
// header says which, and a reader of the other order refuses it):
//
//   header   kHeaderSize bytes at offset 0, fields at the k* offsets below,
//            closed by a checksum of the bytes before it;
//   groups   from groupsBegin to groupsEnd, one after the other, in the
//            order the loader stored them. A group:
//              u32 length            of the whole group, these fields included
//              u32 checksum          GroupChecksum of the bytes after it
//              u32 record count
//              GUID key              varint length, bytes
//              each record           i32 status (also its map key), u8 GUID
//                                    form (0: the GUID key, 1: the GUID key
//                                    with "X" for "-", 2: its own, then
//                                    varint length and bytes), varint name
//                                    length, name bytes
//              offered keys          varints: 1 the GUID key again, k >= 2
//                                    the name of record k - 2 (a status that
//                                    makes keys); 0 ends the list and the
//                                    group
//   slots    slotCount (a power of two) slots of 12 bytes: u32 tag (the
//            hash's upper half), u32 group offset (0: empty), u32 offset of
//            the key's text: the group's GUID key (compared as it is) or the
//            name of one of the group's offered keys (compared in key form).
//
// Keys are found by linear probing from hash & (slotCount - 1). A slot holds
// offsets, never pointers, so the file maps anywhere. Each key is stored
// once, as the text it is compared with: names are not copied but compared
// upper-cased on the fly, which keeps a row near half of what the heap takes.
// A slot is believed only when its key is one its group offers and the
// group's checksum holds, so that no single damaged byte yields an answer.
namespace snapshotformat {

constexpr char kMagic[8] = {'G', 'U', 'I', 'D', 'S', 'N', 'A', 'P'};
constexpr uint32_t kByteOrder = 0x01020304;
constexpr uint32_t kVersion = 2;

constexpr size_t kMagicAt = 0, kOrderAt = 8, kVersionAt = 12, kFileSizeAt = 16, kDeviceAt = 24,
                 kInodeAt = 32, kDbSizeAt = 40, kMtimeSecAt = 48, kMtimeNsecAt = 56,
                 kCtimeSecAt = 64, kCtimeNsecAt = 72, kDbHeadAt = 80, kContentAt = 88,
                 kLoaderAt = 96, kProxyAt = 100, kCtypeAt = 104, kYoungAt = 108, kCountersAt = 112,
                 kGroupsBeginAt = 128, kGroupsEndAt = 136, kSlotsAt = 144, kSlotCountAt = 152,
                 kKeyCountAt = 160, kRowCountAt = 168, kGroupCountAt = 176, kChecksumAt = 184,
                 kHeaderSize = 192;
constexpr uint64_t kSlotSize = 12;
constexpr uint64_t kMaxOffset = UINT32_MAX;
constexpr size_t kGroupHead = 12;  // length, checksum and record count before the GUID key
// The smallest group: its head, an empty GUID key, no record, the list's end.
constexpr size_t kMinGroup = kGroupHead + 2;

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

inline void AppendVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

inline uint64_t Checksum(const unsigned char* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// A case table's fingerprint, kept in a snapshot's header and name.
inline uint32_t Fingerprint(const cachekey::CaseTable& cases) {
  return static_cast<uint32_t>(Checksum(cases.upper, sizeof(cases.upper)));
}

// Keys are upper-cased under the process's locale; a snapshot written under
// another one would hold other keys than this process's load would make.
inline uint32_t CtypeFingerprint() { return Fingerprint(cachekey::CaseTable()); }

// Eight bytes a step: the probe path hashes every key it looks up.
inline uint64_t HashKey(const char* p, size_t n) {
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

// The checksum of a group: over the bytes after its checksum field, so that
// its length (which bounds them) is covered too.
inline uint32_t GroupChecksum(const unsigned char* group, size_t length) {
  const uint64_t h = HashKey(reinterpret_cast<const char*>(group) + 8, length - 8);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace snapshotformat
