// How the network session reads a control server URL (and a proxy URL) for
// its checks and its messages. Internal to the library: never installed.
//
// Thread-safety: pure functions of their arguments.
#pragma once

#include <string>

namespace netsession {

bool StartsWithNoCase(const std::string& s, const char* prefix);

// A usable base URL into `out`: http:// or https:// followed by a host, no
// blanks or control characters, trailing '/' removed so that "/GUIDDB.DAT"
// can be appended. False (and `out` untouched) otherwise.
bool NormaliseBaseUrl(std::string url, std::string& out);

// The host part of an http(s) URL (no user, port or path), for messages.
std::string HostOf(const std::string& url);

// The port an http(s) URL connects to, written or the scheme's.
std::string PortOf(const std::string& url);

// Whether the user part of a URL as written holds a character that ends it
// for a URL parser ('/', '?', '#', or an '@' before the last): libcurl then
// cannot read the URL at all.
bool UserPartNeedsEncoding(const std::string& url);

}  // namespace netsession
