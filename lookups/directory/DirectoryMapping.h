// How the entries of an organisation's directory (an LDIF export, a live
// LDAP search) become rows of the GUID table: which attribute gives the
// group's GUID, and which attributes give names of which status.
//
// Thread-safety: a mapping is a plain value; share it read-only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/AppMgrClient.h"
#include "host/Export.h"
#include "host/Status.h"

// An attribute that may hold the entry's GUID. A binary one holds the 16
// bytes of a Microsoft GUID (objectGUID) and is written in Microsoft's text
// form, upper case in braces with the first three fields byte-swapped; any
// other one is text (entryUUID), written upper-cased in braces.
struct GUIDLOOKUPS_EXPORT SGuidAttribute {
  std::string attribute;
  bool binary = false;
};

// Each value of `attribute` (names compare without regard to case, options
// such as ";binary" ignored) that starts with `prefix` (compared exactly,
// case and all) becomes a row of `status`, named by the value without the
// prefix; an empty prefix takes every value. Rules for one status are
// alternatives in order: the first one that gives a row for an entry gives
// that status's rows, the later ones are skipped. `address` rules give the
// entry's SMTP addresses; an entry without one gives no rows.
struct GUIDLOOKUPS_EXPORT SDirectoryRule {
  std::string attribute;
  std::string prefix;
  int32_t status = 0;
  bool address = false;
};

struct GUIDLOOKUPS_EXPORT SDirectoryMapping {
  // Tried in order; the first one the entry holds gives its GUID.
  std::vector<SGuidAttribute> guidAttributes;
  std::vector<SDirectoryRule> rules;

  // The mapping of Exchange directories: objectGUID, else entryUUID; status
  // 1 the proxyAddresses value "SMTP:...", else mail; status 2 each
  // "smtp:..." value; status 8 displayName; status 16 legacyExchangeDN.
  // Other proxy addresses (X500:, sip:...) give no rows.
  static SDirectoryMapping Exchange();

  // Adds the rule written "ATTRIBUTE=STATUS" or "ATTRIBUTE/PREFIX=STATUS"
  // (statuses 1 and 2 are address rules). False, with `error` saying why,
  // when the text is not such a rule.
  bool AddRule(const std::string& text, std::string& error);
  // Adds a GUID attribute written "ATTRIBUTE" or "ATTRIBUTE:binary".
  bool AddGuidAttribute(const std::string& text, std::string& error);

  // Every attribute the mapping reads, each once, GUID attributes first.
  std::vector<std::string> Attributes() const;
};

// What a directory source has read so far; the counts only grow.
struct GUIDLOOKUPS_EXPORT SDirectoryCounts {
  uint64_t entries = 0;
  uint64_t entriesWithoutGuid = 0;
  // Entries that have a GUID but no SMTP address.
  uint64_t entriesWithoutAddress = 0;
  uint64_t rows = 0;
};

// Internal to the library (not exported): the directory sources share it.
// The values of one entry, gathered attribute by attribute, and the rows
// they make. Not thread-safe; one per source.
class DirectoryEntryMapper {
 public:
  explicit DirectoryEntryMapper(const SDirectoryMapping& mapping);

  // The slot of an attribute the mapping reads, -1 for any other.
  int Slot(const char* name, size_t length) const;
  // Starts a new entry, dropping the values of the last one.
  void Begin();
  // A value of the attribute in `slot`; `where` is passed back with an error
  // about it (a line number, or 0).
  void Add(int slot, const char* value, size_t length, unsigned long where);
  // Ends the entry: appends its rows to `rows` (none for an entry without a
  // GUID or address) and counts it. Corruption, saying what is wrong, with
  // `where` naming the value at fault, for a GUID of the wrong form or a
  // name that is not UTF-8.
  Status Finish(std::vector<GUIDNameInfo>& rows, SDirectoryCounts& counts, unsigned long& where);

 private:
  struct Value {
    std::string text;
    unsigned long where;
  };
  struct AttributeValues {
    std::string attribute;
    std::vector<Value> values;
  };
  const SDirectoryMapping& mapping_;
  std::vector<AttributeValues> slots_;
  std::vector<int> guidSlots_;
  std::vector<int> ruleSlots_;
};

// The directory sources hand out the rows of one entry at a time: the next
// of `rows`, refilled by `readEntry` (false at the end of the source) until
// one is there or the source has failed. 1 with `row`, 0 at the end, -1 with
// `error` set to `failure`.
template <typename ReadEntry>
int NextEntryRow(std::vector<GUIDNameInfo>& rows, size_t& next, const std::string& failure,
                 GUIDNameInfo& row, std::string& error, ReadEntry readEntry) {
  while (failure.empty() && next == rows.size()) {
    rows.clear();
    next = 0;
    if (!readEntry()) return 0;
  }
  if (!failure.empty()) {
    error = failure;
    return -1;
  }
  row = std::move(rows[next++]);
  return 1;
}
