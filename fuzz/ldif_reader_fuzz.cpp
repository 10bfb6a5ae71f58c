// The LDIF reader: any text either gives rows of the mapped form, or fails
// once with an error that names a line of the text, and then keeps failing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "lookups/directory/LdifRows.h"

namespace {

const char kName[] = "export.ldif";

}  // namespace

FUZZ_INITIALIZE_WITH_A_SILENT_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("ldif", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';

  static const SDirectoryMapping mapping = SDirectoryMapping::Exchange();
  SDirectoryCounts counts;
  GuidRowReader reader = LdifRowsFrom(fd, kName, mapping, &counts);
  GUIDNameInfo row;
  std::string error;
  uint64_t rows = 0;
  int got;
  while ((got = reader(row, error)) == 1) {
    ++rows;
    FUZZ_CHECK(row.guid.size() >= 3 && row.guid.front() == '{' && row.guid.back() == '}');
    FUZZ_CHECK(!row.name.empty() && row.name.find('\0') == std::string::npos);
    FUZZ_CHECK(row.status == 1 || row.status == 2 || row.status == 8 || row.status == 16);
  }
  if (got < 0) {
    const std::string prefix = std::string(kName) + ":";
    FUZZ_CHECK(error.rfind(prefix, 0) == 0);
    const unsigned long line = std::strtoul(error.c_str() + prefix.size(), nullptr, 10);
    FUZZ_CHECK(line >= 1 && line <= lines);
    std::string again;
    FUZZ_CHECK(reader(row, again) == -1 && again == error);
  } else {
    FUZZ_CHECK(got == 0 && rows == counts.rows);
    FUZZ_CHECK(counts.entriesWithoutGuid + counts.entriesWithoutAddress <= counts.entries);
  }
  close(fd);
  return 0;
}
