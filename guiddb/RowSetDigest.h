// A digest of the GUID table's rows that does not depend on their order and
// follows a row delta: the sum, modulo 2^256, of the SHA-256 of each row.
// Two tables with the same rows, duplicates counted, have the same digest;
// adding a row adds its hash, removing one subtracts it, so an agent that
// knows its table's digest can tell, without reading the table again,
// whether a delta leads it to exactly the table that was published.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host/Export.h"
#include "host/Status.h"

class GUIDLOOKUPS_EXPORT RowSetDigest {
 public:
  // The digest of no rows (all zero).
  RowSetDigest() = default;

  void Add(const std::string& name, const std::string& guid, int32_t status);
  void Remove(const std::string& name, const std::string& guid, int32_t status);

  // 64 lower-case hex digits.
  std::string Hex() const;
  // Reads what Hex wrote; false (and `out` untouched) for anything else.
  static bool FromHex(const std::string& hex, RowSetDigest& out);

  // The digest of every row of the GUID table of `file`, opened read-only:
  // a full scan.
  static Status OfFile(const std::string& file, RowSetDigest& out);

  bool operator==(const RowSetDigest& other) const { return sum_ == other.sum_; }
  bool operator!=(const RowSetDigest& other) const { return sum_ != other.sum_; }

 private:
  using Number = std::array<uint8_t, 32>;  // big-endian
  static Number HashOf(const std::string& name, const std::string& guid, int32_t status);

  Number sum_{};
};
