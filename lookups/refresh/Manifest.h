// A release's manifest, "manifest.json": what the publisher wrote of one
// release of the control server's web root (its id, counts, files, the row
// digest of its table and the deltas from earlier releases), read by the
// publisher's own commands and by an agent deciding between a delta and the
// whole file.
#pragma once

#include <string>
#include <vector>

#include "host/Export.h"

struct GUIDLOOKUPS_EXPORT ManifestFile {
  std::string name;  // within the release's folder, e.g. "deltas/<id>.delta.gz"
  long long size = 0;
  std::string sha256;  // lower-case hex
};

struct GUIDLOOKUPS_EXPORT ManifestDelta {
  std::string from;  // the earlier release's id
  ManifestFile file;
};

struct GUIDLOOKUPS_EXPORT Manifest {
  std::string id;
  std::string time;  // ISO 8601, UTC, when it was made
  long long rows = 0;
  long long guids = 0;
  std::string digest;  // RowSetDigest of the table, hex; "" from an older publisher
  std::vector<ManifestFile> files;
  std::vector<ManifestDelta> deltas;
};

// Reads a manifest's text: objects, arrays, strings (with \" \\ \/ and
// \uXXXX below 0x80), integers, true, false, null; keys it does not know are
// skipped. False for anything else.
GUIDLOOKUPS_EXPORT bool ParseManifest(const std::string& text, Manifest& manifest);
