#include "host/Network.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "host/Settings.h"

#if LIBCURL_VERSION_NUM < 0x075500
#error "guidlookups needs libcurl 7.85.0 or newer (CURLOPT_PROTOCOLS_STR)"
#endif

// The control server is reached over plain HTTP(S): the attach proves that it
// accepts connections (and, for https, completes a verified TLS handshake),
// the transfer is one GET of "<base URL>/GUIDDB.DAT". Every call uses its own
// curl handle and closes it before returning, so a session object holds no
// connection, descriptor or file between calls and the caller may destroy it
// on any path. Every setting is read again at each call.

namespace {

constexpr const char* kFileName = "GUIDDB.DAT";
// Our partial downloads: ".GUIDDB.DAT.part-<pid>-<random>". The hidden name
// keeps them out of an operator's way; the pid tells a later transfer whether
// the writer is still alive. Older builds wrote "GUIDDB.DAT.part-<random>".
constexpr const char* kPartPrefix = ".GUIDDB.DAT.part-";
constexpr const char* kLegacyPartPrefix = "GUIDDB.DAT.part-";
constexpr int kDefaultTimeoutSeconds = 120;
constexpr uint64_t kDefaultMaxBytes = uint64_t{4} << 30;
constexpr const char* kAllowedProtocols = "http,https";
constexpr const char* kMinimumCurl = "7.85.0";
// Error bodies are kept only to tell an operator what the server said.
constexpr size_t kErrorBodyLimit = 4096;
// A token or passphrase is a line, never a document.
constexpr size_t kSecretFileLimit = 16 * 1024;

constexpr const char* kSection = "Base";
constexpr const char* kTimeoutSetting = "nControlServerTimeout";
constexpr const char* kMaxBytesSetting = "nControlServerMaxBytes";
constexpr const char* kCAFileSetting = "sControlServerCAFile";
constexpr const char* kCAPathSetting = "sControlServerCAPath";
constexpr const char* kClientCertSetting = "sControlServerClientCert";
constexpr const char* kClientKeySetting = "sControlServerClientKey";
constexpr const char* kKeyPasswordFileSetting = "sControlServerKeyPasswordFile";
constexpr const char* kTokenFileSetting = "sControlServerTokenFile";
constexpr const char* kProxySetting = "sControlServerProxy";

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

std::atomic<int> g_liveObjects{0};

// curl_global_init is not thread-safe in every libcurl we may meet, and
// curl_easy_init would run it implicitly on first use; so the first call of
// any thread runs it exactly once. It is never undone: other parts of the host
// process may use libcurl too.
void EnsureCurlReady() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

bool Contains(const std::string& text, const char* fragment) {
  return text.find(fragment) != std::string::npos;
}

// A usable base URL: http:// or https:// followed by a host, no blanks or
// control characters. Trailing '/' are removed so that "/GUIDDB.DAT" can be
// appended.
bool NormaliseBaseUrl(std::string url, std::string& out) {
  size_t schemeLength = 0;
  if (StartsWithNoCase(url, "http://"))
    schemeLength = 7;
  else if (StartsWithNoCase(url, "https://"))
    schemeLength = 8;
  else
    return false;
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7f) return false;
  while (url.size() > schemeLength && url.back() == '/') url.pop_back();
  if (url.size() == schemeLength || url[schemeLength] == '/') return false;
  out = url;
  return true;
}

HXPlatformInfo FocusedSettings() {
  HXPlatformInfo settings;
  settings.setFocus(HXPI_Focus::getFocus());
  return settings;
}

std::string Setting(HXPlatformInfo& settings, const char* name) {
  std::string value;
  settings.getString(kSection, name, &value);
  return value;
}

// "[Base] <name>", the way an operator finds a setting in the INI file.
std::string Named(const char* setting) { return std::string("[") + kSection + "] " + setting; }

// The client name as it may appear in an HTTP header.
std::string HeaderSafe(const char* text) {
  std::string out;
  for (const char* p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
  }
  return out;
}

// Where the authority of `url` starts: after "<scheme>://" when the text
// opens with a scheme, else at 0 (a proxy may be written "host:port").
size_t AuthorityStart(const std::string& url) {
  size_t i = 0;
  while (i < url.size() && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' ||
                            url[i] == '-' || url[i] == '.'))
    ++i;
  if (i == 0 || !std::isalpha(static_cast<unsigned char>(url[0])) || url.compare(i, 3, "://") != 0)
    return 0;
  return i + 3;
}

// The authority of an http(s) URL without user and password ("host:port").
std::string AuthorityOf(const std::string& url) {
  const std::string bare = WithoutUrlCredentials(url);
  const size_t start = AuthorityStart(bare);
  const size_t end = bare.find_first_of("/?#", start);
  return bare.substr(start, end == std::string::npos ? end : end - start);
}

// The host part of an http(s) URL (no user, port or path), for messages.
std::string HostOf(const std::string& url) {
  const std::string authority = AuthorityOf(url);
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    return authority.substr(1, close == std::string::npos ? close : close - 1);
  }
  return authority.substr(0, authority.find(':'));
}

// The port an http(s) URL connects to, written or the scheme's.
std::string PortOf(const std::string& url) {
  const std::string authority = AuthorityOf(url);
  const size_t close = authority[0] == '[' ? authority.find(']') : 0;
  const size_t colon = authority.find(':', close == std::string::npos ? 0 : close);
  if (colon != std::string::npos && colon + 1 < authority.size())
    return authority.substr(colon + 1);
  return StartsWithNoCase(url, "https://") ? "443" : "80";
}

bool IsNoSpaceErrno(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

CLmError FileError(int err, const std::string& what, const std::string& path) {
  return CLmError(IsNoSpaceErrno(err) ? hxerr::kNoSpace : hxerr::kIo,
                  what + " " + path + ": " + hostfs::ErrnoText(err));
}

// A token or key passphrase read from its file; wiped when it goes, so that a
// core dump taken later does not carry it.
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

// A file that holds a secret (or a private key) must be its owner's alone:
// any permission for group or others refuses it, before anything is read.
CLmError CheckPrivateFile(int fd, const std::string& path, const char* setting) {
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return FileError(errno, "cannot read " + Named(setting) + " file", path);
  if (!S_ISREG(st.st_mode))
    return CLmError(hxerr::kInvalid, Named(setting) + " names " + path + ", which is not a file");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return CLmError(hxerr::kInvalid, "refusing " + path + " of " + Named(setting) +
                                         ": group or other users may access it (mode " + mode +
                                         "); make it readable by its owner only (chmod 600)");
  }
  return CLmError::Success();
}

CLmError CheckPrivateFile(const std::string& path, const char* setting) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileError(errno, "cannot read " + Named(setting) + " file", path);
  CLmError err = CheckPrivateFile(fd, path, setting);
  ::close(fd);
  return err;
}

// Reads the one-line secret of `path` into `out`, blanks at either end
// removed. The text never appears in an error: only the file and the setting.
CLmError ReadSecretFile(const std::string& path, const char* setting, Secret& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileError(errno, "cannot read " + Named(setting) + " file", path);
  CLmError err = CheckPrivateFile(fd, path, setting);
  std::string& value = out.value();
  value.assign(kSecretFileLimit + 1, '\0');
  size_t got = 0;
  while (!err.IsError() && got < value.size()) {
    ssize_t n = ::read(fd, &value[got], value.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = FileError(errno, "cannot read " + Named(setting) + " file", path);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (err.IsError() || got > kSecretFileLimit) {
    out.Wipe();
    return err.IsError() ? err
                         : CLmError(hxerr::kInvalid, Named(setting) + " file " + path +
                                                         " is too large for a secret");
  }
  size_t begin = 0;
  while (begin < got && std::isspace(static_cast<unsigned char>(value[begin]))) ++begin;
  while (got > begin && std::isspace(static_cast<unsigned char>(value[got - 1]))) --got;
  // Shifting in place rather than via substr leaves no copy behind.
  std::memmove(&value[0], &value[begin], got - begin);
  std::memset(&value[got - begin], 0, value.size() - (got - begin));
  value.resize(got - begin);
  if (value.empty())
    return CLmError(hxerr::kInvalid, Named(setting) + " file " + path + " is empty");
  for (unsigned char c : value) {
    // A line break would end the header and start another one.
    if (c < 0x20 || c == 0x7f) {
      out.Wipe();
      return CLmError(hxerr::kInvalid, Named(setting) + " file " + path +
                                           " holds more than one line or control characters");
    }
  }
  return CLmError::Success();
}

// How the connection is made, as the settings say at the time of the call.
struct Transport {
  long timeoutSeconds = kDefaultTimeoutSeconds;
  uint64_t maxBytes = kDefaultMaxBytes;
  std::string caFile, caPath, clientCert, clientKey, keyPasswordFile, tokenFile, proxy;
  // The proxy curl will take from the environment, and the variable's name,
  // when the settings name none; only for messages.
  std::string environmentProxy, environmentProxyName;
};

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
  std::string entries = list;
  size_t pos = 0;
  while (pos <= entries.size()) {
    size_t comma = entries.find(',', pos);
    std::string entry = entries.substr(pos, comma == std::string::npos ? comma : comma - pos);
    pos = comma == std::string::npos ? entries.size() + 1 : comma + 1;
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.back())))
      entry.pop_back();
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.front())))
      entry.erase(0, 1);
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

// Reads the transport settings; `callerTimeout` (seconds) counts only where
// "nControlServerTimeout" is missing or 0.
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

// Sets options on a curl handle and keeps the first one libcurl refused. An
// option that does not take (an older libcurl, a TLS backend without it, a
// value libcurl rejects) fails the call: a transfer must never run without
// the limit or the check the option was to set.
class CurlOptions {
 public:
  explicit CurlOptions(CURL* curl) : curl_(curl) {}
  // `what` names the option for an operator ("the CA bundle of ...").
  template <typename T>
  void Set(CURLoption option, T value, const std::string& what) {
    if (!refused_.empty()) return;
    const CURLcode rc = curl_easy_setopt(curl_, option, value);
    if (rc == CURLE_OK) return;
    refused_ = what;
    code_ = rc;
  }
  // Success, or one line that names the option that did not take.
  CLmError Result(const std::string& prefix) const {
    if (refused_.empty()) return CLmError::Success();
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return CLmError(hxerr::kInvalid,
                    prefix + "libcurl " + (info && info->version ? info->version : "?") +
                        " did not take " + refused_ + " (" + curl_easy_strerror(code_) +
                        "), so nothing was sent; guidlookups needs libcurl " + kMinimumCurl +
                        " or newer, with TLS");
  }

 private:
  CURL* curl_;
  std::string refused_;
  CURLcode code_ = CURLE_OK;
};

// Applies the time-outs and TLS settings common to the attach and the
// transfer. Peer and host verification are always on; nothing turns them off.
CLmError ApplyTransport(CurlOptions& o, const Transport& t, Secret& keyPassword) {
  // The connection phase (TCP, proxy tunnel, TLS handshake) has the time-out;
  // after it, a transfer ends only when it stalls (nothing received for that
  // long, also while waiting for the response headers: curl's low-speed check
  // here, and the transfer's own StallWatch, which is exact), never while it
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
    if (CLmError err = CheckPrivateFile(t.clientKey, kClientKeySetting); err.IsError()) return err;
    o.Set(CURLOPT_SSLKEY, t.clientKey.c_str(), "the client key of " + Named(kClientKeySetting));
  }
  if (!t.keyPasswordFile.empty()) {
    CLmError err = ReadSecretFile(t.keyPasswordFile, kKeyPasswordFileSetting, keyPassword);
    if (err.IsError()) return err;
    o.Set(CURLOPT_KEYPASSWD, keyPassword.value().c_str(),
          "the key passphrase of " + Named(kKeyPasswordFileSetting));
  }
  if (!t.proxy.empty())
    o.Set(CURLOPT_PROXY, t.proxy.c_str(), "the proxy of " + Named(kProxySetting));
  return CLmError::Success();
}

// Options common to the attach and the transfer: allowed schemes, no signals
// (we run in the caller's threads), the client's identity. A transfer that
// starts on https follows redirects to https only: a redirect to plain http
// would carry the file (and whatever the server trusts us with) in clear.
void SetCommonOptions(CurlOptions& o, const std::string& url, const std::string& userAgent) {
  o.Set(CURLOPT_URL, url.c_str(), "the control server URL");
  o.Set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols, "the protocol limit (CURLOPT_PROTOCOLS_STR)");
  o.Set(CURLOPT_REDIR_PROTOCOLS_STR,
        StartsWithNoCase(url, "https://") ? "https" : kAllowedProtocols,
        "the redirect limit (CURLOPT_REDIR_PROTOCOLS_STR)");
  o.Set(CURLOPT_NOSIGNAL, 1L, "the signal-free mode (CURLOPT_NOSIGNAL)");
  o.Set(CURLOPT_USERAGENT, userAgent.c_str(), "the client name");
}

// The refusal to send a bearer token over plain http, made before any
// connection: the token would cross the network in clear, to anyone on the
// path.
CLmError TokenOverPlainHttp(const std::string& fileUrl) {
  return CLmError(hxerr::kInvalid, "download of " + WithoutUrlCredentials(fileUrl) +
                                       ": refusing to send the bearer token of " +
                                       Named(kTokenFileSetting) +
                                       " over plain http; make [Base] sControlServerURL an "
                                       "https:// URL");
}

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

// Whether the user part of a URL as written holds a character that ends it
// for a URL parser ('/', '?', '#', or an '@' before the last): libcurl then
// cannot read the URL at all.
bool UserPartNeedsEncoding(const std::string& url) {
  const size_t start = AuthorityStart(url);
  const size_t at = url.rfind('@');
  if (at == std::string::npos || at < start) return false;
  return url.substr(start, at - start).find_first_of("/?#@") != std::string::npos;
}

// The proxy in effect and where it came from, or "" when curl goes direct.
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

CLmError CertificateError(CURL* curl, const ErrorContext& c) {
  long verify = 0;
  curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify);
  const std::string prefix = c.what + " " + c.url + ": certificate of " + c.server;
  const Transport& t = *c.transport;
  switch (verify) {
    case kX509Expired:
      return CLmError(hxerr::kNetwork,
                      prefix + " has expired: the control server needs a renewed certificate");
    case kX509NotYetValid:
      return CLmError(hxerr::kNetwork, prefix +
                                           " is not yet valid: check this machine's clock and the "
                                           "certificate's dates");
    // A chain that verified and still failed is libcurl's own host name
    // check, which reports "unspecified" (or nothing) as the result.
    case 0:
    case kX509Unspecified:
    case kX509HostnameMismatch:
      return CLmError(hxerr::kNetwork, prefix + " does not name host " + HostOf(c.server) +
                                           ": set [Base] sControlServerURL to a name the "
                                           "certificate was issued for, or reissue it");
    case kX509NoLocalIssuer:
    case kX509SelfSignedLeaf:
    case kX509SelfSignedInChain:
    case kX509CannotVerifyLeaf:
      if (t.caFile.empty() && t.caPath.empty())
        return CLmError(hxerr::kNetwork, prefix + " is signed by an unknown CA: set " +
                                             Named(kCAFileSetting) + " to the site's CA bundle");
      return CLmError(hxerr::kNetwork, prefix + " is signed by an unknown CA: " +
                                           Named(kCAFileSetting) + " and " + kCAPathSetting +
                                           " do not hold the CA that signed it; set them to the "
                                           "site's CA bundle");
    default:
      return CLmError(hxerr::kNetwork, prefix + " failed verification: check " +
                                           Named(kCAFileSetting) + " and the server's certificate");
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
  std::string cert;
  std::string error;
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

// Turns a failed curl_easy_perform into one error that names the URL, what
// went wrong in words an operator can act on, and the setting to look at.
// It is made from libcurl's codes and transfer facts only: libcurl's error
// buffer may quote the URL or the proxy as written, password and all, so no
// text of it is passed on (curl_easy_strerror gives fixed words per code).
CLmError CurlError(CURL* curl, CURLcode rc, const ErrorContext& c) {
  const std::string words = curl_easy_strerror(rc);
  const std::string prefix = c.what + " " + c.url + ": ";
  const Transport& t = *c.transport;
  const bool https = StartsWithNoCase(c.url, "https://");
  std::string proxySource;
  const std::string proxy = ProxyInEffect(t, proxySource);
  const std::string where = HostOf(c.url) + " port " + PortOf(c.url);
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_PROXY:
      if (UserPartNeedsEncoding(t.proxy.empty() ? t.environmentProxy : t.proxy))
        return CLmError(hxerr::kInvalid,
                        prefix + "cannot read the proxy URL " + proxy + ": check " + proxySource +
                            " (a '/', '?', '#' or '@' in its user or password must be written "
                            "percent-encoded, '#' as %23)");
      return CLmError(hxerr::kNetwork,
                      prefix + "could not resolve proxy " + proxy + ": check " + proxySource);
    case CURLE_COULDNT_CONNECT: {
      // With a proxy in effect, curl connects to nothing else.
      if (!proxy.empty())
        return CLmError(hxerr::kNetwork,
                        prefix + "cannot connect to proxy " + proxy + ": check " + proxySource);
      long osErrno = 0;
      curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
      const std::string cause = osErrno == ECONNREFUSED || osErrno == 0
                                    ? "connection refused by " + where
                                    : "cannot connect to " + where + " (" +
                                          std::strerror(static_cast<int>(osErrno)) + ")";
      return CLmError(hxerr::kNetwork, prefix + cause +
                                           ": check that the control server runs there and that "
                                           "[Base] sControlServerURL names its host and port");
    }
    case CURLE_COULDNT_RESOLVE_HOST:
      return CLmError(hxerr::kNetwork, prefix + "could not resolve host " + HostOf(c.url) +
                                           ": check [Base] sControlServerURL and this machine's "
                                           "name service");
    case CURLE_OPERATION_TIMEDOUT:
      return CLmError(hxerr::kTimeout,
                      prefix + "timed out after " + std::to_string(t.timeoutSeconds) +
                          " seconds without progress (" + Named(kTimeoutSetting) + ")");
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Our own URL was checked to be http(s): what was refused is where a
      // redirect led.
      return CLmError(
          hxerr::kInvalid,
          prefix + "refused the server's redirect to " +
              (c.redirectedTo.empty() ? std::string("another scheme") : c.redirectedTo) +
              (https ? ": a download that starts on https follows redirects to https "
                       "only; set [Base] sControlServerURL to the https address the "
                       "file is served at"
                     : ": a download follows redirects to http and https only; set "
                       "[Base] sControlServerURL to the address the file is served at"));
    case CURLE_URL_MALFORMAT:
      return CLmError(hxerr::kInvalid, prefix + "unusable URL: check [Base] sControlServerURL");
    case CURLE_PEER_FAILED_VERIFICATION:
      return CertificateError(curl, c);
    case CURLE_SSL_CACERT_BADFILE:
      return CLmError(hxerr::kInvalid, prefix + "cannot use the CA bundle: check " +
                                           Named(kCAFileSetting) + " and " + kCAPathSetting);
    case CURLE_SSL_CERTPROBLEM:
      return CLmError(hxerr::kInvalid, prefix + ClientCertificateProblem(t));
    default:
      break;
  }
  if (!proxy.empty()) {
    long tunnel = 0;
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (tunnel == 407)
      return CLmError(hxerr::kNetwork, prefix + "the proxy " + proxy +
                                           " wants credentials (HTTP 407): check " + proxySource);
    if (tunnel >= 300)
      return CLmError(hxerr::kNetwork, prefix + "the proxy " + proxy +
                                           " refused the tunnel (HTTP " + std::to_string(tunnel) +
                                           "): check " + proxySource);
    if (rc == CURLE_PROXY)
      return CLmError(hxerr::kNetwork,
                      prefix + "the proxy " + proxy + " failed: check " + proxySource);
  }
  // A server that refuses the client certificate inside TLS ends the
  // handshake, or (TLS 1.3) the first read, with an alert.
  if (https && (rc == CURLE_SSL_CONNECT_ERROR || rc == CURLE_RECV_ERROR)) {
    if (!t.clientCert.empty())
      return CLmError(hxerr::kNetwork, prefix + "the TLS connection failed (" + words +
                                           "); if the server checks client certificates, set " +
                                           Named(kClientCertSetting) + " and " + kClientKeySetting +
                                           " to a certificate the site's CA issued");
    if (rc == CURLE_SSL_CONNECT_ERROR)
      return CLmError(hxerr::kNetwork, prefix + "TLS handshake failed (" + words +
                                           "): check that [Base] sControlServerURL names a TLS "
                                           "port, and whether the server wants a client "
                                           "certificate");
  }
  return CLmError(hxerr::kNetwork, prefix + "transfer failed (" + words + ")");
}

// An answer other than 200: the status and, where the server said why, the
// cause and the setting that fixes it.
CLmError StatusError(long status, const std::string& body, const ErrorContext& c) {
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

// A temporary file in the destination's folder, removed at scope end unless
// it was renamed into place.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Returns 0 or errno.
  int Create(const std::string& folder) {
    std::string pattern =
        folder + "/" + kPartPrefix + std::to_string(static_cast<long>(::getpid())) + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return errno;
    path_ = name.data();
    // mkostemp makes the file private; the database is shared by the agents.
    ::fchmod(fd_, 0644);
    return 0;
  }
  // Flushes and closes; returns 0 or errno (a full disk may only show here).
  int Finish() {
    int err = 0;
    if (::fsync(fd_) != 0) err = errno;
    if (::close(fd_) != 0 && err == 0) err = errno;
    fd_ = -1;
    return err;
  }
  // Renames over `destination`; returns 0 or errno.
  int RenameTo(const std::string& destination) {
    if (::rename(path_.c_str(), destination.c_str()) != 0) return errno;
    path_.clear();
    return 0;
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Whether the process that named a part file "<pid>-<random>" still runs.
// Our own pid counts as alive: other threads of this process may be writing.
bool PartWriterAlive(const char* rest) {
  errno = 0;
  char* end = nullptr;
  long pid = std::strtol(rest, &end, 10);
  if (end == rest || *end != '-' || pid <= 0 || errno != 0) return false;
  if (pid == static_cast<long>(::getpid())) return true;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Removes the part files of transfers whose process has ended (killed
// mid-body, say); they would otherwise pile up in the folder forever.
void RemoveStaleParts(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    const char* rest = nullptr;
    if (std::strncmp(name, kPartPrefix, std::strlen(kPartPrefix)) == 0)
      rest = name + std::strlen(kPartPrefix);
    else if (std::strncmp(name, kLegacyPartPrefix, std::strlen(kLegacyPartPrefix)) == 0)
      rest = name + std::strlen(kLegacyPartPrefix);
    if (!rest || PartWriterAlive(rest)) continue;
    std::string path = folder + "/" + name;
    if (::unlink(path.c_str()) == 0)
      HXLOG(2, "void RemoveStaleParts(const string&)",
            "Removed partial download [%s] of a transfer that ended", path.c_str());
  }
  ::closedir(dir);
}

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

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  size_t total = size * count;
  // Redirects that curl follows do not reach here, so the status is that of
  // the answer whose body this is.
  if (sink->status == 0) curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &sink->status);
  if (sink->status != 200) {
    if (sink->errorBody.size() < kErrorBodyLimit)
      sink->errorBody.append(data, std::min(total, kErrorBodyLimit - sink->errorBody.size()));
    return total;
  }
  // An unannounced (chunked) body has no size for CURLOPT_MAXFILESIZE to check.
  if (total > sink->limit - sink->written) {
    sink->tooLarge = true;
    return 0;
  }
  size_t done = 0;
  while (done < total) {
    ssize_t n = ::write(sink->fd, data + done, total - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      sink->error = errno;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  // Starts the write-back of every full stretch as the body arrives, so
  // that the flush before the rename finds little left to write: the disk
  // works while the network does.
  constexpr uint64_t kWriteBackStretch = 8u << 20;
  const uint64_t before = sink->written / kWriteBackStretch;
  sink->written += total;
  if (sink->written / kWriteBackStretch != before)
    ::sync_file_range(sink->fd, static_cast<off64_t>(before * kWriteBackStretch),
                      static_cast<off64_t>(kWriteBackStretch), SYNC_FILE_RANGE_WRITE);
  return total;
}

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

int WatchProgress(void* user, curl_off_t /*downloadTotal*/, curl_off_t downloaded,
                  curl_off_t /*uploadTotal*/, curl_off_t /*uploaded*/) {
  auto* watch = static_cast<StallWatch*>(user);
  auto now = std::chrono::steady_clock::now();
  if (downloaded != watch->received) {
    watch->received = downloaded;
    watch->lastProgress = now;
    return 0;
  }
  if (now - watch->lastProgress < watch->limit) return 0;
  watch->stalled = true;
  return 1;
}


CLmError Unexpected(const char* what) {
  return CLmError(hxerr::kGeneric, std::string("unexpected failure in ") + what);
}

}  // namespace

int HXClient::getNetworkHostnameMangled(std::string& hostName, void* /*reserved*/) {
  try {
    HXPlatformInfo settings = FocusedSettings();
    std::string configured;
    if (!settings.getString("Base", "sControlServerURL", &configured) || configured.empty()) {
      configured = hostconfig::Get(hostconfig::Knob::kControlServer);
    }
    std::string url;
    if (!NormaliseBaseUrl(configured, url)) {
      HXLOG(3, "int HXClient::getNetworkHostnameMangled(std::string&, void*)",
            "No usable control server URL configured: [%s]",
            WithoutUrlCredentials(configured).c_str());
      return -1;
    }
    hostName = url;
    return 0;
  } catch (...) {
    return -1;
  }
}

hxsExecuteRemoteDllType::hxsExecuteRemoteDllType() : options(0) {
  std::memset(localExecutable, 0, sizeof(localExecutable));
  std::memset(remoteExecutable, 0, sizeof(remoteExecutable));
}

hxsFilexferRequest::hxsFilexferRequest() {
  std::memset(sourcePath, 0, sizeof(sourcePath));
  std::memset(destinationPath, 0, sizeof(destinationPath));
  offset = 0;
  mode = 0;
  flags = 0;
  attributes = 0;
  std::memset(options, 0, sizeof(options));
  size = 0;
  modifiedTime = 0;
  status = 0;
}

CHxNetwork::CHxNetwork() { g_liveObjects.fetch_add(1, std::memory_order_relaxed); }

CHxNetwork::~CHxNetwork() { g_liveObjects.fetch_sub(1, std::memory_order_relaxed); }

int CHxNetwork::LiveObjects() { return g_liveObjects.load(std::memory_order_relaxed); }

CLmError CHxNetwork::Attach_RemoteDLL(const std::string& hostName,
                                      hxsExecuteRemoteDllType* /*executables*/,
                                      const char* clientName, int timeoutSeconds, bool& /*flag*/) {
  // An HTTP control server serves the file itself, so there is nothing to
  // start on its side; the record is accepted for the session's interface.
  try {
    std::string url;
    if (!NormaliseBaseUrl(hostName, url))
      return CLmError(hxerr::kInvalid, "control server URL [" + WithoutUrlCredentials(hostName) +
                                           "] is not an http or https URL");
    const std::string shown = WithoutUrlCredentials(url);
    std::string client = HeaderSafe(clientName);
    HXPlatformInfo settings = FocusedSettings();
    const Transport transport = ReadTransport(settings, timeoutSeconds, url);
    // The transfer would refuse it; refusing here keeps the promise that no
    // connection is made at all.
    if (!transport.tokenFile.empty() && !StartsWithNoCase(url, "https://"))
      return TokenOverPlainHttp(url + "/" + kFileName);

    EnsureCurlReady();
    CurlHandle curl(curl_easy_init());
    if (!curl) return CLmError(hxerr::kGeneric, "cannot create a curl handle");
    const std::string prefix = "cannot connect to control server " + shown + ": ";
    CurlOptions options(curl.get());
    SetCommonOptions(options, url + "/", "guidlookups (" + client + ")");
    Secret keyPassword;
    if (CLmError err = ApplyTransport(options, transport, keyPassword); err.IsError()) return err;
    // Connect (and, for https, handshake and verify) only: proves the server
    // is there, and trusted, without fetching anything.
    options.Set(CURLOPT_CONNECT_ONLY, 1L, "the connect-only mode");
    if (CLmError err = options.Result(prefix); err.IsError()) return err;
    CURLcode rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK)
      return CurlError(curl.get(), rc,
                       {"cannot connect to control server", shown, shown, &transport, false, ""});

    baseUrl_ = url;
    clientName_ = client;
    timeoutSeconds_ = timeoutSeconds > 0 ? timeoutSeconds : kDefaultTimeoutSeconds;
    connected_ = true;
    HXLOG(3,
          "CLmError CHxNetwork::Attach_RemoteDLL(const string&, hxsExecuteRemoteDllType*, "
          "const char*, int, bool&)",
          "Attached to control server [%s] as [%s]", shown.c_str(), client.c_str());
    return CLmError::Success();
  } catch (...) {
    return Unexpected("Attach_RemoteDLL");
  }
}

std::string CHxNetwork::GetConnectionStr() const {
  if (!connected_) return "";
  return WithoutUrlCredentials(baseUrl_) + " as " + clientName_;
}

void CHxNetwork::SetDestinationFile(const std::string& path) { destinationFile_ = path; }

void CHxNetwork::SetValidator(const std::string& etag, const std::string& lastModified) {
  ifNoneMatch_ = etag;
  ifModifiedSince_ = lastModified;
}

namespace {

// The validators and the encoding of the final answer: curl hands over the
// headers of every answer on the way (redirects, "100 Continue"), so each
// status line starts afresh.
struct HeaderSink {
  std::string etag;
  std::string lastModified;
  std::string location;
  bool encoded = false;
};

std::string Trimmed(const char* data, size_t size) {
  size_t begin = 0, end = size;
  while (begin < end && std::isspace(static_cast<unsigned char>(data[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(data[end - 1]))) --end;
  return std::string(data + begin, end - begin);
}

size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<HeaderSink*>(user);
  const size_t total = size * count;
  const std::string line = Trimmed(data, total);
  if (line.compare(0, 5, "HTTP/") == 0) {
    *sink = HeaderSink();
    return total;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return total;
  std::string name = line.substr(0, colon);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string value = Trimmed(line.data() + colon + 1, line.size() - colon - 1);
  if (name == "etag") sink->etag = value;
  else if (name == "last-modified") sink->lastModified = value;
  else if (name == "location")
    sink->location = value;
  else if (name == "content-encoding" && !value.empty() && value != "identity") sink->encoded = true;
  return total;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void Add(const std::string& header) {
    // A value with a line break would smuggle a header of its own.
    if (header.find_first_of("\r\n") != std::string::npos) return;
    if (curl_slist* grown = curl_slist_append(list, header.c_str())) list = grown;
  }
};

}  // namespace

CLmError CHxNetwork::PutFileResponse(bool /*overwrite*/, hxsFilexferRequest& request,
                                     void* /*reserved*/, int64_t timeout, bool& /*flag*/) {
  return Fetch(&request, timeout);
}

CLmError CHxNetwork::ProbeFile() { return Fetch(nullptr, -1); }

// A transfer (`request` set) or, without a request, a HEAD of the same URL
// with the same settings: one code path, so a probe proves what a transfer
// would meet.
CLmError CHxNetwork::Fetch(hxsFilexferRequest* request, int64_t timeout) {
  const bool headOnly = request == nullptr;
  try {
    if (!connected_) return CLmError(hxerr::kInvalid, "not attached to a control server");

    HXPlatformInfo settings = FocusedSettings();
    std::string destination = destinationFile_;
    if (destination.empty() && !headOnly) {
      std::string folder;
      if (!settings.getString("Base", "dMORVAXTEMPDIR", &folder) || folder.empty())
        return CLmError(hxerr::kNotFound, "setting [Base] dMORVAXTEMPDIR is missing");
      destination = folder + "/" + kFileName;
    }
    // Beside the file a link at the destination names: the link stays.
    destination = hostfs::ResolveLinks(destination);
    const std::string folder = hostfs::FolderOf(destination);
    const std::string url = baseUrl_ + "/" + kFileName;
    const std::string shown = WithoutUrlCredentials(url);
    const std::string prefix = "download of " + shown + ": ";
    const Transport transport =
        ReadTransport(settings, timeout > 0 ? static_cast<long>(timeout) : timeoutSeconds_, url);

    // Checked before any connection is made (the settings may have changed
    // since the attach).
    Secret token;
    if (!transport.tokenFile.empty()) {
      if (!StartsWithNoCase(url, "https://")) return TokenOverPlainHttp(url);
      if (CLmError err = ReadSecretFile(transport.tokenFile, kTokenFileSetting, token);
          err.IsError())
        return err;
    }

    // Transfers into one folder are serialised by the caller's machine-wide
    // lock, so what a dead process left there is no one's any more.
    TempFile temp;
    if (!headOnly) {
      RemoveStaleParts(folder);
      if (int err = temp.Create(folder))
        return FileError(err, "cannot create a temporary file in", folder);
    }

    EnsureCurlReady();
    CurlHandle curl(curl_easy_init());
    if (!curl) return CLmError(hxerr::kGeneric, "cannot create a curl handle");
    BodySink sink;
    sink.curl = curl.get();
    sink.fd = temp.fd();
    sink.limit = transport.maxBytes;
    CurlOptions options(curl.get());
    SetCommonOptions(options, url, "guidlookups (" + clientName_ + ")");
    Secret keyPassword;
    if (CLmError err = ApplyTransport(options, transport, keyPassword); err.IsError()) return err;
    options.Set(CURLOPT_FOLLOWLOCATION, 1L, "redirect following");
    options.Set(CURLOPT_MAXREDIRS, 5L, "the redirect limit");
    options.Set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(transport.maxBytes),
                "the size limit of " + Named(kMaxBytesSetting));
    if (!token.empty()) {
      // curl's own bearer support rather than a raw header: it keeps the token
      // from a host a redirect leads to, and from the proxy.
      options.Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER), "bearer authorisation");
      options.Set(CURLOPT_XOAUTH2_BEARER, token.value().c_str(),
                  "the bearer token of " + Named(kTokenFileSetting));
    }
    options.Set(CURLOPT_WRITEFUNCTION, &WriteBody, "the body writer");
    options.Set(CURLOPT_WRITEDATA, &sink, "the body writer");
    if (headOnly) options.Set(CURLOPT_NOBODY, 1L, "the HEAD request");
    // Whatever compression libcurl can undo; a static server sends the
    // database as it is unless it was told to compress it.
    options.Set(CURLOPT_ACCEPT_ENCODING, "", "compressed transfers");
    HeaderSink headers;
    options.Set(CURLOPT_HEADERFUNCTION, &ReadHeader, "the header reader");
    options.Set(CURLOPT_HEADERDATA, &headers, "the header reader");
    HeaderList conditions;
    if (!ifNoneMatch_.empty())
      conditions.Add("If-None-Match: " + ifNoneMatch_);
    else if (!ifModifiedSince_.empty())
      conditions.Add("If-Modified-Since: " + ifModifiedSince_);
    const bool conditional = conditions.list != nullptr;
    if (conditional) options.Set(CURLOPT_HTTPHEADER, conditions.list, "the conditional request");
    notModified_ = false;
    receivedETag_.clear();
    receivedLastModified_.clear();
    StallWatch watch;
    watch.limit = std::chrono::seconds(transport.timeoutSeconds);
    options.Set(CURLOPT_NOPROGRESS, 0L, "the stall watch");
    options.Set(CURLOPT_XFERINFOFUNCTION, &WatchProgress, "the stall watch");
    options.Set(CURLOPT_XFERINFODATA, &watch, "the stall watch");
    if (CLmError err = options.Result(prefix); err.IsError()) return err;

    CURLcode rc = curl_easy_perform(curl.get());
    curl_off_t announced = -1;
    curl_easy_getinfo(curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    const ErrorContext context{
        "download of", shown,          WithoutUrlCredentials(baseUrl_),
        &transport,    !token.empty(), WithoutUrlCredentials(headers.location)};
    if (rc == CURLE_WRITE_ERROR && sink.error != 0)
      return FileError(sink.error, "cannot write", temp.path());
    if ((rc == CURLE_WRITE_ERROR && sink.tooLarge) || rc == CURLE_FILESIZE_EXCEEDED)
      return CLmError(hxerr::kInvalid, prefix + "the body is larger than " +
                                           std::to_string(transport.maxBytes) +
                                           " bytes, the limit of " + Named(kMaxBytesSetting));
    if (rc == CURLE_ABORTED_BY_CALLBACK && watch.stalled) rc = CURLE_OPERATION_TIMEDOUT;
    if (rc == CURLE_PARTIAL_FILE)
      return CLmError(hxerr::kNetwork,
                      "download of " + shown + " ended early: body shorter than announced (" +
                          std::to_string(sink.written) + " of " +
                          (announced >= 0 ? std::to_string(announced) : std::string("?")) +
                          " bytes)");
    if (rc != CURLE_OK) return CurlError(curl.get(), rc, context);

    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status == 304 && conditional) {
      // The file the validator describes is still the server's: no body
      // moved, and the destination stays as it was.
      notModified_ = true;
      return CLmError::Success();
    }
    if (status != 200) return StatusError(status, sink.errorBody, context);
    if (headOnly) return CLmError::Success();
    // A compressed body is announced by its compressed length.
    if (!headers.encoded && announced >= 0 && static_cast<uint64_t>(announced) != sink.written)
      return CLmError(hxerr::kNetwork, prefix + "body shorter than announced (" +
                                           std::to_string(sink.written) + " of " +
                                           std::to_string(announced) + " bytes)");
    if (sink.written == 0) return CLmError(hxerr::kNetwork, prefix + "empty body");

    if (int err = temp.Finish()) return FileError(err, "cannot write", temp.path());
    if (int err = temp.RenameTo(destination))
      return FileError(err, "cannot rename the download to", destination);
    // Makes the rename durable; a failure only weakens durability.
    hostfs::SyncFolder(folder);

    std::strncpy(request->destinationPath, destination.c_str(),
                 sizeof(request->destinationPath) - 1);
    request->size = sink.written;
    receivedETag_ = headers.etag;
    receivedLastModified_ = headers.lastModified;
    HXLOG(3,
          "CLmError CHxNetwork::PutFileResponse(bool, hxsFilexferRequest&, void*, int64_t, "
          "bool&)",
          "Received [%s] into [%s], %llu bytes", shown.c_str(), destination.c_str(),
          static_cast<unsigned long long>(sink.written));
    return CLmError::Success();
  } catch (...) {
    return Unexpected("PutFileResponse");
  }
}

CLmError CHxNetwork::Disconnect(int /*timeoutSeconds*/, bool& /*flag*/) {
  if (connected_)
    HXLOG(3, "CLmError CHxNetwork::Disconnect(int, bool&)", "Detached from control server [%s]",
          WithoutUrlCredentials(baseUrl_).c_str());
  connected_ = false;
  baseUrl_.clear();
  clientName_.clear();
  return CLmError::Success();
}

// The user part ends at the last '@' of the text: a password may hold '/',
// '?', '#' or '@' as an operator typed it, and a host never holds '@'. A path
// or query that holds one loses its front too, which costs a message detail
// and never leaks a secret.
std::string WithoutUrlCredentials(const std::string& url) {
  const size_t start = AuthorityStart(url);
  const size_t at = url.rfind('@');
  if (at == std::string::npos || at < start) return url;
  return url.substr(0, start) + url.substr(at + 1);
}
