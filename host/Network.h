// The network session with the control server, over HTTP(S).
//
// The control server is any HTTP server that serves the database file as
// "<base URL>/GUIDDB.DAT". The base URL is the settings value "sControlServerURL"
// of section "[Base]" or, when that is missing, the environment variable
// GUIDLOOKUPS_CONTROL_SERVER; both are read at each use. The transfer
// time-out, in seconds, is "nControlServerTimeout" of "[Base]" when present,
// otherwise the time-out given to Attach_RemoteDLL.
//
// Thread-safety: an object belongs to one thread at a time.
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
  // Returns 0, or -1 when none is configured or it is not an http(s) URL.
  int getNetworkHostnameMangled(std::string& hostName, void* reserved);
  int kind() const { return kind_; }

 private:
  int kind_;
};

// Remote executables to attach (two names, then a 64-bit field at byte 520).
struct GUIDLOOKUPS_EXPORT hxsExecuteRemoteDllType {
  char localExecutable[257];
  char remoteExecutable[263];
  uint64_t options;
  hxsExecuteRemoteDllType();
};
static_assert(sizeof(hxsExecuteRemoteDllType) == 528, "record layout");

// File-transfer request; the library passes it as the constructor leaves it.
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

class GUIDLOOKUPS_EXPORT CHxNetwork {
 public:
  CHxNetwork();
  ~CHxNetwork();
  CHxNetwork(const CHxNetwork&) = delete;
  CHxNetwork& operator=(const CHxNetwork&) = delete;

  bool IsConnected() const { return connected_; }
  // Checks that the control server at `hostName` (a base URL) accepts
  // connections within `timeoutSeconds` and remembers it. An error names the
  // URL and the cause (refused, name not resolved, time-out).
  CLmError Attach_RemoteDLL(const std::string& hostName, hxsExecuteRemoteDllType* executables,
                            const char* clientName, int timeoutSeconds, bool& flag);
  // "<base URL> as <client name>", or "" before a connection.
  std::string GetConnectionStr() const;
  // Fetches "<base URL>/GUIDDB.DAT" into the folder "dMORVAXTEMPDIR" of
  // "[Base]" as "GUIDDB.DAT", replacing it atomically only when the whole
  // body arrived. Fails with a clear text on a refused connection, an HTTP
  // error status, a body shorter than announced, a time-out or a full disk;
  // a failed transfer leaves no partial file behind.
  CLmError PutFileResponse(bool overwrite, hxsFilexferRequest& request, void* reserved,
                           int64_t timeout, bool& flag);
  CLmError Disconnect(int timeoutSeconds, bool& flag);

 private:
  bool connected_ = false;
  int timeoutSeconds_ = 120;
  std::string baseUrl_;
  std::string clientName_;
};
