#include "host/net/TransportOptions.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <vector>

#include "host/net/ControlServerUrl.h"
#include "host/net/Network.h"
#include "host/net/TransferFailure.h"

#if LIBCURL_VERSION_NUM < 0x075500
#error "guidlookups needs libcurl 7.85.0 or newer (CURLOPT_PROTOCOLS_STR)"
#endif

namespace netsession {
namespace {

constexpr const char* kAllowedProtocols = "http,https";
constexpr const char* kMinimumCurl = "7.85.0";
// A token or passphrase is a line, never a document.
constexpr size_t kSecretFileLimit = size_t{16} * 1024;

std::string Setting(HXPlatformInfo& settings, const char* name) {
  std::string value;
  settings.getString(kSection, name, &value);
  return value;
}

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// Whether libcurl's NO_PROXY rules exempt `host`: "*", or an entry equal to
// the host or to one of its domain suffixes.
bool ExemptFromProxy(const std::string& host) {
  const char* list = NonEmptyEnv("no_proxy");
  if (!list) list = NonEmptyEnv("NO_PROXY");
  if (!list) return false;
  std::istringstream entries(list);
  for (std::string entry; std::getline(entries, entry, ',');) {
    const char* const kSpace = " \t\n\v\f\r";
    entry.erase(0, entry.find_first_not_of(kSpace));
    entry.erase(entry.find_last_not_of(kSpace) + 1);
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (entry == "*") return true;
    if (strcasecmp(entry.c_str(), host.c_str()) == 0) return true;
    if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
        strcasecmp(host.c_str() + host.size() - entry.size(), entry.c_str()) == 0)
      return true;
  }
  return false;
}

// The network session's words for a secret file that breaks the rule.
CLmError SecretFileError(const SecretFileVerdict& verdict, const std::string& path,
                         const char* setting) {
  switch (verdict.fault) {
    case SecretFileFault::kNone:
      return CLmError::Success();
    case SecretFileFault::kCannotRead:
      return FileError(verdict.error, "cannot read " + Named(setting) + " file", path);
    case SecretFileFault::kNotAFile:
      return CLmError(hxerr::kInvalid, Named(setting) + " names " + path + ", which is not a file");
    case SecretFileFault::kOthersMayAccess:
      return CLmError(hxerr::kInvalid, "refusing " + path + " of " + Named(setting) + ": " +
                                           OthersMayAccessWords(verdict.mode));
    case SecretFileFault::kTooLarge:
      return CLmError(hxerr::kInvalid,
                      Named(setting) + " file " + path + " is too large for a secret");
    case SecretFileFault::kEmpty:
      return CLmError(hxerr::kInvalid, Named(setting) + " file " + path + " is empty");
    case SecretFileFault::kNotOneLine:
      return CLmError(hxerr::kInvalid, Named(setting) + " file " + path +
                                           " holds more than one line or control characters");
  }
  return CLmError(hxerr::kInvalid, Named(setting) + " file " + path + " is refused");
}

}  // namespace

std::string Named(const char* setting) { return std::string("[") + kSection + "] " + setting; }

Transport ReadTransport(HXPlatformInfo& settings, long callerTimeout, const std::string& url) {
  Transport t;
  unsigned long number = 0;
  if (settings.getNumber(kSection, kTimeoutSetting, &number) && number > 0)
    t.timeoutSeconds = static_cast<long>(number > 86400 ? 86400 : number);
  else if (callerTimeout > 0)
    t.timeoutSeconds = callerTimeout;
  number = 0;
  // curl takes the bound as a signed 64-bit size.
  if (settings.getNumber(kSection, kMaxBytesSetting, &number) && number > 0)
    t.maxBytes = std::min<uint64_t>(number, INT64_MAX);
  t.caFile = Setting(settings, kCAFileSetting);
  t.caPath = Setting(settings, kCAPathSetting);
  t.clientCert = Setting(settings, kClientCertSetting);
  t.clientKey = Setting(settings, kClientKeySetting);
  t.keyPasswordFile = Setting(settings, kKeyPasswordFileSetting);
  t.tokenFile = Setting(settings, kTokenFileSetting);
  t.proxy = Setting(settings, kProxySetting);
  if (t.proxy.empty() && !ExemptFromProxy(HostOf(url))) {
    // The order in which libcurl looks; it ignores HTTP_PROXY in capitals.
    const bool https = StartsWithNoCase(url, "https://");
    for (const char* name :
         https ? std::vector<const char*>{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}
               : std::vector<const char*>{"http_proxy", "all_proxy", "ALL_PROXY"}) {
      if (const char* value = NonEmptyEnv(name)) {
        t.environmentProxy = value;
        t.environmentProxyName = name;
        break;
      }
    }
  }
  return t;
}

std::string ProxyInEffect(const Transport& t, std::string& source) {
  if (!t.proxy.empty()) {
    source = Named(kProxySetting);
    return WithoutUrlCredentials(t.proxy);
  }
  if (!t.environmentProxy.empty()) {
    source = "the environment variable " + t.environmentProxyName + " (or set " +
             Named(kProxySetting) + ")";
    return WithoutUrlCredentials(t.environmentProxy);
  }
  return "";
}

CLmError ReadSecretSetting(const std::string& path, const char* setting, Secret& out) {
  return SecretFileError(ReadSecretFile(path, kSecretFileLimit, SecretText::kTrimmed, out), path,
                         setting);
}

// curl_global_init is not thread-safe in every libcurl we may meet, and
// curl_easy_init would run it implicitly on first use; so the first call of
// any thread runs it exactly once. It is never undone: other parts of the host
// process may use libcurl too.
void EnsureCurlReady() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CLmError CurlOptions::Result(const std::string& prefix) const {
  if (refused_.empty()) return CLmError::Success();
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return CLmError(hxerr::kInvalid,
                  prefix + "libcurl " + (info && info->version ? info->version : "?") +
                      " did not take " + refused_ + " (" + curl_easy_strerror(code_) +
                      "), so nothing was sent; guidlookups needs libcurl " + kMinimumCurl +
                      " or newer, with TLS");
}

// A transfer that starts on https follows redirects to https only: a
// redirect to plain http would carry the file (and whatever the server
// trusts us with) in clear. No signals: we run in the caller's threads.
void SetCommonOptions(CurlOptions& o, const std::string& url, const std::string& userAgent) {
  o.Set(CURLOPT_URL, url.c_str(), "the control server URL");
  o.Set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols, "the protocol limit (CURLOPT_PROTOCOLS_STR)");
  o.Set(CURLOPT_REDIR_PROTOCOLS_STR,
        StartsWithNoCase(url, "https://") ? "https" : kAllowedProtocols,
        "the redirect limit (CURLOPT_REDIR_PROTOCOLS_STR)");
  o.Set(CURLOPT_NOSIGNAL, 1L, "the signal-free mode (CURLOPT_NOSIGNAL)");
  o.Set(CURLOPT_USERAGENT, userAgent.c_str(), "the client name");
}

// Peer and host verification are always on; nothing turns them off.
CLmError ApplyTransport(CurlOptions& o, const Transport& t, Secret& keyPassword) {
  // The connection phase (TCP, proxy tunnel, TLS handshake) has the time-out;
  // after it, a transfer ends only when it stalls (nothing received for that
  // long, also while waiting for the response headers: curl's low-speed check
  // here, and the transfer's own stall watch, which is exact), never while it
  // keeps moving however long the file takes. No CURLOPT_TIMEOUT, therefore.
  o.Set(CURLOPT_CONNECTTIMEOUT, t.timeoutSeconds, "the connection time-out");
  o.Set(CURLOPT_LOW_SPEED_LIMIT, 1L, "the stall limit");
  o.Set(CURLOPT_LOW_SPEED_TIME, t.timeoutSeconds, "the stall limit");
  o.Set(CURLOPT_SSL_VERIFYPEER, 1L, "the certificate verification");
  o.Set(CURLOPT_SSL_VERIFYHOST, 2L, "the host name verification");
  if (!t.caFile.empty())
    o.Set(CURLOPT_CAINFO, t.caFile.c_str(), "the CA bundle of " + Named(kCAFileSetting));
  if (!t.caPath.empty())
    o.Set(CURLOPT_CAPATH, t.caPath.c_str(), "the CA folder of " + Named(kCAPathSetting));
  if (!t.clientCert.empty())
    o.Set(CURLOPT_SSLCERT, t.clientCert.c_str(),
          "the client certificate of " + Named(kClientCertSetting));
  if (!t.clientKey.empty()) {
    // libcurl reads the key itself; it keeps the private-file rule all the same.
    if (CLmError err =
            SecretFileError(CheckSecretFile(t.clientKey), t.clientKey, kClientKeySetting);
        err.IsError())
      return err;
    o.Set(CURLOPT_SSLKEY, t.clientKey.c_str(), "the client key of " + Named(kClientKeySetting));
  }
  if (!t.keyPasswordFile.empty()) {
    CLmError err = ReadSecretSetting(t.keyPasswordFile, kKeyPasswordFileSetting, keyPassword);
    if (err.IsError()) return err;
    o.Set(CURLOPT_KEYPASSWD, keyPassword.value().c_str(),
          "the key passphrase of " + Named(kKeyPasswordFileSetting));
  }
  if (!t.proxy.empty())
    o.Set(CURLOPT_PROXY, t.proxy.c_str(), "the proxy of " + Named(kProxySetting));
  return CLmError::Success();
}

}  // namespace netsession
