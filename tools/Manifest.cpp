#include "tools/Manifest.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "host/Files.h"
#include "tools/Json.h"

namespace guidlookup {

namespace {

// A small reader for the manifests this unit writes: objects, arrays,
// strings (with \" \\ \/ \uXXXX below 0x80), integers, true, false, null.
class ManifestReader {
 public:
  explicit ManifestReader(const std::string& text) : text_(text) {}

  bool Read(Release& r) {
    return Object([&](const std::string& key) {
      if (key == "id" || key == "time") return String(key == "id" ? r.id : r.time);
      if (key == "rows" || key == "guids") return Number(key == "rows" ? r.rows : r.guids);
      if (key == "files") return Files(r.files);
      return Skip();
    });
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
    do {
      std::string key;
      if (!String(key) || !Accept(':') || !field(key)) return false;
    } while (Accept(','));
    return Accept('}');
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
    if (at_ == start) return false;
    out = std::strtoll(text_.substr(start, at_ - start).c_str(), nullptr, 10);
    return true;
  }
  bool Files(std::vector<ReleaseFile>& files) {
    if (!Accept('[')) return false;
    if (Accept(']')) return true;
    do {
      ReleaseFile file;
      const bool read = Object([&](const std::string& key) {
        if (key == "name" || key == "sha256")
          return String(key == "name" ? file.name : file.sha256);
        if (key == "size") return Number(file.size);
        return Skip();
      });
      if (!read) return false;
      files.push_back(file);
    } while (Accept(','));
    return Accept(']');
  }
  bool Skip() {
    Blank();
    if (at_ >= text_.size()) return false;
    std::string s;
    long long n;
    if (text_[at_] == '"') return String(s);
    for (const char* word : {"true", "false", "null"})
      if (text_.compare(at_, std::strlen(word), word) == 0) return at_ += std::strlen(word), true;
    return Number(n);
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

bool ReadManifest(const std::string& path, Release& r, std::string& problem) {
  std::string text;
  if (!hostfs::ReadWholeFile(path, text, &problem)) return false;
  if (!ManifestReader(text).Read(r)) {
    problem = path + ": not a manifest this tool wrote";
    return false;
  }
  return true;
}

std::string FilesJson(const std::vector<ReleaseFile>& files) {
  std::vector<std::string> items;
  for (const ReleaseFile& f : files)
    items.push_back(
        JsonObject().add("name", f.name).addNumber("size", f.size).add("sha256", f.sha256).str());
  return JsonArray(items);
}

std::string ManifestText(const Release& r) {
  return JsonObject()
             .add("id", r.id)
             .add("time", r.time)
             .addNumber("rows", r.rows)
             .addNumber("guids", r.guids)
             .addRaw("files", FilesJson(r.files))
             .str() +
         "\n";
}

}  // namespace guidlookup
