#include "host/Utf8.h"

namespace hostutf8 {

size_t SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(at);
  if (c < 0x80) return 1;
  size_t length;
  unsigned int min, code;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2, min = 0x80, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3, min = 0x800, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(at + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool IsValid(const std::string& text) {
  for (size_t at = 0, length; at < text.size(); at += length)
    if ((length = SequenceLength(text, at)) == 0) return false;
  return true;
}

}  // namespace hostutf8
