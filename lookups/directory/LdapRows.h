// Rows from a live LDAP directory (Active Directory, OpenLDAP), as a row
// source for RebuildGuidTable, with the mapping of LDIF exports.
//
// The connection is always encrypted and the server's certificate always
// verified: "ldaps://" speaks TLS from the start, "ldap://" must agree to
// StartTLS before anything else is sent; no other scheme is taken. The
// search asks for simple paged results, so that a directory with a page
// limit (Active Directory's 1,000) returns every entry, and a directory that
// stops early (a size or time limit) fails the source rather than give part
// of the table. Referrals are not followed.
//
// Every wait on the network (the connection, the TLS handshake, each read
// and write, each answer) ends within the time-out and sleeps in poll()
// while it waits; the reader connects the socket itself and hands it to
// libldap, whose I/O then goes through the reader's own layer. No write of
// the reader raises SIGPIPE (a server that closes the connection is a
// failure of the source, never a signal to the caller's process), and no
// thread is started. The host name is resolved by getaddrinfo(), which the
// time-out does not bound.
//
// Thread-safety: a reader belongs to one thread at a time.
#pragma once

#include <atomic>
#include <string>

#include "host/Export.h"
#include "lookups/directory/DirectoryMapping.h"
#include "lookups/refresh/TableRebuild.h"

struct GUIDLOOKUPS_EXPORT SLdapSource {
  // "ldaps://host[:port]" or "ldap://host[:port]" (then StartTLS).
  std::string uri;
  std::string baseDn;
  // "": the entries that hold an attribute of an address rule.
  std::string filter;
  // "": an anonymous search. Else the password is the one line of
  // `passwordFile`, which its owner alone may read (it is refused
  // otherwise); no password is ever taken from or put into a text.
  std::string bindDn;
  std::string passwordFile;
  // The certificate authorities that vouch for the server; "": the
  // system's.
  std::string caFile;
  int pageSize = 1000;
  // For the connection and for each request; at least 1.
  int timeoutSeconds = 60;
  // Checked while the reader waits on the directory; once true the wait
  // ends (within a quarter of a second) and the source fails with
  // LdapFault::kCancelled. May be set from a signal handler.
  const std::atomic<bool>* cancel = nullptr;
};

// Why a live directory failed, for a caller that words its own advice (the
// error text of the reader already says what happened).
enum class LdapFault {
  kNone,
  kOptions,       // the address, the page size, a bind DN without a password file...
  kCaFile,        // the CA file cannot be read; no connection was tried
  kPasswordFile,  // the password file cannot be read or others may read it
  kName,          // the host name does not resolve
  kRefused,       // nothing listens on the port
  kUnreachable,   // no route, or the connection failed otherwise
  kTimedOut,      // no answer within timeoutSeconds
  kTls,           // the TLS handshake failed (a certificate refused, not TLS...)
  kStartTls,      // the server refused StartTLS
  kCredentials,   // the bind DN's password was refused
  kAnonymous,     // the directory refuses an anonymous bind or search
  kLimit,         // a size, time or administrative limit of the server
  kDropped,       // the connection closed before the search ended
  kServer,        // another refusal of the server (a base that does not exist...)
  kEntry,         // an entry that cannot be mapped (a GUID of the wrong form...)
  kCancelled,     // the cancel flag was set
};

// Searches the directory under `source.baseDn` (subtree) and gives the rows
// of each entry found, by `mapping`. The connection, the bind and the first
// page come at the first call; a failure there or later (a refused
// certificate, a wrong password, a lost connection, a time-out, a limit the
// server imposes) is -1 with "<uri>: <what>" as the error. `counts`, when
// given, is kept up to date; `fault`, when given, is set with the failure.
// REQUIRES: `mapping`, `counts`, `fault` and `source.cancel` outlive the
// reader.
GUIDLOOKUPS_EXPORT GuidRowReader LdapRows(const SLdapSource& source,
                                          const SDirectoryMapping& mapping,
                                          SDirectoryCounts* counts = nullptr,
                                          LdapFault* fault = nullptr);
