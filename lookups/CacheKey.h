// What makes a row's name or GUID a key of the static cache, and the form a
// key is stored and probed in. The loader, the in-heap cache and the shared
// snapshot (its writer and its reader) take every key rule from here, so
// that a mapped table answers exactly as a loaded one.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "host/FXString.h"

namespace cachekey {

// The longest key compared, in bytes: longer names and probes are cut to it.
constexpr size_t kMaxLength = 10239;

// The byte-wise upper-casing of the process's locale as it is now.
struct LocaleUpper {
  // toupper takes an unsigned char value (or EOF); a plain char above 0x7f
  // would reach it negative.
  char operator()(unsigned char c) const { return static_cast<char>(std::toupper(c)); }
};

// The upper-casing of the process's locale taken once: a snapshot compares
// its names under the table of its load, whatever the locale later becomes.
struct CaseTable {
  unsigned char upper[256];
  CaseTable() {
    for (int c = 0; c < 256; ++c) upper[c] = static_cast<unsigned char>(std::toupper(c));
  }
  char operator()(unsigned char c) const { return static_cast<char>(upper[c]); }
};

// How many bytes of `text` its key keeps: those before its first NUL byte,
// at most kMaxLength.
inline size_t FormLength(const char* text, size_t length) {
  const size_t cut = std::min(length, kMaxLength);
  const void* nul = std::memchr(text, 0, cut);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : cut;
}

// The key of a name or of a probe: the bytes FormLength keeps, upper-cased.
template <typename Upper>
std::string Form(const char* text, size_t length, const Upper& upper) {
  std::string key(FormLength(text, length), '\0');
  for (size_t i = 0; i < key.size(); ++i) key[i] = upper(static_cast<unsigned char>(text[i]));
  return key;
}
inline std::string Form(const std::string& text) {
  return Form(text.data(), text.size(), LocaleUpper());
}

// Whether Form(name) is `key`, without building it.
template <typename Upper>
bool IsForm(const char* name, size_t length, const std::string& key, const Upper& upper) {
  const size_t n = FormLength(name, length);
  if (n != key.size()) return false;
  for (size_t i = 0; i < n; ++i)
    if (upper(static_cast<unsigned char>(name[i])) != key[i]) return false;
  return true;
}

// A row's GUID as its group's key, in place: Exchange GUIDs are matched
// regardless of case (ASCII letters upper-cased), Lotus Notes ones keep it.
inline void GuidKey(bool exchange, std::string& guid) {
  if (exchange) FXString::ToUpper(guid);
}

// The GUID callers read in the first record of an answer: the GUID key with
// "X" for each "-".
inline std::string XForm(const std::string& guid) {
  std::string x = guid;
  std::replace(x.begin(), x.end(), '-', 'X');
  return x;
}

// The list of its group a row's name joins as a key, which sets the order
// in which a group offers its keys: third, first, single, fourth.
enum class KeyList { kNone, kFirst, kSingle, kThird, kFourth };

// The statuses that make keys, for each kind of agent side by side; any
// other status only adds its record to the group. A proxy address (kProxy)
// is a fourth-list key only when the agent asks for proxy SMTP addresses.
inline KeyList ListOf(bool exchange, bool addProxySmtp, int32_t status) {
  constexpr KeyList kProxy = KeyList(-1);
  struct Rule {
    int32_t status;
    KeyList exchange, lotus;
  };
  // clang-format off
  static constexpr Rule kRules[] = {
      // status  Exchange          Lotus Notes
      {1,        KeyList::kFirst,  KeyList::kFirst},
      {2,        kProxy,           KeyList::kNone},
      {8,        KeyList::kThird,  KeyList::kThird},
      {16,       KeyList::kSingle, KeyList::kNone},
      {64,       KeyList::kNone,   KeyList::kThird},
      {128,      KeyList::kNone,   KeyList::kSingle},
      {288,      KeyList::kNone,   KeyList::kFourth},
  };
  // clang-format on
  for (const Rule& rule : kRules) {
    if (rule.status != status) continue;
    const KeyList list = exchange ? rule.exchange : rule.lotus;
    if (list != kProxy) return list;
    return addProxySmtp ? KeyList::kFourth : KeyList::kNone;
  }
  return KeyList::kNone;
}

// Whether a row of `status` offers its name as a key under the rules of the
// Exchange loader (with or without proxy addresses) or the Lotus Notes one.
inline bool StatusMakesKey(bool exchange, bool addProxySmtp, int32_t status) {
  return ListOf(exchange, addProxySmtp, status) != KeyList::kNone;
}

}  // namespace cachekey
