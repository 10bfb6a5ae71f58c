// The shared snapshot reader: any bytes, given a header whose size and
// checksums (the header's and each group's) are made right so that damaged
// bodies reach the checks behind them, are either refused or read without a
// read outside them and without a hang; and an image that Verify calls
// sound answers every key of every group with that group's records, without
// counting damage.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "lookups/snapshot/SharedSnapshot.h"

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
  SSnapshotSource now = snapshot->source();
  snapshot->MismatchWith(now);  // a young one reads no file: `now` names none
  const bool walked = snapshot->ForEachGroup([&](const SSnapshotGroup& group) {
    std::vector<std::string> keys = group.keys;
    keys.push_back(group.guid);
    for (const std::string& key : keys) {
      const bool found = snapshot->Find(key, out);
      if (verdict.empty() && snapshot->KeyLeadsTo(key, group.offset))
        FUZZ_CHECK(found && out == group.records);
    }
  });
  if (verdict.empty()) {
    FUZZ_CHECK(walked);
    FUZZ_CHECK(snapshot->damageSeen() == 0);
    FUZZ_CHECK(snapshot->keyCount() == 0 || snapshot->groupCount() > 0);
  }
  return 0;
}
