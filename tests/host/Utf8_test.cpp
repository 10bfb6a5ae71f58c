#include "host/Utf8.h"

#include <gtest/gtest.h>

namespace {

// The sequence at the start of each text: its length when valid, 0 for each
// way UTF-8 can be wrong; the whole text is valid exactly when it is whole.
TEST(Utf8Test, SequenceLengthAcceptsStrictUtf8Only) {
  const struct {
    std::string text;
    size_t length;
  } cases[] = {
      {"a", 1},
      {"\xc3\xa9", 2},          // é
      {"\xe2\x82\xac", 3},      // €
      {"\xf0\x9f\x98\x80", 4},  // U+1F600
      {"\xf4\x8f\xbf\xbf", 4},  // U+10FFFF, the last code point
      {"\x80", 0},              // a stray continuation byte
      {"\xc3", 0},              // cut short
      {"\xe2\x82", 0},          // cut short
      {"\xc3\x41", 0},          // no continuation byte
      {"\xc0\xaf", 0},          // overlong "/"
      {"\xe0\x80\xaf", 0},      // overlong "/"
      {"\xf0\x80\x80\xaf", 0},  // overlong "/"
      {"\xed\xa0\x80", 0},      // a surrogate
      {"\xf4\x90\x80\x80", 0},  // beyond U+10FFFF
      {"\xff", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hostutf8::SequenceLength(c.text, 0), c.length) << testing::PrintToString(c.text);
    EXPECT_EQ(hostutf8::IsValid("x" + c.text + "y"), c.length == c.text.size())
        << testing::PrintToString(c.text);
  }
  EXPECT_TRUE(hostutf8::IsValid(""));
}

}  // namespace
