// Files that hold a secret (a bearer token, a key passphrase, a directory
// password) or a private key, and the one rule such a file must meet: a
// regular file that neither group nor other users may access. The network
// session, the directory reader and `guidlookup check` judge a file by this
// rule alone, so that check never passes a file the library then refuses.
//
// Thread-safety: the functions keep no state and may run in any thread; a
// Secret belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <string>

#include "host/Export.h"

// A secret read from its file; wiped when it goes, so that a core dump taken
// later does not carry it.
class Secret {
 public:
  Secret() = default;
  ~Secret() { Wipe(); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  void Wipe() {
    volatile char* p = value_.data();
    for (size_t i = 0; i < value_.size(); ++i) p[i] = 0;
    value_.clear();
  }
  std::string& value() { return value_; }
  bool empty() const { return value_.empty(); }

 private:
  std::string value_;
};

// What is wrong with a secret file, if anything.
enum class SecretFileFault {
  kNone,
  kCannotRead,       // open, fstat or read failed; `error` holds errno
  kNotAFile,         // a folder, a FIFO, a device...
  kOthersMayAccess,  // group or others have some permission; `mode` holds it
  kTooLarge,         // more than the reader's limit
  kEmpty,
  kNotOneLine,  // a line break or a character the reader's rule refuses
};

struct SecretFileVerdict {
  SecretFileFault fault = SecretFileFault::kNone;
  int error = 0;
  unsigned mode = 0;
  bool ok() const { return fault == SecretFileFault::kNone; }
};

// Opens `path` (following links, never waiting on a FIFO) and judges it by
// the rule; reads nothing. Faults: kCannotRead, kNotAFile, kOthersMayAccess.
GUIDLOOKUPS_EXPORT SecretFileVerdict CheckSecretFile(const std::string& path);

// How the secret is cut from its file's text.
enum class SecretText {
  // Blanks at either end go; a control character left inside refuses it
  // (it would end an HTTP header and start another).
  kTrimmed,
  // One line end (LF or CRLF) at the end goes; a LF or NUL before it
  // refuses it.
  kOneLine,
};

// Reads the secret of `path` into `out`, once the file passed the rule.
// `limit` bounds the text (for kTrimmed the file as read, for kOneLine the
// line without its end). On any fault `out` is left empty and wiped; the
// secret's text is never part of a verdict.
GUIDLOOKUPS_EXPORT SecretFileVerdict ReadSecretFile(const std::string& path, size_t limit,
                                                    SecretText text, Secret& out);

// The operator's words for kOthersMayAccess: "group or other users may
// access it (mode 0644); make it readable by its owner only (chmod 600)".
GUIDLOOKUPS_EXPORT std::string OthersMayAccessWords(unsigned mode);
