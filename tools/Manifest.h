// A release's manifest, "manifest.json" in its folder, as the publisher
// writes it: the library's Manifest (lookups/refresh/Manifest.h, whose
// reader the agent uses too) written as one JSON object, and what the
// publisher's commands know of a release beyond it.
#pragma once

#include <string>
#include <vector>

#include "lookups/refresh/Manifest.h"

namespace guidlookup {

constexpr char kManifestName[] = "manifest.json";

using ReleaseFile = ManifestFile;

struct Release : Manifest {
  bool live = false;
  std::string problem;  // why its manifest could not be read, "" when it could
};

// The files of a release as the manifest lists them, a JSON array.
std::string FilesJson(const std::vector<ReleaseFile>& files);
// The deltas of a release as the manifest lists them, a JSON array.
std::string DeltasJson(const std::vector<ManifestDelta>& deltas);
// The manifest of `r`, one line.
std::string ManifestText(const Release& r);
// Reads the manifest at `path` into `r`. False with `problem` set when it
// cannot be read or is not a manifest.
bool ReadManifest(const std::string& path, Release& r, std::string& problem);

}  // namespace guidlookup
