// How the network session connects to the control server, as the settings
// of "[Base]" say at the time of each call: time-outs, the size bound, TLS
// material (CA, client certificate and key, the key's passphrase), the
// bearer token's file, the proxy and the one libcurl finds in the
// environment, the protocols a transfer and its redirects may use. Internal
// to the library: never installed, and included only by the network
// session's own sources (it brings in libcurl).
//
// Thread-safety: the functions keep no state; a CurlOptions belongs to the
// thread that owns its handle.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/CLmError.h"
#include "host/Settings.h"
#include "host/SettingsTable.h"
#include "host/net/SecretFile.h"

namespace netsession {

// The names come from the settings table; they are read at run time only,
// never by another static initialiser.
// Where the server is and where its file goes.
constexpr const char* kSection = hxsettings::kBase;
inline const char* const kUrlSetting = hxsettings::kControlServerUrl.name;
inline const char* const kTempDirSetting = hxsettings::kTempDir.name;
// Limits of a call.
inline const char* const kTimeoutSetting = hxsettings::kControlServerTimeout.name;
inline const char* const kMaxBytesSetting = hxsettings::kControlServerMaxBytes.name;
// TLS material.
inline const char* const kCAFileSetting = hxsettings::kControlServerCAFile.name;
inline const char* const kCAPathSetting = hxsettings::kControlServerCAPath.name;
inline const char* const kClientCertSetting = hxsettings::kControlServerClientCert.name;
inline const char* const kClientKeySetting = hxsettings::kControlServerClientKey.name;
inline const char* const kKeyPasswordFileSetting = hxsettings::kControlServerKeyPasswordFile.name;
// Authorisation and the way there.
inline const char* const kTokenFileSetting = hxsettings::kControlServerTokenFile.name;
inline const char* const kProxySetting = hxsettings::kControlServerProxy.name;

constexpr int kDefaultTimeoutSeconds = 120;
constexpr uint64_t kDefaultMaxBytes = uint64_t{4} << 30;

// "[Base] <name>", the way an operator finds a setting in the INI file.
std::string Named(const char* setting);

// How the connection is made, as the settings say at the time of the call.
struct Transport {
  long timeoutSeconds = kDefaultTimeoutSeconds;
  uint64_t maxBytes = kDefaultMaxBytes;
  std::string caFile, caPath, clientCert, clientKey, keyPasswordFile, tokenFile, proxy;
  // The proxy curl will take from the environment, and the variable's name,
  // when the settings name none; only for messages.
  std::string environmentProxy, environmentProxyName;
};

// Reads the transport settings for a call to `url`; `callerTimeout`
// (seconds) counts only where "nControlServerTimeout" is missing or 0.
Transport ReadTransport(HXPlatformInfo& settings, long callerTimeout, const std::string& url);

// The proxy in effect (without credentials) and, in `source`, where it came
// from; "" when curl goes direct.
std::string ProxyInEffect(const Transport& t, std::string& source);

// Reads the secret of the file a setting names (a token, a passphrase),
// refusing one that breaks the private-file rule. Errors name the file and
// the setting, never the secret: kInvalid for a file others may access, not
// a file, empty, too large or of more than one line; kIo (kNoSpace) when it
// cannot be read.
CLmError ReadSecretSetting(const std::string& path, const char* setting, Secret& out);

// curl_global_init, exactly once per process, before the first handle.
void EnsureCurlReady();

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// Sets options on a curl handle and keeps the first one libcurl refused. An
// option that does not take (an older libcurl, a TLS backend without it, a
// value libcurl rejects) fails the call: a transfer must never run without
// the limit or the check the option was to set.
class CurlOptions {
 public:
  explicit CurlOptions(CURL* curl) : curl_(curl) {}
  CurlOptions(const CurlOptions&) = delete;
  CurlOptions& operator=(const CurlOptions&) = delete;
  // `what` names the option for an operator ("the CA bundle of ...").
  template <typename T>
  void Set(CURLoption option, T value, const std::string& what) {
    if (!refused_.empty()) return;
    const CURLcode rc = curl_easy_setopt(curl_, option, value);
    if (rc == CURLE_OK) return;
    refused_ = what;
    code_ = rc;
  }
  // Success, or one kInvalid line, after `prefix`, that names the option
  // that did not take.
  CLmError Result(const std::string& prefix) const;

 private:
  CURL* curl_;
  std::string refused_;
  CURLcode code_ = CURLE_OK;
};

// The options of every call: the URL, the schemes it and its redirects may
// use, no signals, the client's identity.
void SetCommonOptions(CurlOptions& o, const std::string& url, const std::string& userAgent);

// The time-outs and the TLS material of `t`, and its proxy. The key's
// passphrase is read into `keyPassword`, which must outlive the handle's
// use. Errors (before anything is set for the key): those of
// ReadSecretSetting, for the client key (which must keep the private-file
// rule too) and for the passphrase file.
CLmError ApplyTransport(CurlOptions& o, const Transport& t, Secret& keyPassword);

}  // namespace netsession
