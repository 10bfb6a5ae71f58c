// The job marker: the parser against a plain model of its rule, the file
// reader against the parser, and the writer against the reader.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "lookups/refresh/JobMarker.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The rule written out the slow way: blanks, digits, blanks; at most 4096
// bytes; a value of at most 64 bits, compared as text.
bool Model(const std::string& text, unsigned long& value) {
  if (text.size() > 4096) return false;
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  std::string digits = text.substr(b, e - b);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  size_t nonZero = digits.find_first_not_of('0');
  std::string significant = nonZero == std::string::npos ? "0" : digits.substr(nonZero);
  const std::string max = "18446744073709551615";
  if (significant.size() > max.size() || (significant.size() == max.size() && significant > max))
    return false;
  value = 0;
  for (char c : significant) value = value * 10 + static_cast<unsigned long>(c - '0');
  return true;
}

std::string MarkerPath() { return fuzzsupport::SandboxDir() + "/GUIDDB.JOB"; }

}  // namespace

FUZZ_INITIALIZE_WITH_A_SILENT_LOG()

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  unsigned long expected = 0;
  const bool valid = Model(text, expected);

  unsigned long parsed = 424242;
  FUZZ_CHECK(ParseJobMarker(text, parsed) == valid);
  FUZZ_CHECK(parsed == (valid ? expected : 424242ul));

  const std::string path = MarkerPath();
  fuzzsupport::WriteWholeFile(path, text);
  unsigned long read = 424242;
  FUZZ_CHECK(ReadJobMarker(path, read) == valid);
  FUZZ_CHECK(read == parsed);

  if (valid) {
    // Every id the reader accepts, the writer writes back in its own form.
    FUZZ_CHECK(WriteJobMarker(path, expected));
    FUZZ_CHECK(fuzzsupport::ReadWholeFile(path) == std::to_string(expected));
    read = 0;
    FUZZ_CHECK(ReadJobMarker(path, read) && read == expected);
  }
  return 0;
}
