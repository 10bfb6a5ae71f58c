#include "guiddb/RowSetDigest.h"

#include <gnutls/crypto.h>

#include <cstdio>

#include "host/SQLite3.h"

namespace {

void PutLength(std::string& out, size_t n) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
}

}  // namespace

// Each field carries its length, so that no two different rows hash the same
// bytes ("a" + "bc" and "ab" + "c" differ).
RowSetDigest::Number RowSetDigest::HashOf(const std::string& name, const std::string& guid,
                                          int32_t status) {
  std::string bytes;
  bytes.reserve(name.size() + guid.size() + 12);
  PutLength(bytes, name.size());
  bytes += name;
  PutLength(bytes, guid.size());
  bytes += guid;
  PutLength(bytes, static_cast<uint32_t>(status));
  Number hash{};
  gnutls_hash_fast(GNUTLS_DIG_SHA256, bytes.data(), bytes.size(), hash.data());
  return hash;
}

void RowSetDigest::Add(const std::string& name, const std::string& guid, int32_t status) {
  const Number h = HashOf(name, guid, status);
  unsigned carry = 0;
  for (int i = 31; i >= 0; --i) {
    const unsigned s = sum_[i] + h[i] + carry;
    sum_[i] = static_cast<uint8_t>(s);
    carry = s >> 8;
  }
}

void RowSetDigest::Remove(const std::string& name, const std::string& guid, int32_t status) {
  const Number h = HashOf(name, guid, status);
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    const int d = sum_[i] - h[i] - borrow;
    sum_[i] = static_cast<uint8_t>(d);
    borrow = d < 0 ? 1 : 0;
  }
}

std::string RowSetDigest::Hex() const {
  std::string hex;
  char two[3];
  for (uint8_t b : sum_) {
    std::snprintf(two, sizeof(two), "%02x", b);
    hex += two;
  }
  return hex;
}

bool RowSetDigest::FromHex(const std::string& hex, RowSetDigest& out) {
  if (hex.size() != 64) return false;
  Number n{};
  for (size_t i = 0; i < 64; ++i) {
    const char c = hex[i];
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else
      return false;
    n[i / 2] = static_cast<uint8_t>(n[i / 2] << 4 | v);
  }
  out.sum_ = n;
  return true;
}

Status RowSetDigest::OfFile(const std::string& file, RowSetDigest& out) {
  try {
    FX::CSQLite3DB db(file, true);
    auto rows = db.ExecQuerySetup("SELECT Name, GUID, Status FROM GUID");
    RowSetDigest digest;
    while (rows->NextRow())
      digest.Add(rows->GetStringField(0, ""), rows->GetStringField(1, ""), rows->GetIntField(2, 0));
    out = digest;
    return Status::OK();
  } catch (const FX::CSQLite3Exception& e) {
    return Status::Database(file + ": " + e.what(), e.code());
  }
}
