#include "host/net/TransferFailure.h"

#include <cerrno>
#include <cstring>

#include "host/Files.h"
#include "host/net/ControlServerUrl.h"
#include "host/net/Network.h"

namespace netsession {
namespace {

// X.509 verification results as OpenSSL numbers them (CURLINFO_SSL_VERIFYRESULT);
// spelled out here so that no TLS header leaks into this unit.
constexpr long kX509Unspecified = 1;
constexpr long kX509NotYetValid = 9;
constexpr long kX509Expired = 10;
constexpr long kX509SelfSignedLeaf = 18;
constexpr long kX509SelfSignedInChain = 19;
constexpr long kX509NoLocalIssuer = 20;
constexpr long kX509CannotVerifyLeaf = 21;
constexpr long kX509HostnameMismatch = 62;

bool Contains(const std::string& text, const char* fragment) {
  return text.find(fragment) != std::string::npos;
}

CLmError CertificateError(long verify, const ErrorContext& c) {
  const std::string prefix = c.what + " " + c.url + ": certificate of " + c.server;
  const auto fail = [&prefix](const std::string& why) {
    return CLmError(hxerr::kNetwork, prefix + why);
  };
  const Transport& t = *c.transport;
  switch (verify) {
    case kX509Expired:
      return fail(" has expired: the control server needs a renewed certificate");
    case kX509NotYetValid:
      return fail(" is not yet valid: check this machine's clock and the certificate's dates");
    // A chain that verified and still failed is libcurl's own host name
    // check, which reports "unspecified" (or nothing) as the result.
    case 0:
    case kX509Unspecified:
    case kX509HostnameMismatch:
      return fail(" does not name host " + HostOf(c.server) + ": set " + Named(kUrlSetting) +
                  " to a name the certificate was issued for, or reissue it");
    case kX509NoLocalIssuer:
    case kX509SelfSignedLeaf:
    case kX509SelfSignedInChain:
    case kX509CannotVerifyLeaf:
      if (t.caFile.empty() && t.caPath.empty())
        return fail(" is signed by an unknown CA: set " + Named(kCAFileSetting) +
                    " to the site's CA bundle");
      return fail(" is signed by an unknown CA: " + Named(kCAFileSetting) + " and " +
                  kCAPathSetting +
                  " do not hold the CA that signed it; set them to the site's CA bundle");
    default:
      return fail(" failed verification: check " + Named(kCAFileSetting) +
                  " and the server's certificate");
  }
}

bool HoldsPem(const std::string& text, const char* label) {
  return text.find(std::string("-----BEGIN ") + label + "-----") != std::string::npos;
}

// Why libcurl could not use the client certificate or its key. It gives one
// code for every such fault, so the files are looked at (for their PEM
// labels only): when both are readable, hold what they should and the key
// needs no passphrase it lacks, what remains is a key that does not belong
// to the certificate.
std::string ClientCertificateProblem(const Transport& t) {
  const bool keyApart = !t.clientKey.empty();
  const std::string& keyFile = keyApart ? t.clientKey : t.clientCert;
  const std::string keyNamed =
      keyFile + " of " + Named(keyApart ? kClientKeySetting : kClientCertSetting);
  const std::string certNamed = t.clientCert + " of " + Named(kClientCertSetting);
  std::string cert, error;
  if (!hostfs::ReadWholeFile(t.clientCert, cert, &error))
    return "cannot read the client certificate " + certNamed + " (" + error + ")";
  if (!HoldsPem(cert, "CERTIFICATE"))
    return "the client certificate " + certNamed + " holds no PEM certificate";
  Secret key;
  if (!hostfs::ReadWholeFile(keyFile, key.value(), &error))
    return "cannot read the client key " + keyNamed + " (" + error + ")";
  const std::string& k = key.value();
  const bool encrypted =
      HoldsPem(k, "ENCRYPTED PRIVATE KEY") || k.find("Proc-Type: 4,ENCRYPTED") != std::string::npos;
  if (!encrypted && !HoldsPem(k, "PRIVATE KEY") && !HoldsPem(k, "RSA PRIVATE KEY") &&
      !HoldsPem(k, "EC PRIVATE KEY"))
    return "the client key " + keyNamed + " holds no PEM private key";
  if (encrypted && t.keyPasswordFile.empty())
    return "the client key " + keyNamed + " is encrypted: set " + Named(kKeyPasswordFileSetting) +
           " to a file holding its passphrase";
  if (encrypted)
    return "the passphrase in the file of " + Named(kKeyPasswordFileSetting) +
           " does not open the client key " + keyNamed +
           ", or the key does not match the certificate " + certNamed;
  return "the client key " + keyNamed + " does not match the certificate " + certNamed +
         ": set both to a certificate and the key it was issued with";
}

// The faults that libcurl's code names by itself; success when the code
// needs the proxy's or the TLS layer's facts to be told.
CLmError ByCode(const TransferFacts& f, const ErrorContext& c, const std::string& proxy,
                const std::string& proxySource) {
  const auto fail = [prefix = c.what + " " + c.url + ": "](int32_t code, const std::string& why) {
    return CLmError(code, prefix + why);
  };
  const Transport& t = *c.transport;
  const std::string server = Named(kUrlSetting);
  switch (f.code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
      if (UserPartNeedsEncoding(t.proxy.empty() ? t.environmentProxy : t.proxy))
        return fail(hxerr::kInvalid,
                    "cannot read the proxy URL " + proxy + ": check " + proxySource +
                        " (a '/', '?', '#' or '@' in its user or password must be written "
                        "percent-encoded, '#' as %23)");
      return fail(hxerr::kNetwork, "could not resolve proxy " + proxy + ": check " + proxySource);
    case CURLE_COULDNT_CONNECT: {
      // With a proxy in effect, curl connects to nothing else.
      if (!proxy.empty())
        return fail(hxerr::kNetwork, "cannot connect to proxy " + proxy + ": check " + proxySource);
      const std::string where = HostOf(c.url) + " port " + PortOf(c.url);
      const std::string cause = f.osErrno == ECONNREFUSED || f.osErrno == 0
                                    ? "connection refused by " + where
                                    : "cannot connect to " + where + " (" +
                                          std::strerror(static_cast<int>(f.osErrno)) + ")";
      return fail(hxerr::kNetwork, cause + ": check that the control server runs there and that " +
                                       server + " names its host and port");
    }
    case CURLE_COULDNT_RESOLVE_HOST:
      return fail(hxerr::kNetwork, "could not resolve host " + HostOf(c.url) + ": check " + server +
                                       " and this machine's name service");
    case CURLE_OPERATION_TIMEDOUT:
      return fail(hxerr::kTimeout, "timed out after " + std::to_string(t.timeoutSeconds) +
                                       " seconds without progress (" + Named(kTimeoutSetting) +
                                       ")");
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Our own URL was checked to be http(s): what was refused is where a
      // redirect led.
      return fail(
          hxerr::kInvalid,
          "refused the server's redirect to " +
              (c.redirectedTo.empty() ? std::string("another scheme") : c.redirectedTo) +
              (StartsWithNoCase(c.url, "https://")
                   ? ": a download that starts on https follows redirects to https only; set " +
                         server + " to the https address the file is served at"
                   : ": a download follows redirects to http and https only; set " + server +
                         " to the address the file is served at"));
    case CURLE_URL_MALFORMAT:
      return fail(hxerr::kInvalid, "unusable URL: check " + server);
    case CURLE_PEER_FAILED_VERIFICATION:
      return CertificateError(f.verifyResult, c);
    case CURLE_SSL_CACERT_BADFILE:
      return fail(hxerr::kInvalid, "cannot use the CA bundle: check " + Named(kCAFileSetting) +
                                       " and " + kCAPathSetting);
    case CURLE_SSL_CERTPROBLEM:
      return fail(hxerr::kInvalid, ClientCertificateProblem(t));
    default:
      return CLmError::Success();
  }
}

}  // namespace

TransferFacts FactsOf(CURL* curl, CURLcode code) {
  TransferFacts facts;
  facts.code = code;
  curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &facts.verifyResult);
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &facts.osErrno);
  curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &facts.connectCode);
  return facts;
}

// curl_easy_strerror gives fixed words per code, safe to pass on.
CLmError TransferFailure(const TransferFacts& f, const ErrorContext& c) {
  std::string proxySource;
  const std::string proxy = ProxyInEffect(*c.transport, proxySource);
  if (CLmError err = ByCode(f, c, proxy, proxySource); err.IsError()) return err;
  const std::string words = curl_easy_strerror(f.code);
  const auto fail = [prefix = c.what + " " + c.url + ": "](const std::string& why) {
    return CLmError(hxerr::kNetwork, prefix + why);
  };
  if (!proxy.empty()) {
    if (f.connectCode == 407)
      return fail("the proxy " + proxy + " wants credentials (HTTP 407): check " + proxySource);
    if (f.connectCode >= 300)
      return fail("the proxy " + proxy + " refused the tunnel (HTTP " +
                  std::to_string(f.connectCode) + "): check " + proxySource);
    if (f.code == CURLE_PROXY) return fail("the proxy " + proxy + " failed: check " + proxySource);
  }
  // A server that refuses the client certificate inside TLS ends the
  // handshake, or (TLS 1.3) the first read, with an alert.
  const bool https = StartsWithNoCase(c.url, "https://");
  if (https && (f.code == CURLE_SSL_CONNECT_ERROR || f.code == CURLE_RECV_ERROR)) {
    if (!c.transport->clientCert.empty())
      return fail("the TLS connection failed (" + words +
                  "); if the server checks client certificates, set " + Named(kClientCertSetting) +
                  " and " + kClientKeySetting + " to a certificate the site's CA issued");
    if (f.code == CURLE_SSL_CONNECT_ERROR)
      return fail("TLS handshake failed (" + words + "): check that " + Named(kUrlSetting) +
                  " names a TLS port, and whether the server wants a client certificate");
  }
  return fail("transfer failed (" + words + ")");
}

CLmError StatusFailure(long status, const std::string& body, const ErrorContext& c) {
  std::string text = c.what + " " + c.url + ": HTTP " + std::to_string(status);
  if (status == 400 && Contains(body, "No required SSL certificate"))
    text += ": the server wants a client certificate and none was sent; set " +
            Named(kClientCertSetting) + " and " + kClientKeySetting;
  else if (status == 400 && Contains(body, "SSL certificate error"))
    text += ": the server refused the client certificate; set " + Named(kClientCertSetting) +
            " and " + kClientKeySetting + " to a certificate the site's CA issued";
  else if ((status == 401 || status == 403) && c.sentToken)
    text += ": the server refused the bearer token; check the token in the file of " +
            Named(kTokenFileSetting);
  else if (status == 401 || status == 403)
    text += ": the server wants authorisation; set " + Named(kTokenFileSetting) +
            " to a file holding the site's bearer token";
  else if (status == 407)
    text += ": the proxy wants credentials; put them in " + Named(kProxySetting);
  return CLmError(hxerr::kHttp, text);
}

// The token would cross the network in clear, to anyone on the path.
CLmError TokenOverPlainHttp(const std::string& fileUrl) {
  return CLmError(hxerr::kInvalid, "download of " + WithoutUrlCredentials(fileUrl) +
                                       ": refusing to send the bearer token of " +
                                       Named(kTokenFileSetting) + " over plain http; make " +
                                       Named(kUrlSetting) + " an https:// URL");
}

CLmError FileError(int err, const std::string& what, const std::string& path) {
  const bool noSpace = err == ENOSPC || err == EDQUOT || err == EFBIG;
  return CLmError(noSpace ? hxerr::kNoSpace : hxerr::kIo,
                  what + " " + path + ": " + hostfs::ErrnoText(err));
}

}  // namespace netsession
