// The network session with the control server, over HTTP(S).
//
// The control server is any HTTP server that serves the database file as
// "<base URL>/GUIDDB.DAT" (a HEAD request or a plain TCP connection is all
// the attach needs). The base URL is the settings value "sControlServerURL"
// of section "[Base]" or, when that is missing or empty, the environment
// variable GUIDLOOKUPS_CONTROL_SERVER; both are read at each use. Only
// "http://" and "https://" URLs are accepted. The transfer time-out, in
// seconds, is "nControlServerTimeout" of "[Base]" when present and nonzero,
// otherwise the time-out given to Attach_RemoteDLL. The transfer also gives up
// when less than one byte a second arrives for that long.
//
// Thread-safety: an object belongs to one thread at a time; any number of
// objects may work in parallel threads.
#pragma once

#include <cstdint>
#include <string>

#include "host/CLmError.h"
#include "host/Export.h"

// Identity of this client towards the control server.
class GUIDLOOKUPS_EXPORT HXClient {
 public:
  explicit HXClient(int kind) : kind_(kind) {}
  // Puts the control server's base URL into `hostName` (trailing '/' removed).
  // Returns 0, or -1 when none is configured or it is not an http(s) URL
  // (`hostName` is then untouched). `reserved` is unused.
  int getNetworkHostnameMangled(std::string& hostName, void* reserved);
  int kind() const { return kind_; }

 private:
  int kind_;
};

// Remote executables to attach (two names, then a 64-bit field at byte 520).
// The constructor zero-fills it.
struct GUIDLOOKUPS_EXPORT hxsExecuteRemoteDllType {
  char localExecutable[257];
  char remoteExecutable[263];
  uint64_t options;
  hxsExecuteRemoteDllType();
};
static_assert(sizeof(hxsExecuteRemoteDllType) == 528, "record layout");

// File-transfer request; the library passes it as the constructor leaves it
// (all zero). A successful PutFileResponse fills destinationPath (the file it
// wrote, cut to 1023 bytes) and size (its length in bytes).
struct GUIDLOOKUPS_EXPORT hxsFilexferRequest {
  char sourcePath[1024];
  char destinationPath[1024];
  uint64_t offset;
  uint32_t mode;
  uint32_t flags;
  uint32_t attributes;
  char options[1024];
  uint64_t size;
  uint64_t modifiedTime;
  uint32_t status;
  hxsFilexferRequest();
};

// A session with the control server. Each call opens its own HTTP connection
// and closes it before it returns; the object only remembers where it is
// attached, so destroying it never leaves a connection or a file behind.
class GUIDLOOKUPS_EXPORT CHxNetwork {
 public:
  CHxNetwork();
  ~CHxNetwork();
  CHxNetwork(const CHxNetwork&) = delete;
  CHxNetwork& operator=(const CHxNetwork&) = delete;

  bool IsConnected() const { return connected_; }
  // Checks that the control server at `hostName` (a base URL) accepts
  // connections within `timeoutSeconds` (<= 0: 120) and remembers it with the
  // client name. An error names the URL and the cause: "connection refused"
  // (kNetwork), "could not resolve host" (kNetwork), "timed out" (kTimeout),
  // or an unusable URL (kInvalid). `executables` may be null; `flag` is never
  // changed.
  CLmError Attach_RemoteDLL(const std::string& hostName, hxsExecuteRemoteDllType* executables,
                            const char* clientName, int timeoutSeconds, bool& flag);
  // "<base URL> as <client name>", or "" before a connection.
  std::string GetConnectionStr() const;
  // Fetches "<base URL>/GUIDDB.DAT" into the folder "dMORVAXTEMPDIR" of
  // "[Base]" as "GUIDDB.DAT": the body goes to a temporary file in that
  // folder, which is flushed and renamed over "GUIDDB.DAT" only when the whole
  // body arrived. A failed transfer leaves no partial file and the previous
  // "GUIDDB.DAT" there as it was. Errors: not attached or no "dMORVAXTEMPDIR"
  // (kInvalid, kNotFound), refused connection or unresolved host (kNetwork),
  // an HTTP status other than 200 ("HTTP 404", kHttp), a body shorter than
  // announced (kNetwork), a time-out (kTimeout), a full disk (kNoSpace), other
  // file errors (kIo). `timeout`: -1 uses the configured time-out, a positive
  // value (seconds) overrides it. `overwrite` and `reserved` are unused; `flag`
  // is never changed.
  CLmError PutFileResponse(bool overwrite, hxsFilexferRequest& request, void* reserved,
                           int64_t timeout, bool& flag);
  // Forgets the attachment. Always succeeds; `flag` is never changed.
  CLmError Disconnect(int timeoutSeconds, bool& flag);

  // Objects constructed and not yet destroyed in this process, so that a
  // caller's tests can prove that no session outlives its call.
  static int LiveObjects();

 private:
  bool connected_ = false;
  int timeoutSeconds_ = 120;
  std::string baseUrl_;
  std::string clientName_;
};
