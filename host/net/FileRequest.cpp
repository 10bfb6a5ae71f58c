#include "host/net/FileRequest.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "host/Files.h"
#include "host/net/ControlServerUrl.h"
#include "host/net/Network.h"

namespace netsession {
namespace {

// Error bodies are kept only to tell an operator what the server said.
constexpr size_t kErrorBodyLimit = 4096;

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
  if (!hostfs::WriteAll(sink->fd, data, total)) {
    sink->error = errno;
    return 0;
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
  if (name == "etag")
    sink->etag = value;
  else if (name == "last-modified")
    sink->lastModified = value;
  else if (name == "location")
    sink->location = value;
  else if (name == "content-encoding" && !value.empty() && value != "identity")
    sink->encoded = true;
  return total;
}

}  // namespace

void HeaderList::Add(const std::string& header) {
  // A value with a line break would smuggle a header of its own.
  if (header.find_first_of("\r\n") != std::string::npos) return;
  if (curl_slist* grown = curl_slist_append(list, header.c_str())) list = grown;
}

FileRequest::FileRequest(const std::string& baseUrl, const std::string& clientName,
                         const std::string& remoteFile)
    : baseUrl_(baseUrl),
      url_(baseUrl + "/" + remoteFile),
      shown_(WithoutUrlCredentials(url_)),
      prefix_("download of " + shown_ + ": "),
      userAgent_("guidlookups (" + clientName + ")") {}

CLmError FileRequest::Start(HXPlatformInfo& settings, long timeoutSeconds) {
  transport_ = ReadTransport(settings, timeoutSeconds, url_);
  if (transport_.tokenFile.empty()) return CLmError::Success();
  if (!StartsWithNoCase(url_, "https://")) return TokenOverPlainHttp(url_);
  return ReadSecretSetting(transport_.tokenFile, kTokenFileSetting, token_);
}

CLmError FileRequest::Configure(int bodyFd, bool headOnly, const std::string& etag,
                                const std::string& lastModified) {
  EnsureCurlReady();
  curl_.reset(curl_easy_init());
  if (!curl_) return CLmError(hxerr::kGeneric, "cannot create a curl handle");
  body_.curl = curl_.get();
  body_.fd = bodyFd;
  body_.limit = transport_.maxBytes;
  CurlOptions options(curl_.get());
  SetCommonOptions(options, url_, userAgent_);
  if (CLmError err = ApplyTransport(options, transport_, keyPassword_); err.IsError()) return err;
  options.Set(CURLOPT_FOLLOWLOCATION, 1L, "redirect following");
  options.Set(CURLOPT_MAXREDIRS, 5L, "the redirect limit");
  options.Set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(transport_.maxBytes),
              "the size limit of " + Named(kMaxBytesSetting));
  if (!token_.empty()) {
    // curl's own bearer support rather than a raw header: it keeps the token
    // from a host a redirect leads to, and from the proxy.
    options.Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BEARER), "bearer authorisation");
    options.Set(CURLOPT_XOAUTH2_BEARER, token_.value().c_str(),
                "the bearer token of " + Named(kTokenFileSetting));
  }
  options.Set(CURLOPT_WRITEFUNCTION, &WriteBody, "the body writer");
  options.Set(CURLOPT_WRITEDATA, &body_, "the body writer");
  if (headOnly) options.Set(CURLOPT_NOBODY, 1L, "the HEAD request");
  // Whatever compression libcurl can undo; a static server sends the
  // database as it is unless it was told to compress it.
  options.Set(CURLOPT_ACCEPT_ENCODING, "", "compressed transfers");
  options.Set(CURLOPT_HEADERFUNCTION, &ReadHeader, "the header reader");
  options.Set(CURLOPT_HEADERDATA, &headers_, "the header reader");
  if (!etag.empty())
    conditions_.Add("If-None-Match: " + etag);
  else if (!lastModified.empty())
    conditions_.Add("If-Modified-Since: " + lastModified);
  if (conditions_.list)
    options.Set(CURLOPT_HTTPHEADER, conditions_.list, "the conditional request");
  watch_.limit = std::chrono::seconds(transport_.timeoutSeconds);
  options.Set(CURLOPT_NOPROGRESS, 0L, "the stall watch");
  options.Set(CURLOPT_XFERINFOFUNCTION, &WatchProgress, "the stall watch");
  options.Set(CURLOPT_XFERINFODATA, &watch_, "the stall watch");
  return options.Result(prefix_);
}

CLmError FileRequest::Perform(const std::string& partPath, bool& notModified) {
  CURLcode rc = curl_easy_perform(curl_.get());
  curl_easy_getinfo(curl_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced_);
  curl_off_t received = 0;
  if (curl_easy_getinfo(curl_.get(), CURLINFO_SIZE_DOWNLOAD_T, &received) == CURLE_OK)
    received_ = static_cast<uint64_t>(received);
  if (rc == CURLE_WRITE_ERROR && body_.error != 0)
    return FileError(body_.error, "cannot write", partPath);
  if ((rc == CURLE_WRITE_ERROR && body_.tooLarge) || rc == CURLE_FILESIZE_EXCEEDED)
    return CLmError(hxerr::kInvalid, prefix_ + "the body is larger than " +
                                         std::to_string(transport_.maxBytes) +
                                         " bytes, the limit of " + Named(kMaxBytesSetting));
  if (rc == CURLE_ABORTED_BY_CALLBACK && watch_.stalled) rc = CURLE_OPERATION_TIMEDOUT;
  if (rc == CURLE_PARTIAL_FILE)
    return CLmError(hxerr::kNetwork,
                    "download of " + shown_ + " ended early: body shorter than announced (" +
                        std::to_string(body_.written) + " of " +
                        (announced_ >= 0 ? std::to_string(announced_) : std::string("?")) +
                        " bytes)");
  if (rc != CURLE_OK) return TransferFailure(FactsOf(curl_.get(), rc), Context());

  long status = 0;
  curl_easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status == 304 && conditions_.list) {
    // The file the validator describes is still the server's: no body
    // moved, and the destination stays as it was.
    notModified = true;
    return CLmError::Success();
  }
  return status == 200 ? CLmError::Success() : StatusFailure(status, body_.errorBody, Context());
}

CLmError FileRequest::CheckBodyWhole() const {
  if (!headers_.encoded && announced_ >= 0 && static_cast<uint64_t>(announced_) != body_.written)
    return CLmError(hxerr::kNetwork, prefix_ + "body shorter than announced (" +
                                         std::to_string(body_.written) + " of " +
                                         std::to_string(announced_) + " bytes)");
  if (body_.written == 0) return CLmError(hxerr::kNetwork, prefix_ + "empty body");
  return CLmError::Success();
}

ErrorContext FileRequest::Context() const {
  return {"download of", shown_,          WithoutUrlCredentials(baseUrl_),
          &transport_,   !token_.empty(), WithoutUrlCredentials(headers_.location)};
}

}  // namespace netsession
