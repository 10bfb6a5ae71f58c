#include "lookups/refresh/Manifest.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// A small reader for the manifests the publisher writes.
class ManifestReader {
 public:
  explicit ManifestReader(const std::string& text) : text_(text) {}

  bool Read(Manifest& m) {
    const bool read = Object([&](const std::string& key) {
      if (key == "id") return String(m.id);
      if (key == "time") return String(m.time);
      if (key == "digest") return String(m.digest);
      if (key == "rows") return Number(m.rows);
      if (key == "guids") return Number(m.guids);
      if (key == "files") return Array([&] { return File(m.files); });
      if (key == "deltas") return Array([&] { return Delta(m.deltas); });
      return Skip();
    });
    Blank();
    return read && at_ == text_.size();
  }

 private:
  void Blank() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
  }
  bool Accept(char c) {
    Blank();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  // An object whose every value `field` reads, given its key.
  template <typename Field>
  bool Object(Field field) {
    if (!Accept('{')) return false;
    if (Accept('}')) return true;
    do {
      std::string key;
      if (!String(key) || !Accept(':') || !field(key)) return false;
    } while (Accept(','));
    return Accept('}');
  }
  template <typename Item>
  bool Array(Item item) {
    if (!Accept('[')) return false;
    if (Accept(']')) return true;
    do {
      if (!item()) return false;
    } while (Accept(','));
    return Accept(']');
  }
  bool String(std::string& out) {
    if (!Accept('"')) return false;
    out.clear();
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\') {
        if (at_ >= text_.size()) return false;
        c = text_[at_++];
        if (c == 'u') {
          if (at_ + 4 > text_.size()) return false;
          const unsigned long code = std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16);
          at_ += 4;
          if (code >= 0x80) return false;
          c = static_cast<char>(code);
        } else if (c != '"' && c != '\\' && c != '/') {
          return false;
        }
      }
      out += c;
    }
    return Accept('"');
  }
  bool Number(long long& out) {
    Blank();
    const size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
    if (at_ == start || (at_ == start + 1 && text_[start] == '-')) return false;
    out = std::strtoll(text_.substr(start, at_ - start).c_str(), nullptr, 10);
    return true;
  }
  bool FileField(const std::string& key, ManifestFile& file) {
    if (key == "name") return String(file.name);
    if (key == "sha256") return String(file.sha256);
    if (key == "size") return Number(file.size);
    return Skip();
  }
  bool File(std::vector<ManifestFile>& files) {
    ManifestFile file;
    if (!Object([&](const std::string& key) { return FileField(key, file); })) return false;
    files.push_back(file);
    return true;
  }
  bool Delta(std::vector<ManifestDelta>& deltas) {
    ManifestDelta delta;
    const bool read = Object([&](const std::string& key) {
      return key == "from" ? String(delta.from) : FileField(key, delta.file);
    });
    if (!read) return false;
    deltas.push_back(delta);
    return true;
  }
  bool Skip() {
    Blank();
    if (at_ >= text_.size()) return false;
    std::string s;
    long long n;
    if (text_[at_] == '"') return String(s);
    // A later publisher's fields are skipped whole, however deep.
    if (text_[at_] == '[') return Array([&] { return Skip(); });
    if (text_[at_] == '{') return Object([&](const std::string&) { return Skip(); });
    for (const char* word : {"true", "false", "null"})
      if (text_.compare(at_, std::strlen(word), word) == 0) return at_ += std::strlen(word), true;
    return Number(n);
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

bool ParseManifest(const std::string& text, Manifest& manifest) {
  Manifest m;
  if (!ManifestReader(text).Read(m)) return false;
  manifest = std::move(m);
  return true;
}
