#include "host/net/ControlServerUrl.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "host/net/Network.h"

namespace netsession {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

bool NormaliseBaseUrl(std::string url, std::string& out) {
  const size_t schemeLength = StartsWithNoCase(url, "http://")    ? 7
                              : StartsWithNoCase(url, "https://") ? 8
                                                                  : 0;
  if (schemeLength == 0) return false;
  for (unsigned char c : url)
    if (c <= 0x20 || c == 0x7f) return false;
  while (url.size() > schemeLength && url.back() == '/') url.pop_back();
  if (url.size() == schemeLength || url[schemeLength] == '/') return false;
  out = url;
  return true;
}

namespace {

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

}  // namespace

std::string HostOf(const std::string& url) {
  const std::string authority = AuthorityOf(url);
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    return authority.substr(1, close == std::string::npos ? close : close - 1);
  }
  return authority.substr(0, authority.find(':'));
}

std::string PortOf(const std::string& url) {
  const std::string authority = AuthorityOf(url);
  const size_t close = authority[0] == '[' ? authority.find(']') : 0;
  const size_t colon = authority.find(':', close == std::string::npos ? 0 : close);
  if (colon != std::string::npos && colon + 1 < authority.size())
    return authority.substr(colon + 1);
  return StartsWithNoCase(url, "https://") ? "443" : "80";
}

bool UserPartNeedsEncoding(const std::string& url) {
  const size_t start = AuthorityStart(url);
  const size_t at = url.rfind('@');
  if (at == std::string::npos || at < start) return false;
  return url.substr(start, at - start).find_first_of("/?#@") != std::string::npos;
}

}  // namespace netsession

// The user part ends at the last '@' of the text: a password may hold '/',
// '?', '#' or '@' as an operator typed it, and a host never holds '@'. A path
// or query that holds one loses its front too, which costs a message detail
// and never leaks a secret.
std::string WithoutUrlCredentials(const std::string& url) {
  const size_t start = netsession::AuthorityStart(url);
  const size_t at = url.rfind('@');
  if (at == std::string::npos || at < start) return url;
  return url.substr(0, start) + url.substr(at + 1);
}
