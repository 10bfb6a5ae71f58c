// The network session with the control server, over HTTP(S).
//
// The control server is any HTTP server that serves the database file as
// "<base URL>/GUIDDB.DAT" (a plain TCP connection, with a verified TLS
// handshake for https, is all the attach needs). The base URL is the settings
// value "sControlServerURL" of section "[Base]" or, when that is missing or
// empty, the environment variable GUIDLOOKUPS_CONTROL_SERVER. Only "http://"
// and "https://" URLs are accepted.
//
// Further values of "[Base]", all read again at each call:
//   nControlServerTimeout     seconds the connection phase (TCP, proxy tunnel,
//                             TLS handshake) may take, and that a transfer may
//                             go without receiving a byte (also while waiting
//                             for the response headers). A transfer that keeps
//                             moving is never cut off. Missing or 0: the
//                             time-out the caller passes, else 120.
//   nControlServerMaxBytes    largest body accepted (missing or 0: 4 GiB).
//   sControlServerCAFile      PEM bundle of the CAs that may sign the server's
//   sControlServerCAPath      certificate / a hashed folder of them (missing:
//                             the system's). Verification of the certificate
//                             and of the host name is always on.
//   sControlServerClientCert  PEM client certificate and key for servers that
//   sControlServerClientKey   ask for one (mutual TLS).
//   sControlServerKeyPasswordFile  file holding the key's passphrase.
//   sControlServerTokenFile   file holding a bearer token, sent as
//                             "Authorization: Bearer ..." over https only.
//   sControlServerProxy       proxy URL; missing: libcurl's environment
//                             variables (https_proxy, http_proxy, all_proxy,
//                             no_proxy) apply.
// The token file, the passphrase file and the client key must be readable by
// their owner only (no permission for group or others), or they are refused.
// No token, passphrase or URL password ever appears in a log line or an error
// text: every URL is shown through WithoutUrlCredentials, and no error text
// of libcurl (which may quote a URL or proxy as written) is passed on.
//
// A transfer that starts on https:// follows redirects to https:// only; one
// that starts on http:// follows them to http:// and https://. Every libcurl
// option is checked as it is set: one that does not take fails the call
// before anything is sent. libcurl 7.85.0 or newer is needed.
//
// Thread-safety: an object belongs to one thread at a time; any number of
// objects may work in parallel threads.
#pragma once

#include <cstdint>
#include <string>

#include "host/CLmError.h"
#include "host/Export.h"

// `url` (any text that holds one: a proxy written "user:pw@host:port" too)
// without its user and password: everything between the scheme's "://" (or
// the start) and the last '@' goes, whatever characters the password holds.
// A text without '@' is returned as it is.
GUIDLOOKUPS_EXPORT std::string WithoutUrlCredentials(const std::string& url);

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
  char localExecutable[257] = {};
  char remoteExecutable[263] = {};
  uint64_t options = 0;
  hxsExecuteRemoteDllType();
};
static_assert(sizeof(hxsExecuteRemoteDllType) == 528, "record layout");

// File-transfer request; the library passes it as the constructor leaves it
// (all zero). A successful PutFileResponse fills destinationPath (the file it
// wrote, cut to 1023 bytes) and size (its length in bytes).
struct GUIDLOOKUPS_EXPORT hxsFilexferRequest {
  char sourcePath[1024] = {};
  char destinationPath[1024] = {};
  uint64_t offset = 0;
  uint32_t mode = 0;
  uint32_t flags = 0;
  uint32_t attributes = 0;
  char options[1024] = {};
  uint64_t size = 0;
  uint64_t modifiedTime = 0;
  uint32_t status = 0;
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
  // connections (for https: completes a verified TLS handshake) within the
  // configured time-out, else `timeoutSeconds` (<= 0: 120), and remembers it
  // with the client name. An error names the URL and the cause: "connection
  // refused by <host> port <port>" with what to check (kNetwork), "could not
  // resolve host" (kNetwork), "timed out" (kTimeout), an untrusted, expired or
  // misnamed certificate or an unreachable proxy (kNetwork, naming the setting
  // to look at), unusable TLS or key files, a client key that does not match
  // its certificate (kInvalid), an unusable URL, or a token with an http://
  // URL (kInvalid, before any connection). `executables` may be null; `flag`
  // is never changed.
  CLmError Attach_RemoteDLL(const std::string& hostName, hxsExecuteRemoteDllType* executables,
                            const char* clientName, int timeoutSeconds, bool& flag);
  // "<base URL> as <client name>", or "" before a connection.
  std::string GetConnectionStr() const;
  // Makes PutFileResponse write exactly `path` instead of "GUIDDB.DAT" in the
  // folder "dMORVAXTEMPDIR" (which is then not needed), with the same rules:
  // the body goes to a part file beside `path`, renamed over it only when
  // whole. An empty path restores the default. The attachment is not changed.
  void SetDestinationFile(const std::string& path);
  // Makes PutFileResponse fetch "<base URL>/<name>" (a path below the base
  // URL, such as "manifest.json") instead of "GUIDDB.DAT"; its default
  // destination is then the last part of `name` in "dMORVAXTEMPDIR". An
  // empty name restores "GUIDDB.DAT". The attachment is not changed.
  void SetRemoteFile(const std::string& name) { remoteFile_ = name; }
  // Makes the next transfers conditional: with an ETag the request carries
  // "If-None-Match", else with a Last-Modified date "If-Modified-Since". The
  // control server then answers "304 Not Modified" (no body) while its file
  // is the one the validator describes. Empty values: unconditional.
  void SetValidator(const std::string& etag, const std::string& lastModified);
  // After a successful PutFileResponse: true when the server answered 304 to
  // a conditional request. Nothing was then written: the destination is as
  // it was. (A 304 to a request that carried no validator is an error.)
  bool NotModified() const { return notModified_; }
  // The validators the server sent with the body of the last successful
  // transfer ("" when it sent none), for the next conditional request.
  const std::string& ReceivedETag() const { return receivedETag_; }
  const std::string& ReceivedLastModified() const { return receivedLastModified_; }
  // The bytes the last successful transfer received over the connection:
  // a compressed body counts as it came, not as it was written.
  uint64_t ReceivedBytes() const { return receivedBytes_; }
  // Fetches "<base URL>/GUIDDB.DAT" into the destination: "GUIDDB.DAT" in the
  // folder "dMORVAXTEMPDIR" of "[Base]", or the file SetDestinationFile gave.
  // The body goes to a part file ".GUIDDB.DAT.part-<pid>-<random>" beside the
  // destination, which is flushed and renamed over it only when the whole body
  // arrived. A failed transfer leaves no part file and the previous
  // destination as it was; part files of processes that died mid-transfer are
  // removed first. Errors: not attached or no "dMORVAXTEMPDIR" (kInvalid,
  // kNotFound), refused connection or unresolved host (kNetwork), an HTTP
  // status other than 200 ("HTTP 404", kHttp; 400, 401 and 403 also name the
  // client certificate or token setting), a body shorter than announced
  // (kNetwork), a body over "nControlServerMaxBytes" (kInvalid), a stall
  // (kTimeout), certificate and proxy faults as for the attach, a redirect to
  // a refused scheme (kInvalid, naming "sControlServerURL"), a token over
  // plain http or a token file others may read (kInvalid, before connecting),
  // a full disk (kNoSpace), other file errors (kIo). `timeout`: a positive
  // value (seconds) is used where "nControlServerTimeout" is missing or 0; -1
  // takes the attach's. `overwrite` and `reserved` are unused; `flag` is never
  // changed.
  CLmError PutFileResponse(bool overwrite, hxsFilexferRequest& request, void* reserved,
                           int64_t timeout, bool& flag);
  // Asks the attached control server, with a HEAD request and the transfer's
  // own settings (certificates, token, proxy, time-out), whether it serves
  // the file. Success when it answers 200; the errors of PutFileResponse
  // otherwise. Writes nothing.
  CLmError ProbeFile();
  // Forgets the attachment. Always succeeds; `flag` is never changed.
  CLmError Disconnect(int timeoutSeconds, bool& flag);

  // Objects constructed and not yet destroyed in this process, so that a
  // caller's tests can prove that no session outlives its call.
  static int LiveObjects();

 private:
  // Clears what the last transfer received, before the next one starts.
  void ForgetReceived();
  std::string RemoteFile() const;

  bool connected_ = false;
  int timeoutSeconds_ = 120;
  std::string baseUrl_;
  std::string clientName_;
  std::string destinationFile_;
  std::string remoteFile_;
  std::string ifNoneMatch_;
  std::string ifModifiedSince_;
  bool notModified_ = false;
  std::string receivedETag_;
  std::string receivedLastModified_;
  uint64_t receivedBytes_ = 0;
};
