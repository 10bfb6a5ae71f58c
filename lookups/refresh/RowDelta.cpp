#include "lookups/refresh/RowDelta.h"

#include <zlib.h>

#include <cstring>
#include <memory>
#include <sstream>

#include "host/SQLite3.h"

namespace {

constexpr char kMagic[] = "guidlookups row delta 1";
constexpr char kAllRows[] = "SELECT Name, GUID, Status FROM GUID ORDER BY Name, GUID, Status";

// ---- diff ------------------------------------------------------------------

// One table read in order, a row at a time.
class OrderedRows {
 public:
  explicit OrderedRows(const std::string& file)
      : db_(file, true), rows_(db_.ExecQuerySetup(kAllRows)) {
    Next();
  }
  bool done() const { return done_; }
  const SGuidRecord& row() const { return row_; }
  void Next() {
    done_ = !rows_->NextRow();
    if (done_) return;
    row_.name = rows_->GetStringField(0, "");
    row_.guid = rows_->GetStringField(1, "");
    row_.status = rows_->GetIntField(2, 0);
  }

 private:
  FX::CSQLite3DB db_;
  boost::shared_ptr<FX::CSQLite3Query> rows_;
  SGuidRecord row_;
  bool done_ = false;
};

// The order of kAllRows: SQLite's BINARY collation is memcmp, as std::string's.
int Compare(const SGuidRecord& a, const SGuidRecord& b) {
  if (int c = a.name.compare(b.name)) return c;
  if (int c = a.guid.compare(b.guid)) return c;
  return a.status < b.status ? -1 : a.status > b.status ? 1 : 0;
}

// ---- text ------------------------------------------------------------------

void PutEscaped(std::string& out, const std::string& field) {
  for (char c : field) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
}

bool Unescape(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (++i == in.size()) return false;
    switch (in[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      default:
        return false;
    }
  }
  return true;
}

void PutRow(std::string& out, char sign, const SGuidRecord& r) {
  out += sign;
  out += ' ';
  PutEscaped(out, r.name);
  out += '\t';
  PutEscaped(out, r.guid);
  out += '\t';
  out += std::to_string(r.status);
  out += '\n';
}

// Reads "<sign> name TAB guid TAB status".
bool ParseRow(const std::string& line, char sign, SGuidRecord& r) {
  if (line.size() < 2 || line[0] != sign || line[1] != ' ') return false;
  const size_t tab1 = line.find('\t', 2);
  const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
  if (tab2 == std::string::npos || line.find('\t', tab2 + 1) != std::string::npos) return false;
  const std::string status = line.substr(tab2 + 1);
  if (status.empty() || status.size() > 11) return false;
  char* end = nullptr;
  const long long v = std::strtoll(status.c_str(), &end, 10);
  if (*end != '\0' || v < INT32_MIN || v > INT32_MAX || (status[0] != '-' && !isdigit(status[0])))
    return false;
  r.status = static_cast<int32_t>(v);
  return Unescape(line.substr(2, tab1 - 2), r.name) &&
         Unescape(line.substr(tab1 + 1, tab2 - tab1 - 1), r.guid);
}

// "<key> <value>" with a value of at least one character and no blank.
bool ParseField(const std::string& line, const char* key, std::string& value) {
  const size_t n = std::strlen(key);
  if (line.size() <= n + 1 || line.compare(0, n, key) != 0 || line[n] != ' ') return false;
  value = line.substr(n + 1);
  return value.find_first_of(" \t") == std::string::npos;
}

bool ParseCount(const std::string& line, const char* key, uint64_t& count) {
  std::string value;
  if (!ParseField(line, key, value) || value.size() > 12) return false;
  for (char c : value)
    if (c < '0' || c > '9') return false;
  count = std::stoull(value);
  return true;
}

// ---- gzip ------------------------------------------------------------------

std::string Gzip(const std::string& text) {
  z_stream z{};
  // 31: a gzip header; level 9; a header with no name and no time.
  deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

bool Gunzip(const std::string& gz, uint64_t maxText, std::string& text) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return false;
  std::unique_ptr<z_stream, int (*)(z_stream*)> guard(&z, inflateEnd);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  text.clear();
  char buffer[1 << 16];
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof(buffer);
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) return false;
    text.append(buffer, sizeof(buffer) - z.avail_out);
    if (text.size() > maxText) return false;
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) return false;  // cut short
  }
  return z.avail_in == 0;  // nothing after the stream
}

Status Garbled(const std::string& why) { return Status::Corruption("the row delta " + why); }

}  // namespace

Status DiffTables(const std::string& before, const std::string& after, RowDelta& delta) {
  delta.removed.clear();
  delta.added.clear();
  try {
    OrderedRows old(before), now(after);
    while (!old.done() || !now.done()) {
      const int c = old.done() ? 1 : now.done() ? -1 : Compare(old.row(), now.row());
      if (c < 0) {
        delta.removed.push_back(old.row());
        old.Next();
      } else if (c > 0) {
        delta.added.push_back(now.row());
        now.Next();
      } else {
        old.Next();
        now.Next();
      }
    }
    return Status::OK();
  } catch (const FX::CSQLite3Exception& e) {
    return Status::Database(std::string("cannot compare the tables: ") + e.what(), e.code());
  }
}

std::string EncodeRowDelta(const RowDelta& delta) {
  std::string text = std::string(kMagic) + "\nfrom " + delta.fromId + "\nto " + delta.toId +
                     "\ndigest " + delta.digest + "\nremoved " +
                     std::to_string(delta.removed.size()) + "\nadded " +
                     std::to_string(delta.added.size()) + "\n";
  for (const SGuidRecord& r : delta.removed) PutRow(text, '-', r);
  for (const SGuidRecord& r : delta.added) PutRow(text, '+', r);
  text += "end\n";
  return Gzip(text);
}

Status DecodeRowDelta(const std::string& gz, RowDelta& delta, uint64_t maxText) {
  std::string text;
  if (!Gunzip(gz, maxText, text)) return Garbled("is not whole gzip, or unpacks too large");
  std::istringstream in(text);
  std::string line;
  auto next = [&] { return static_cast<bool>(std::getline(in, line)); };
  RowDelta d;
  uint64_t removed = 0, added = 0;
  RowSetDigest digest;
  if (!next() || line != kMagic) return Garbled("has no known header");
  if (!next() || !ParseField(line, "from", d.fromId) || !next() ||
      !ParseField(line, "to", d.toId) || !next() || !ParseField(line, "digest", d.digest) ||
      !RowSetDigest::FromHex(d.digest, digest) || !next() ||
      !ParseCount(line, "removed", removed) || !next() || !ParseCount(line, "added", added))
    return Garbled("header is garbled");
  // Every row takes at least 6 bytes of text: counts beyond it are lies.
  if (removed + added > text.size() / 6) return Garbled("counts more rows than it holds");
  d.removed.resize(removed);
  d.added.resize(added);
  for (SGuidRecord& r : d.removed)
    if (!next() || !ParseRow(line, '-', r)) return Garbled("has a garbled removed row");
  for (SGuidRecord& r : d.added)
    if (!next() || !ParseRow(line, '+', r)) return Garbled("has a garbled added row");
  if (!next() || line != "end" || next() || !in.eof()) return Garbled("does not end where it must");
  delta = std::move(d);
  return Status::OK();
}

Status ApplyRowDelta(const AccessLock& /*held*/, const std::string& file, const RowDelta& delta,
                     const RowSetDigest& current, RowSetDigest& after,
                     const DeltaStepObserver& observer, bool scratch) {
  auto step = [&](const char* name) {
    if (observer) observer(name);
  };
  RowSetDigest expected = current;
  for (const SGuidRecord& r : delta.removed) expected.Remove(r.name, r.guid, r.status);
  for (const SGuidRecord& r : delta.added) expected.Add(r.name, r.guid, r.status);
  if (expected.Hex() != delta.digest)
    return Status(Status::Code::kRefused,
                  "the row delta does not lead from this table to the published one");
  try {
    FX::CSQLite3DB db(file, false);
    if (scratch) db.ExecDML("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;");
    db.ExecDML("BEGIN IMMEDIATE;");
    step("begun");
    // Rolled back on every way out but the commit; a rollback of a
    // connection about to close cannot be refused in any way that matters.
    struct Rollback {
      FX::CSQLite3DB& db;
      bool armed = true;
      ~Rollback() {
        if (!armed) return;
        try {
          db.ExecDML("ROLLBACK;");
        } catch (...) {
        }
      }
    } rollback{db};
    auto remove = db.CompileStatement(
        "DELETE FROM GUID WHERE rowid = (SELECT rowid FROM GUID WHERE Name = ?1 AND GUID = ?2 "
        "AND Status = ?3 LIMIT 1)");
    for (const SGuidRecord& r : delta.removed) {
      remove->Bind(1, r.name);
      remove->Bind(2, r.guid);
      remove->Bind(3, r.status);
      if (remove->ExecDML() != 1)
        return Status(Status::Code::kRefused,
                      "the row delta removes a row the table does not have: " + r.name);
    }
    step("removed");
    auto insert = db.CompileStatement("INSERT INTO GUID (Name, GUID, Status) VALUES (?1, ?2, ?3)");
    for (const SGuidRecord& r : delta.added) {
      insert->Bind(1, r.name);
      insert->Bind(2, r.guid);
      insert->Bind(3, r.status);
      insert->ExecDML();
    }
    step("added");
    db.ExecDML("COMMIT;");
    rollback.armed = false;
    after = expected;
    return Status::OK();
  } catch (const FX::CSQLite3Exception& e) {
    return Status::Database(std::string("the row delta could not be applied: ") + e.what(),
                            e.code());
  }
}
