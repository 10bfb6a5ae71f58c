#include "host/Network.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "host/LogWriter.h"
#include "host/Settings.h"

// The control server is reached over plain HTTP(S): the attach proves that it
// accepts connections, the transfer is one GET of "<base URL>/GUIDDB.DAT".
// Every call uses its own curl handle and closes it before returning, so a
// session object holds no connection, descriptor or file between calls and
// the caller may destroy it on any path.

namespace {

constexpr const char* kFileName = "GUIDDB.DAT";
constexpr int kDefaultTimeoutSeconds = 120;
constexpr const char* kAllowedProtocols = "http,https";

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

// The client name as it may appear in an HTTP header.
std::string HeaderSafe(const char* text) {
  std::string out;
  for (const char* p = text ? text : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c < 0x7f) out += static_cast<char>(c);
  }
  return out;
}

bool IsNoSpaceErrno(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

CLmError FileError(int err, const std::string& what, const std::string& path) {
  return CLmError(IsNoSpaceErrno(err) ? hxerr::kNoSpace : hxerr::kIo,
                  what + " " + path + ": " + std::strerror(err));
}

// Options common to the attach and the transfer: allowed schemes, time-outs,
// no signals (we run in the caller's threads), the client's identity.
void SetCommonOptions(CURL* curl, const std::string& url, long timeoutSeconds,
                      const std::string& userAgent, char* errorBuffer) {
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
}

// Turns a failed curl_easy_perform into an error that names the URL and the
// cause in words an operator can act on, with curl's own detail after it.
CLmError CurlError(CURL* curl, CURLcode rc, const char* errorBuffer, const std::string& what,
                   const std::string& url, long timeoutSeconds) {
  std::string detail = errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(rc);
  std::string prefix = what + " " + url + ": ";
  switch (rc) {
    case CURLE_COULDNT_CONNECT: {
      long osErrno = 0;
      curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
      std::string cause =
          osErrno == ECONNREFUSED || osErrno == 0
              ? std::string("connection refused")
              : std::string("cannot connect: ") + std::strerror(static_cast<int>(osErrno));
      return CLmError(hxerr::kNetwork, prefix + cause + " (" + detail + ")");
    }
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return CLmError(hxerr::kNetwork, prefix + "could not resolve host (" + detail + ")");
    case CURLE_OPERATION_TIMEDOUT:
      return CLmError(hxerr::kTimeout, prefix + "timed out after " +
                                           std::to_string(timeoutSeconds) + " seconds (" + detail +
                                           ")");
    case CURLE_HTTP_RETURNED_ERROR: {
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      return CLmError(hxerr::kHttp, prefix + "HTTP " + std::to_string(status));
    }
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return CLmError(hxerr::kInvalid, prefix + "unusable URL (" + detail + ")");
    default:
      return CLmError(hxerr::kNetwork, prefix + detail);
  }
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
    std::string pattern = folder + "/" + kFileName + ".part-XXXXXX";
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

// Receives the body and writes it to the temporary file. A failed write stops
// the transfer (curl sees fewer bytes taken than offered) and keeps errno.
struct BodySink {
  int fd = -1;
  uint64_t written = 0;
  int error = 0;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  size_t total = size * count;
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
  sink->written += total;
  return total;
}

// Makes a rename durable; a failure only weakens durability, never the file.
void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
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
      const char* env = std::getenv("GUIDLOOKUPS_CONTROL_SERVER");
      configured = env ? env : "";
    }
    std::string url;
    if (!NormaliseBaseUrl(configured, url)) {
      HXLOG(3, "int HXClient::getNetworkHostnameMangled(std::string&, void*)",
            "No usable control server URL configured: [%s]", configured.c_str());
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
      return CLmError(hxerr::kInvalid,
                      "control server URL [" + hostName + "] is not an http or https URL");
    long timeout = timeoutSeconds > 0 ? timeoutSeconds : kDefaultTimeoutSeconds;
    std::string client = HeaderSafe(clientName);

    EnsureCurlReady();
    CurlHandle curl(curl_easy_init());
    if (!curl) return CLmError(hxerr::kGeneric, "cannot create a curl handle");
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    SetCommonOptions(curl.get(), url + "/", timeout, "guidlookups (" + client + ")", errorBuffer);
    // Connect (and, for https, handshake) only: proves the server is there
    // without fetching anything.
    curl_easy_setopt(curl.get(), CURLOPT_CONNECT_ONLY, 1L);
    CURLcode rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK)
      return CurlError(curl.get(), rc, errorBuffer, "cannot connect to control server", url,
                       timeout);

    baseUrl_ = url;
    clientName_ = client;
    timeoutSeconds_ = static_cast<int>(timeout);
    connected_ = true;
    HXLOG(3,
          "CLmError CHxNetwork::Attach_RemoteDLL(const string&, hxsExecuteRemoteDllType*, "
          "const char*, int, bool&)",
          "Attached to control server [%s] as [%s]", url.c_str(), client.c_str());
    return CLmError::Success();
  } catch (...) {
    return Unexpected("Attach_RemoteDLL");
  }
}

std::string CHxNetwork::GetConnectionStr() const {
  if (!connected_) return "";
  return baseUrl_ + " as " + clientName_;
}

CLmError CHxNetwork::PutFileResponse(bool /*overwrite*/, hxsFilexferRequest& request,
                                     void* /*reserved*/, int64_t timeout, bool& /*flag*/) {
  try {
    if (!connected_) return CLmError(hxerr::kInvalid, "not attached to a control server");

    HXPlatformInfo settings = FocusedSettings();
    std::string folder;
    if (!settings.getString("Base", "dMORVAXTEMPDIR", &folder) || folder.empty())
      return CLmError(hxerr::kNotFound, "setting [Base] dMORVAXTEMPDIR is missing");
    unsigned long configured = 0;
    long transferTimeout = timeoutSeconds_;
    if (settings.getNumber("Base", "nControlServerTimeout", &configured) && configured > 0)
      transferTimeout = static_cast<long>(configured);
    if (timeout > 0) transferTimeout = static_cast<long>(timeout);

    const std::string url = baseUrl_ + "/" + kFileName;
    const std::string destination = folder + "/" + kFileName;

    TempFile temp;
    if (int err = temp.Create(folder))
      return FileError(err, "cannot create a temporary file in", folder);

    EnsureCurlReady();
    CurlHandle curl(curl_easy_init());
    if (!curl) return CLmError(hxerr::kGeneric, "cannot create a curl handle");
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    BodySink sink;
    sink.fd = temp.fd();
    SetCommonOptions(curl.get(), url, transferTimeout, "guidlookups (" + clientName_ + ")",
                     errorBuffer);
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
    // A server that stalls mid-body is given up after the same time-out, even
    // before the overall limit would end the transfer.
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, transferTimeout);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);

    CURLcode rc = curl_easy_perform(curl.get());
    curl_off_t announced = -1;
    curl_easy_getinfo(curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (rc == CURLE_WRITE_ERROR && sink.error != 0)
      return FileError(sink.error, "cannot write", temp.path());
    if (rc == CURLE_PARTIAL_FILE)
      return CLmError(hxerr::kNetwork,
                      "download of " + url + " ended early: body shorter than announced (" +
                          std::to_string(sink.written) + " of " +
                          (announced >= 0 ? std::to_string(announced) : std::string("?")) +
                          " bytes)");
    if (rc != CURLE_OK)
      return CurlError(curl.get(), rc, errorBuffer, "download of", url, transferTimeout);

    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
      return CLmError(hxerr::kHttp, "download of " + url + ": HTTP " + std::to_string(status));
    if (announced >= 0 && static_cast<uint64_t>(announced) != sink.written)
      return CLmError(hxerr::kNetwork, "download of " + url + ": body shorter than announced (" +
                                           std::to_string(sink.written) + " of " +
                                           std::to_string(announced) + " bytes)");
    if (sink.written == 0) return CLmError(hxerr::kNetwork, "download of " + url + ": empty body");

    if (int err = temp.Finish()) return FileError(err, "cannot write", temp.path());
    if (int err = temp.RenameTo(destination))
      return FileError(err, "cannot rename the download to", destination);
    SyncFolder(folder);

    std::strncpy(request.destinationPath, destination.c_str(), sizeof(request.destinationPath) - 1);
    request.size = sink.written;
    HXLOG(3,
          "CLmError CHxNetwork::PutFileResponse(bool, hxsFilexferRequest&, void*, int64_t, "
          "bool&)",
          "Received [%s] into [%s], %llu bytes", url.c_str(), destination.c_str(),
          static_cast<unsigned long long>(sink.written));
    return CLmError::Success();
  } catch (...) {
    return Unexpected("PutFileResponse");
  }
}

CLmError CHxNetwork::Disconnect(int /*timeoutSeconds*/, bool& /*flag*/) {
  if (connected_)
    HXLOG(3, "CLmError CHxNetwork::Disconnect(int, bool&)", "Detached from control server [%s]",
          baseUrl_.c_str());
  connected_ = false;
  baseUrl_.clear();
  clientName_.clear();
  return CLmError::Success();
}
