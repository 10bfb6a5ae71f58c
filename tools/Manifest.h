// A release's manifest, "manifest.json" in its folder: its id, time, rows,
// GUIDs and the name, size and SHA-256 of each of its files, written as one
// JSON object and read back by the small reader here, which takes the
// manifests this tool writes and nothing more.
#pragma once

#include <string>
#include <vector>

namespace guidlookup {

constexpr char kManifestName[] = "manifest.json";

struct ReleaseFile {
  std::string name;
  long long size = 0;
  std::string sha256;  // lower-case hex
};

struct Release {
  std::string id;
  std::string time;  // ISO 8601, UTC, when it was made
  long long rows = 0;
  long long guids = 0;
  std::vector<ReleaseFile> files;
  bool live = false;
  std::string problem;  // why its manifest could not be read, "" when it could
};

// The files of a release as the manifest lists them, a JSON array.
std::string FilesJson(const std::vector<ReleaseFile>& files);
// The manifest of `r`, one line.
std::string ManifestText(const Release& r);
// Reads the manifest at `path` into `r`. False with `problem` set when it
// cannot be read or is not a manifest this tool wrote.
bool ReadManifest(const std::string& path, Release& r, std::string& problem);

}  // namespace guidlookup
