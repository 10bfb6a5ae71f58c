// The translation of a failed call to the control server into one result
// code and the operator's words: what the call was doing, the URL, what went
// wrong and the setting to look at. Made from libcurl's codes and transfer
// facts only (CURLcode, CURLINFO_SSL_VERIFYRESULT, CURLINFO_OS_ERRNO,
// CURLINFO_HTTP_CONNECTCODE, the HTTP status), never from libcurl's error
// text, which may quote a URL or a proxy as written, password and all.
// Internal to the library: never installed; exported only so that its own
// tests can run the translation without a server.
//
// Thread-safety: pure functions of their arguments (the client certificate
// texts read the files the settings name).
#pragma once

#include <string>

#include "host/CLmError.h"
#include "host/Export.h"
#include "host/net/TransportOptions.h"

namespace netsession {

// What libcurl reported for a failed curl_easy_perform.
struct TransferFacts {
  CURLcode code = CURLE_OK;
  long verifyResult = 0;  // X.509 result as OpenSSL numbers it
  long osErrno = 0;       // errno of the last connect
  long connectCode = 0;   // the proxy's answer to CONNECT
};

// The facts of `curl` after curl_easy_perform returned `code`.
TransferFacts FactsOf(CURL* curl, CURLcode code);

// What a failed call was doing, for its error text. The URLs are without
// credentials already.
struct ErrorContext {
  std::string what;    // "download of", "cannot connect to control server"
  std::string url;     // the URL the call asked for
  std::string server;  // the base URL, for the certificate texts
  const Transport* transport;
  bool sentToken;
  std::string redirectedTo;  // the last Location the server answered with
};

// One error for a failed transfer: kNetwork, kTimeout or kInvalid (a refused
// redirect, an unusable URL, proxy URL, CA bundle or client certificate).
GUIDLOOKUPS_EXPORT CLmError TransferFailure(const TransferFacts& facts, const ErrorContext& c);

// An answer other than 200 (kHttp): the status and, where the server said
// why in `body`, the cause and the setting that fixes it.
GUIDLOOKUPS_EXPORT CLmError StatusFailure(long status, const std::string& body,
                                          const ErrorContext& c);

// The refusal to send a bearer token over plain http (kInvalid).
CLmError TokenOverPlainHttp(const std::string& fileUrl);

// A file error: kNoSpace for a full disk or quota, else kIo; "<what> <path>:
// <errno text>".
CLmError FileError(int err, const std::string& what, const std::string& path);

}  // namespace netsession
