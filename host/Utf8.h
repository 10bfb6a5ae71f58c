// Strict UTF-8, the one rule of the library and its tool: no overlong form,
// no surrogate, nothing above U+10FFFF. Every name of the table is such text.
// The functions share no state and are thread-safe.
#pragma once

#include <cstddef>
#include <string>

#include "host/Export.h"

namespace hostutf8 {

// The length of the valid UTF-8 sequence that starts at text[at] (1 for an
// ASCII byte), 0 when none does: a stray continuation byte, a sequence cut
// short, an overlong form, a surrogate or a code point beyond U+10FFFF.
// REQUIRES: at < text.size().
GUIDLOOKUPS_EXPORT size_t SequenceLength(const std::string& text, size_t at);

// Whether the whole text is valid UTF-8.
GUIDLOOKUPS_EXPORT bool IsValid(const std::string& text);

}  // namespace hostutf8
