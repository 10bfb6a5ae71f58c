// The one request for the control server's file that the probe (HEAD) and
// the transfer (GET) share: the transport settings and the token, redirects,
// the size bound, the validators, the stall watch, the writing of a body and
// the reading of the answer's headers and status. Internal to the library:
// never installed, included only by the network session's sources.
//
// Thread-safety: an object belongs to one thread; any number may run in
// parallel threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "host/CLmError.h"
#include "host/Settings.h"
#include "host/net/SecretFile.h"
#include "host/net/TransferFailure.h"
#include "host/net/TransportOptions.h"

namespace netsession {

// The file the control server serves under its base URL.
constexpr const char* kFileName = "GUIDDB.DAT";

// Receives the body and writes it to the temporary file. A failed write or a
// body over the limit stops the transfer (curl sees fewer bytes taken than
// offered). An answer other than 200 is not written: its first bytes are kept
// to say why.
struct BodySink {
  CURL* curl = nullptr;
  int fd = -1;
  uint64_t limit = 0;
  uint64_t written = 0;
  int error = 0;
  bool tooLarge = false;
  long status = 0;
  std::string errorBody;
};

// Ends a transfer that received nothing for the time-out. libcurl's own
// low-speed check averages over several seconds, so a server that sent a few
// bytes and then went silent would get up to five seconds more; this one
// counts from the last byte.
struct StallWatch {
  std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
  curl_off_t received = 0;
  std::chrono::seconds limit{kDefaultTimeoutSeconds};
  bool stalled = false;
};

// The validators and the encoding of the final answer: curl hands over the
// headers of every answer on the way (redirects, "100 Continue"), so each
// status line starts afresh.
struct HeaderSink {
  std::string etag;
  std::string lastModified;
  std::string location;
  bool encoded = false;
};

struct HeaderList {
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(list); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;
  // Adds `header`; one with a line break is dropped.
  void Add(const std::string& header);
  curl_slist* list = nullptr;
};

// One request for "<base URL>/GUIDDB.DAT". Every member libcurl is handed a
// pointer to lives as long as the handle, so the object is neither copied
// nor moved. Use: Start, then Configure, then Perform, each only when the
// one before succeeded.
class FileRequest {
 public:
  // Asks for "<baseUrl>/<remoteFile>".
  FileRequest(const std::string& baseUrl, const std::string& clientName,
              const std::string& remoteFile = kFileName);
  FileRequest(const FileRequest&) = delete;
  FileRequest& operator=(const FileRequest&) = delete;

  // Reads the transport settings (`timeoutSeconds` counts where
  // "nControlServerTimeout" is missing or 0) and the token. Its refusals (a
  // token over plain http, a token file that breaks the private-file rule)
  // come before any connection is made or any file is touched.
  CLmError Start(HXPlatformInfo& settings, long timeoutSeconds);

  // Creates the handle and sets every option. The body of a 200 answer goes
  // to `bodyFd`; `headOnly` asks with HEAD instead of GET. The request
  // carries "If-None-Match: <etag>", else "If-Modified-Since:
  // <lastModified>", where they are not empty. Errors: an unusable client
  // key or passphrase file, an option libcurl did not take (kInvalid).
  CLmError Configure(int bodyFd, bool headOnly, const std::string& etag,
                     const std::string& lastModified);

  // Runs the request. Success for a 200 answer, or for a 304 to a
  // conditional request (`notModified` is then set); else the one error of
  // the failure. `partPath` names the file a failed write was to.
  CLmError Perform(const std::string& partPath, bool& notModified);

  // After a 200 answer: kNetwork unless the body is the whole of what the
  // server announced and not empty.
  CLmError CheckBodyWhole() const;

  const std::string& shown() const { return shown_; }
  uint64_t written() const { return body_.written; }
  // The body's bytes as they came over the connection (before any
  // Content-Encoding was undone), after Perform.
  uint64_t received() const { return received_; }
  const HeaderSink& headers() const { return headers_; }

 private:
  ErrorContext Context() const;

  const std::string baseUrl_, url_, shown_, prefix_, userAgent_;
  Transport transport_;
  Secret token_;
  Secret keyPassword_;
  BodySink body_;
  HeaderSink headers_;
  HeaderList conditions_;
  StallWatch watch_;
  curl_off_t announced_ = -1;
  uint64_t received_ = 0;
  // Last, so that the handle goes before what it points to.
  CurlHandle curl_;
};

}  // namespace netsession
