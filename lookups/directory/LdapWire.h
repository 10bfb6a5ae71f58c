// The directory reader's transport: the socket under libldap, whose reads and
// writes wait at most the time-out and give up when the cancel flag is set,
// and the words for a server certificate that fails verification. Internal
// to the directory reader (LdapRows.cpp). A Wire belongs to one connection
// and is used by one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

// libldap's types, kept out of this header as <ldap.h> is kept out of every
// header of the library.
struct sockbuf_io;
struct berval;

namespace ldapwire {

// How often a wait looks at the cancel flag: a signal that lands just
// before a poll() does not interrupt it.
constexpr int kCancelCheckMs = 250;

using Clock = std::chrono::steady_clock;

// The socket under libldap: every read and write waits in poll() for at
// most the time-out (looking at the cancel flag between slices), and never
// raises SIGPIPE. It is libldap's only way to the network (LDAP_PROTO_EXT),
// under TLS as below it.
struct Wire {
  int fd = -1;
  int timeoutMs = 1000;
  const std::atomic<bool>* cancel = nullptr;
  // Set by the wait that ended the connection's I/O.
  bool timedOut = false;
  bool cancelled = false;
  // Once true (the reader is closing), a wait gives up at once.
  bool closing = false;

  bool Cancelled() const { return cancel != nullptr && cancel->load(); }

  // Waits for `events` on fd; false with errno set when the time-out
  // passes, the flag is set or poll() fails.
  bool Wait(short events);
};

// libldap's I/O through a Wire: its sockbuf takes the Wire as its argument.
extern ::sockbuf_io kWireIO;

// Why the certificate `der` (the server's, as a handshake that took any
// certificate read it) fails verification for `host` against `caFile` (""
// for the system's CAs): each reason, or "" when none is found.
std::string WhyCertificateFails(const berval& der, const std::string& host,
                                const std::string& caFile);

}  // namespace ldapwire
