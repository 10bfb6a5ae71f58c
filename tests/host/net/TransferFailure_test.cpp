// The translation of libcurl's codes and transfer facts into one result code
// and the operator's words, for the faults a loopback server cannot stage.
#include "host/net/TransferFailure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using netsession::ErrorContext;
using netsession::TransferFacts;
using netsession::Transport;

struct Case {
  const char* name;
  TransferFacts facts;
  const char* url;
  void (*arrange)(Transport&);
  int32_t code;
  std::string fragment;
};

TransferFacts Facts(CURLcode code, long verify = 0, long osErrno = 0, long connectCode = 0) {
  TransferFacts facts;
  facts.code = code;
  facts.verifyResult = verify;
  facts.osErrno = osErrno;
  facts.connectCode = connectCode;
  return facts;
}

void Direct(Transport&) {}
void ViaProxy(Transport& t) { t.proxy = "http://user:pw@proxy.example:3128"; }
void ViaEnvironmentProxy(Transport& t) {
  t.environmentProxy = "http://u/s:p@proxy.example:3128";
  t.environmentProxyName = "https_proxy";
}
void WithCa(Transport& t) { t.caFile = "/etc/site-ca.pem"; }
void WithClientCert(Transport& t) { t.clientCert = "/etc/client.pem"; }

constexpr const char* kHttps = "https://cs.example/GUIDDB.DAT";
constexpr const char* kHttp = "http://cs.example:8080/GUIDDB.DAT";

TEST(TransferFailureTest, CodesAndFactsBecomeOneResultAndTheSettingToLookAt) {
  const std::vector<Case> cases = {
      {"refused", Facts(CURLE_COULDNT_CONNECT, 0, ECONNREFUSED), kHttp, Direct, hxerr::kNetwork,
       "connection refused by cs.example port 8080: check that the control server runs there"},
      {"unreachable", Facts(CURLE_COULDNT_CONNECT, 0, ENETUNREACH), kHttps, Direct, hxerr::kNetwork,
       "cannot connect to cs.example port 443 (Network is unreachable)"},
      {"proxy down", Facts(CURLE_COULDNT_CONNECT), kHttps, ViaProxy, hxerr::kNetwork,
       "cannot connect to proxy http://proxy.example:3128: check [Base] sControlServerProxy"},
      {"proxy 407", Facts(CURLE_RECV_ERROR, 0, 0, 407), kHttps, ViaProxy, hxerr::kNetwork,
       "wants credentials (HTTP 407): check [Base] sControlServerProxy"},
      {"tunnel refused", Facts(CURLE_RECV_ERROR, 0, 0, 403), kHttps, ViaEnvironmentProxy,
       hxerr::kNetwork,
       "refused the tunnel (HTTP 403): check the environment variable https_proxy"},
      {"proxy URL unreadable", Facts(CURLE_COULDNT_RESOLVE_PROXY), kHttps, ViaEnvironmentProxy,
       hxerr::kInvalid, "must be written percent-encoded"},
      {"stall", Facts(CURLE_OPERATION_TIMEDOUT), kHttps, Direct, hxerr::kTimeout,
       "timed out after 120 seconds without progress ([Base] nControlServerTimeout)"},
      {"not yet valid", Facts(CURLE_PEER_FAILED_VERIFICATION, 9), kHttps, Direct, hxerr::kNetwork,
       "is not yet valid: check this machine's clock"},
      {"expired", Facts(CURLE_PEER_FAILED_VERIFICATION, 10), kHttps, Direct, hxerr::kNetwork,
       "has expired"},
      {"misnamed", Facts(CURLE_PEER_FAILED_VERIFICATION, 62), kHttps, Direct, hxerr::kNetwork,
       "does not name host cs.example: set [Base] sControlServerURL"},
      {"unknown CA", Facts(CURLE_PEER_FAILED_VERIFICATION, 20), kHttps, Direct, hxerr::kNetwork,
       "unknown CA: set [Base] sControlServerCAFile"},
      {"CA not in bundle", Facts(CURLE_PEER_FAILED_VERIFICATION, 19), kHttps, WithCa,
       hxerr::kNetwork, "do not hold the CA that signed it"},
      {"other verification", Facts(CURLE_PEER_FAILED_VERIFICATION, 23), kHttps, Direct,
       hxerr::kNetwork, "failed verification: check [Base] sControlServerCAFile"},
      {"bad CA bundle", Facts(CURLE_SSL_CACERT_BADFILE), kHttps, WithCa, hxerr::kInvalid,
       "cannot use the CA bundle"},
      {"malformed", Facts(CURLE_URL_MALFORMAT), kHttps, Direct, hxerr::kInvalid,
       "unusable URL: check [Base] sControlServerURL"},
      {"redirect off https", Facts(CURLE_UNSUPPORTED_PROTOCOL), kHttps, Direct, hxerr::kInvalid,
       "follows redirects to https only"},
      {"client cert alert", Facts(CURLE_RECV_ERROR), kHttps, WithClientCert, hxerr::kNetwork,
       "if the server checks client certificates, set [Base] sControlServerClientCert"},
      {"handshake", Facts(CURLE_SSL_CONNECT_ERROR), kHttps, Direct, hxerr::kNetwork,
       "TLS handshake failed"},
      {"plain read error", Facts(CURLE_RECV_ERROR), kHttp, Direct, hxerr::kNetwork,
       "transfer failed ("},
  };
  for (const Case& c : cases) {
    Transport transport;
    c.arrange(transport);
    const ErrorContext context{"download of", c.url, "https://cs.example", &transport, false, ""};
    const CLmError err = netsession::TransferFailure(c.facts, context);
    EXPECT_EQ(err.Code(), c.code) << c.name << ": " << err.AsString();
    EXPECT_NE(err.AsString().find(c.fragment), std::string::npos)
        << c.name << ": " << err.AsString();
    EXPECT_EQ(err.AsString().find("user:pw"), std::string::npos) << c.name;
    EXPECT_EQ(err.AsString().find("s:p@"), std::string::npos) << c.name;
  }
}

TEST(TransferFailureTest, StatusNamesTheSettingTheServerAskedAbout) {
  Transport transport;
  ErrorContext context{"download of", kHttps, "https://cs.example", &transport, false, ""};
  auto words = [&](long status, const std::string& body) {
    const CLmError err = netsession::StatusFailure(status, body, context);
    EXPECT_EQ(err.Code(), hxerr::kHttp);
    return err.AsString();
  };
  EXPECT_NE(words(400, "<h1>No required SSL certificate was sent</h1>").find("none was sent"),
            std::string::npos);
  EXPECT_NE(words(400, "400 The SSL certificate error").find("refused the client certificate"),
            std::string::npos);
  EXPECT_NE(words(401, "").find("set [Base] sControlServerTokenFile"), std::string::npos);
  EXPECT_NE(words(407, "").find("put them in [Base] sControlServerProxy"), std::string::npos);
  EXPECT_NE(words(404, "").find("HTTP 404"), std::string::npos);
  context.sentToken = true;
  EXPECT_NE(words(403, "").find("refused the bearer token"), std::string::npos);
}

}  // namespace
