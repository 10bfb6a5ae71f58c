// The shared snapshot reader: any bytes, given a header whose size and
// checksum are made right so that damaged bodies are reached, are either
// refused or read without a read outside them and without a hang.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "lookups/SharedSnapshot.h"

FUZZ_INITIALIZE_WITH_A_SILENT_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly `size` bytes on the heap, so that AddressSanitizer sees a read
  // past the end.
  std::vector<unsigned char> image(data, data + size);
  if (size >= 24) {
    const uint64_t fileSize = size;
    std::memcpy(image.data() + 16, &fileSize, sizeof(fileSize));
  }
  SharedSnapshot::Reseal(image.data(), image.size());
  std::string why;
  auto snapshot = SharedSnapshot::FromBytes(image.data(), image.size(), &why);
  if (!snapshot) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  const std::string verdict = snapshot->Verify();
  GuidRecordMap out;
  snapshot->Find("ANN@EXAMPLE.COM", out);
  snapshot->Find("", out);
  snapshot->ForEachGroup([&](const SSnapshotGroup& group) {
    snapshot->Find(group.guid, out);
    for (const std::string& key : group.keys) snapshot->Find(key, out);
  });
  // Verify's walk and the lookups read the same bytes: a sound image has a
  // group for every key it counts.
  if (verdict.empty()) FUZZ_CHECK(snapshot->keyCount() == 0 || snapshot->groupCount() > 0);
  return 0;
}
