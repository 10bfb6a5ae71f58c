// The LDIF reader is our own, not OpenLDAP's (ldif.h): ldif_read_record
// opens the file an "include:" line names and drops lines that start with a
// digit, ldif_parse_line2 reads the file a ":<" value names, its base64
// decoder takes text that is not base64 ("====" gives a byte, anything after
// a "=" is ignored), it writes its complaints to the process's standard
// error, and it tells only the first line of a record. Each of those would
// be unsafe or wrong for an export we merely read, inside an agent's process.
#include "lookups/directory/LdifRows.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "host/Files.h"

namespace {

constexpr size_t kReadSize = size_t{1} << 20;
// A line beyond this (folds joined) is not an export of a directory.
constexpr size_t kMaxLineLength = size_t{16} << 20;

// The physical lines of a descriptor, read in large blocks.
class LineSource {
 public:
  LineSource(int fd, bool owned, const std::atomic<bool>* cancel)
      : fd_(fd), owned_(owned), cancel_(cancel), buffer_(kReadSize) {}
  ~LineSource() {
    if (owned_ && fd_ >= 0) ::close(fd_);
  }
  LineSource(const LineSource&) = delete;
  LineSource& operator=(const LineSource&) = delete;

  bool cutShort() const { return cutShort_; }

  // For a source made with no descriptor: opens `path` and owns it.
  bool Open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd_);
      fd_ = -1;
      errno = EISDIR;
    }
    return fd_ >= 0;
  }

  // 1 with the next line in `data`/`size` (its LF and one CR before it
  // removed; valid until the next call), 0 after the last one, -1 with
  // `error` set (and cutShort() true for a last line without its line end).
  int Next(const char*& data, size_t& size, std::string& error) {
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const void* newline = std::memchr(start, '\n', end_ - begin_);
      if (eof_ && begin_ < end_ && newline == nullptr) {
        // Every exporter ends its last line: one without is a cut copy.
        error = "the export ends inside this line (no line end after it): it was cut short";
        cutShort_ = true;
        return -1;
      }
      if (newline != nullptr) {
        const char* stop = static_cast<const char*>(newline);
        data = start;
        size = static_cast<size_t>(stop - start);
        begin_ = static_cast<size_t>(stop - buffer_.data()) + 1;
        if (size > 0 && data[size - 1] == '\r') --size;
        return 1;
      }
      if (eof_) return 0;
      if (!Fill(error)) return -1;
    }
  }

 private:
  bool Fill(std::string& error) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == buffer_.size()) {
      if (buffer_.size() > kMaxLineLength) {
        error = "a line longer than 16 MiB";
        return false;
      }
      buffer_.resize(buffer_.size() * 2);
    }
    for (;;) {
      ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (n < 0 && errno == EINTR && (cancel_ == nullptr || !cancel_->load())) continue;
      if (n < 0 && errno == EINTR) {
        error = "cancelled";
        return false;
      }
      if (n < 0) {
        error = "read failed (" + hostfs::ErrnoText(errno) + ")";
        return false;
      }
      if (n == 0) eof_ = true;
      end_ += static_cast<size_t>(n);
      return true;
    }
  }

  int fd_;
  bool owned_;
  const std::atomic<bool>* cancel_;
  bool cutShort_ = false;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

bool NameIs(const std::string& line, size_t length, const char* name) {
  return std::strlen(name) == length && ::strncasecmp(line.data(), name, length) == 0;
}

bool IsDescriptionChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == ';';
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64: groups of four, '=' only as the padding of the last group.
bool DecodeBase64(const char* text, size_t size, std::string& out) {
  out.clear();
  if (size % 4 != 0) return false;
  out.reserve(size / 4 * 3);
  for (size_t i = 0; i < size; i += 4) {
    const bool last = i + 4 == size;
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
    int v[4];
    for (int k = 0; k < 4 - pad; ++k)
      if ((v[k] = Base64Value(text[i + k])) < 0) return false;
    const uint32_t bits = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) |
                          (pad < 2 ? uint32_t(v[2]) << 6 : 0) | (pad < 1 ? uint32_t(v[3]) : 0);
    out += static_cast<char>(bits >> 16);
    if (pad < 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(bits & 0xFF);
  }
  return true;
}

class LdifReader {
 public:
  LdifReader(int fd, bool owned, std::string name, const SDirectoryMapping& mapping,
             SDirectoryCounts* counts, const std::atomic<bool>* cancel)
      : lines_(fd, owned, cancel),
        name_(std::move(name)),
        mapper_(mapping),
        counts_(counts != nullptr ? counts : &ownCounts_) {}

  // Opens `path` for the reader; when that fails every call gives why.
  bool Open(const std::string& path) {
    if (lines_.Open(path)) return true;
    failure_ = path + ": cannot open (" + hostfs::ErrnoText(errno) + ")";
    return false;
  }

  int Next(GUIDNameInfo& row, std::string& error) {
    return NextEntryRow(rows_, nextRow_, failure_, row, error, [this] { return ReadEntry() != 0; });
  }

 private:
  // -1 (failure_ set), 0 at the end, 1 for an entry mapped into rows_.
  int ReadEntry() {
    mapper_.Begin();
    bool inEntry = false;
    for (;;) {
      const int got = NextLogicalLine();
      if (got < 0) return -1;
      // ldapsearch, slapcat and ldifde end each entry with a blank line.
      if (got == 0 && inEntry)
        return Fail("the export ends inside this entry (no blank line after it): it was cut short");
      if (got == 0) break;
      if (line_.empty()) {
        if (inEntry) break;
        continue;
      }
      if (line_[0] == '#') continue;
      if (!ParseLine()) return -1;
      const size_t nameLength = colon_;
      if (!inEntry) {
        if (!seenEntry_ && !seenVersion_ && NameIs(line_, nameLength, "version")) {
          seenVersion_ = true;
          if (value_ != "1") return Fail("LDIF version " + value_ + " is not supported (only 1)");
          continue;
        }
        if (!NameIs(line_, nameLength, "dn"))
          return Fail("an entry must start with \"dn:\", not \"" + line_.substr(0, nameLength) +
                      ":\"");
        inEntry = true;
        continue;
      }
      if (NameIs(line_, nameLength, "changetype")) {
        if (value_ == "add") continue;
        return Fail("a change record (changetype: " + value_ +
                    ") cannot be imported; export the entries themselves");
      }
      if (NameIs(line_, nameLength, "control"))
        return Fail("a change record (control:) cannot be imported; export the entries themselves");
      if (NameIs(line_, nameLength, "dn"))
        return Fail("\"dn:\" inside an entry; entries are separated by a blank line");
      const int slot = mapper_.Slot(line_.data(), nameLength);
      if (slot >= 0) mapper_.Add(slot, value_.data(), value_.size(), lineNo_);
    }
    if (!inEntry) return 0;
    seenEntry_ = true;
    unsigned long where = 0;
    if (const Status s = mapper_.Finish(rows_, *counts_, where); !s.ok()) {
      lineNo_ = where;
      return Fail(s.context());
    }
    return 1;
  }

  // Splits line_ into its attribute description (ending at colon_) and its
  // value, decoded, in value_.
  bool ParseLine() {
    size_t colon = 0;
    while (colon < line_.size() && IsDescriptionChar(line_[colon])) ++colon;
    if (colon == 0 || colon == line_.size() || line_[colon] != ':')
      return Fail("a malformed line; expected \"attribute: value\""), false;
    colon_ = colon;
    size_t at = colon + 1;
    const bool base64 = at < line_.size() && line_[at] == ':';
    if (at < line_.size() && line_[at] == '<')
      return Fail("the value of " + line_.substr(0, colon) +
                  " points at a URL (\":<\"), which is never read; export the value itself"),
             false;
    if (base64) ++at;
    while (at < line_.size() && line_[at] == ' ') ++at;
    if (!base64) {
      value_.assign(line_, at, std::string::npos);
      return true;
    }
    size_t end = line_.size();
    while (end > at && line_[end - 1] == ' ') --end;
    if (!DecodeBase64(line_.data() + at, end - at, value_))
      return Fail("the base64 value of " + line_.substr(0, colon) + " does not decode"), false;
    return true;
  }

  // One logical line into line_: a physical line with the folded ones after
  // it (each starting with a space) joined on. -1 (failure_ set), 0 at the
  // end, 1 for a line, "" for a blank one.
  int NextLogicalLine() {
    const char* data = nullptr;
    size_t size = 0;
    if (haveAhead_) {
      data = ahead_;
      size = aheadSize_;
      haveAhead_ = false;
      lineNo_ = aheadNo_;
    } else {
      const int got = ReadPhysical(data, size);
      if (got <= 0) return got;
      lineNo_ = physicalNo_;
    }
    if (lineNo_ == 1 && size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0) {
      data += 3;
      size -= 3;
    }
    if (size > 0 && data[0] == ' ')
      return Fail("a folded line (starting with a space) after no line");
    line_.assign(data, size);
    if (size == 0) return 1;
    for (;;) {
      const int got = ReadPhysical(data, size);
      if (got < 0) return -1;
      if (got == 0) break;
      if (size == 0 || data[0] != ' ') {
        ahead_ = data;
        aheadSize_ = size;
        aheadNo_ = physicalNo_;
        haveAhead_ = true;
        break;
      }
      if (line_.size() + size > kMaxLineLength) return Fail("a line longer than 16 MiB");
      line_.append(data + 1, size - 1);
    }
    return 1;
  }

  int ReadPhysical(const char*& data, size_t& size) {
    std::string error;
    const int got = lines_.Next(data, size, error);
    if (got < 0 && lines_.cutShort()) lineNo_ = physicalNo_ + 1;
    if (got < 0) return Fail(error);
    if (got > 0) ++physicalNo_;
    return got;
  }

  int Fail(const std::string& what) {
    failure_ = name_ + ":" + std::to_string(lineNo_) + ": " + what;
    return -1;
  }

  LineSource lines_;
  std::string name_;
  DirectoryEntryMapper mapper_;
  SDirectoryCounts ownCounts_;
  SDirectoryCounts* counts_;
  std::vector<GUIDNameInfo> rows_;
  size_t nextRow_ = 0;
  // The logical line being parsed, the number of its first physical line
  // (errors name it), its colon and its value.
  std::string line_;
  unsigned long lineNo_ = 0;
  unsigned long physicalNo_ = 0;
  size_t colon_ = 0;
  std::string value_;
  // The physical line read past the end of the last logical one.
  const char* ahead_ = nullptr;
  size_t aheadSize_ = 0;
  bool haveAhead_ = false;
  unsigned long aheadNo_ = 0;
  bool seenVersion_ = false;
  bool seenEntry_ = false;
  // Once set, the reader is done: every call gives it again.
  std::string failure_;
};

GuidRowReader ReaderOf(std::shared_ptr<LdifReader> reader) {
  return [reader](GUIDNameInfo& row, std::string& error) { return reader->Next(row, error); };
}

}  // namespace

GuidRowReader LdifRows(const std::string& path, const SDirectoryMapping& mapping,
                       SDirectoryCounts* counts, const std::atomic<bool>* cancel) {
  try {
    auto reader = std::make_shared<LdifReader>(-1, true, path, mapping, counts, cancel);
    reader->Open(path);
    return ReaderOf(reader);
  } catch (const std::exception& e) {
    const std::string error = path + ": " + e.what();
    return [error](GUIDNameInfo&, std::string& out) { return out = error, -1; };
  }
}

GuidRowReader LdifRowsFrom(int fd, const std::string& name, const SDirectoryMapping& mapping,
                           SDirectoryCounts* counts, const std::atomic<bool>* cancel) {
  try {
    return ReaderOf(std::make_shared<LdifReader>(fd, false, name, mapping, counts, cancel));
  } catch (const std::exception& e) {
    const std::string error = name + ": " + e.what();
    return [error](GUIDNameInfo&, std::string& out) { return out = error, -1; };
  }
}
