#include "support/GuidDBSupport.h"

#include <cstdio>
#include <random>
#include <stdexcept>

namespace testsupport {

namespace {

// Bytes 16-17 of the header: the page size, big-endian, 1 meaning 65536.
size_t PageSize(const std::string& bytes) {
  if (bytes.size() < 100) throw std::runtime_error("not a database file");
  const size_t size =
      (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
  return size == 1 ? 65536 : size;
}

}  // namespace

std::vector<Row> ManyRows(int count) {
  std::vector<Row> rows;
  rows.reserve(count);
  char name[64];
  char guid[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "user%05d@corp.example", i);
    std::snprintf(guid, sizeof guid, "{%08x-aaaa-bbbb-cccc-%012d}",
                  static_cast<unsigned>(i * 2654435761u), i);
    rows.emplace_back(name, guid, i % 3);
  }
  return rows;
}

void TruncateToHalf(const std::string& file, bool dropHeaderSize) {
  std::string bytes = ReadFile(file);
  const size_t page = PageSize(bytes);
  bytes.resize(bytes.size() / page / 2 * page);
  // Bytes 92-95 ("version-valid-for") must equal the change counter at 24-27
  // for SQLite to believe the page count at 28-31.
  if (dropHeaderSize) bytes[95] = static_cast<char>(bytes[27] ^ 0x5a);
  WriteFile(file, bytes);
}

void InvertPages(const std::string& file, double first, double last) {
  std::string bytes = ReadFile(file);
  const size_t page = PageSize(bytes);
  const size_t pages = bytes.size() / page;
  for (size_t p = static_cast<size_t>(pages * first); p < static_cast<size_t>(pages * last); ++p) {
    if (p == 0) continue;  // page 1 holds the header and the schema
    for (size_t i = p * page; i < (p + 1) * page; ++i) bytes[i] = static_cast<char>(~bytes[i]);
  }
  WriteFile(file, bytes);
}

void FlipRandomBytes(const std::string& file, unsigned seed, int count) {
  std::string bytes = ReadFile(file);
  if (bytes.size() <= 100) throw std::runtime_error("not a database file");
  std::mt19937 random(seed);
  std::uniform_int_distribution<size_t> where(100, bytes.size() - 1);
  std::uniform_int_distribution<int> mask(1, 255);
  for (int i = 0; i < count; ++i) bytes[where(random)] ^= static_cast<char>(mask(random));
  WriteFile(file, bytes);
}

}  // namespace testsupport
