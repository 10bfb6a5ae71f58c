#include "host/net/Network.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "host/Files.h"
#include "host/HostConfig.h"
#include "host/LogWriter.h"
#include "host/Settings.h"
#include "host/StagedFile.h"
#include "host/net/ControlServerUrl.h"
#include "host/net/FileRequest.h"
#include "host/net/SecretFile.h"
#include "host/net/TransferFailure.h"
#include "host/net/TransportOptions.h"

// The control server is reached over plain HTTP(S): the attach proves that it
// accepts connections (and, for https, completes a verified TLS handshake),
// the probe is one HEAD and the transfer one GET of "<base URL>/GUIDDB.DAT",
// both made by one FileRequest so that a probe proves what a transfer would
// meet. Every call uses its own curl handle and closes it before returning,
// so a session object holds no connection, descriptor or file between calls
// and the caller may destroy it on any path. Every setting is read again at
// each call.

using netsession::ApplyTransport;
using netsession::CurlHandle;
using netsession::CurlOptions;
using netsession::EnsureCurlReady;
using netsession::FactsOf;
using netsession::FileError;
using netsession::FileRequest;
using netsession::kDefaultTimeoutSeconds;
using netsession::kFileName;
using netsession::kSection;
using netsession::kTempDirSetting;
using netsession::kUrlSetting;
using netsession::Named;
using netsession::NormaliseBaseUrl;
using netsession::ReadTransport;
using netsession::SetCommonOptions;
using netsession::StartsWithNoCase;
using netsession::TokenOverPlainHttp;
using netsession::TransferFailure;
using netsession::Transport;

namespace {

std::atomic<int> g_liveObjects{0};

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

// Our partial downloads: ".GUIDDB.DAT.part-<pid>-<random>" beside the
// destination, renamed over it only when whole. The hidden name keeps them out
// of an operator's way; the pid tells a later transfer whether the writer is
// still alive. Older builds wrote "GUIDDB.DAT.part-<random>".
constexpr const char* kPartPrefix = ".GUIDDB.DAT.part-";
constexpr const char* kLegacyPartPrefix = "GUIDDB.DAT.part-";

// Removes the part files of transfers whose process has ended (killed
// mid-body, say); they would otherwise pile up in the folder forever.
void RemoveStaleParts(const std::string& folder) {
  for (const char* prefix : {kPartPrefix, kLegacyPartPrefix})
    for (const std::string& path :
         hostfs::RemoveLeftovers(folder, prefix, hostfs::Leftovers::kWriterGone))
      HXLOG(2, "void RemoveStaleParts(const string&)",
            "Removed partial download [%s] of a transfer that ended", path.c_str());
}

CLmError Unexpected(const char* what) {
  return CLmError(hxerr::kGeneric, std::string("unexpected failure in ") + what);
}

}  // namespace

int HXClient::getNetworkHostnameMangled(std::string& hostName, void* /*reserved*/) {
  try {
    HXPlatformInfo settings = FocusedSettings();
    std::string configured;
    if (!settings.getString(kSection, kUrlSetting, &configured) || configured.empty()) {
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

// The members' initialisers zero every field.
hxsExecuteRemoteDllType::hxsExecuteRemoteDllType() = default;
hxsFilexferRequest::hxsFilexferRequest() = default;

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
      return TransferFailure(FactsOf(curl.get(), rc), {"cannot connect to control server", shown,
                                                       shown, &transport, false, ""});

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

std::string CHxNetwork::RemoteFile() const {
  return remoteFile_.empty() ? std::string(kFileName) : remoteFile_;
}

void CHxNetwork::SetValidator(const std::string& etag, const std::string& lastModified) {
  ifNoneMatch_ = etag;
  ifModifiedSince_ = lastModified;
}

CLmError CHxNetwork::PutFileResponse(bool /*overwrite*/, hxsFilexferRequest& request,
                                     void* /*reserved*/, int64_t timeout, bool& /*flag*/) {
  try {
    if (!connected_) return CLmError(hxerr::kInvalid, "not attached to a control server");
    ForgetReceived();
    HXPlatformInfo settings = FocusedSettings();
    std::string destination = destinationFile_;
    if (destination.empty()) {
      std::string folder;
      if (!settings.getString(kSection, kTempDirSetting, &folder) || folder.empty())
        return CLmError(hxerr::kNotFound, "setting " + Named(kTempDirSetting) + " is missing");
      destination = folder + "/" + RemoteFile().substr(RemoteFile().rfind('/') + 1);
    }
    // Beside the file a link at the destination names: the link stays.
    destination = hostfs::ResolveLinks(destination);
    const std::string folder = hostfs::FolderOf(destination);
    FileRequest exchange(baseUrl_, clientName_, RemoteFile());
    // Checked before any connection is made (the settings may have changed
    // since the attach).
    CLmError err =
        exchange.Start(settings, timeout > 0 ? static_cast<long>(timeout) : timeoutSeconds_);
    if (err.IsError()) return err;

    // Transfers into one folder are serialised by the caller's machine-wide
    // lock, so what a dead process left there is no one's any more.
    RemoveStaleParts(folder);
    hostfs::StagedFileOptions part;
    part.prefix = kPartPrefix;
    part.withPid = true;
    // The database is read by every agent of the machine.
    part.finalMode = 0644;
    hostfs::StagedFile temp;
    if (Status s = temp.Create(folder, part); !s.ok())
      return FileError(s.sysError(), "cannot create a temporary file in", folder);
    err = exchange.Configure(temp.fd(), false, ifNoneMatch_, ifModifiedSince_);
    if (!err.IsError()) err = exchange.Perform(temp.path(), notModified_);
    if (err.IsError() || notModified_) return err;
    if (err = exchange.CheckBodyWhole(); err.IsError()) return err;

    // A full disk may show only at the flush.
    if (Status s = temp.Flush(); !s.ok())
      return FileError(s.sysError(), "cannot write", temp.path());
    // The destination's links were resolved above; the folder is flushed
    // with the rename.
    if (Status s = temp.Install(destination, false); !s.ok())
      return FileError(s.sysError(), "cannot rename the download to", destination);

    std::strncpy(request.destinationPath, destination.c_str(), sizeof(request.destinationPath) - 1);
    request.size = exchange.written();
    receivedBytes_ = exchange.received();
    receivedETag_ = exchange.headers().etag;
    receivedLastModified_ = exchange.headers().lastModified;
    HXLOG(3,
          "CLmError CHxNetwork::PutFileResponse(bool, hxsFilexferRequest&, void*, int64_t, "
          "bool&)",
          "Received [%s] into [%s], %llu bytes", exchange.shown().c_str(), destination.c_str(),
          static_cast<unsigned long long>(exchange.written()));
    return CLmError::Success();
  } catch (...) {
    return Unexpected("PutFileResponse");
  }
}

// The same request as the transfer's, with HEAD: what it meets (certificates,
// token, proxy, redirects, the status) is what a transfer would meet.
CLmError CHxNetwork::ProbeFile() {
  try {
    if (!connected_) return CLmError(hxerr::kInvalid, "not attached to a control server");
    ForgetReceived();
    HXPlatformInfo settings = FocusedSettings();
    FileRequest exchange(baseUrl_, clientName_, RemoteFile());
    CLmError err = exchange.Start(settings, timeoutSeconds_);
    if (!err.IsError()) err = exchange.Configure(-1, true, ifNoneMatch_, ifModifiedSince_);
    if (!err.IsError()) err = exchange.Perform("", notModified_);
    return err;
  } catch (...) {
    return Unexpected("ProbeFile");
  }
}

void CHxNetwork::ForgetReceived() {
  notModified_ = false;
  receivedBytes_ = 0;
  receivedETag_.clear();
  receivedLastModified_.clear();
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
