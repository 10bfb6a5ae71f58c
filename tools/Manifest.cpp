#include "tools/Manifest.h"

#include "host/Files.h"
#include "tools/Json.h"

namespace guidlookup {

bool ReadManifest(const std::string& path, Release& r, std::string& problem) {
  std::string text;
  if (!hostfs::ReadWholeFile(path, text, &problem)) return false;
  if (!ParseManifest(text, r)) {
    problem = path + ": not a manifest this tool wrote";
    return false;
  }
  return true;
}

namespace {

std::string FileJson(const ReleaseFile& f, const std::string& from) {
  JsonObject object;
  if (!from.empty()) object.add("from", from);
  return object.add("name", f.name).addNumber("size", f.size).add("sha256", f.sha256).str();
}

}  // namespace

std::string FilesJson(const std::vector<ReleaseFile>& files) {
  std::vector<std::string> items;
  for (const ReleaseFile& f : files) items.push_back(FileJson(f, ""));
  return JsonArray(items);
}

std::string DeltasJson(const std::vector<ManifestDelta>& deltas) {
  std::vector<std::string> items;
  for (const ManifestDelta& d : deltas) items.push_back(FileJson(d.file, d.from));
  return JsonArray(items);
}

std::string ManifestText(const Release& r) {
  JsonObject object;
  object.add("id", r.id).add("time", r.time).addNumber("rows", r.rows).addNumber("guids", r.guids);
  // A manifest without a digest (a table that could not be read whole) lists
  // no deltas: an agent could not check where they lead.
  if (!r.digest.empty()) object.add("digest", r.digest);
  object.addRaw("files", FilesJson(r.files));
  if (!r.digest.empty()) object.addRaw("deltas", DeltasJson(r.deltas));
  return object.str() + "\n";
}

}  // namespace guidlookup
