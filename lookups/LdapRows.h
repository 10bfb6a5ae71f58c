// Rows from a live LDAP directory (Active Directory, OpenLDAP), as a row
// source for RebuildGuidTable, with the mapping of LDIF exports.
//
// The connection is always encrypted and the server's certificate always
// verified: "ldaps://" speaks TLS from the start, "ldap://" must agree to
// StartTLS before anything else is sent; no other scheme is taken. The
// search asks for simple paged results, so that a directory with a page
// limit (Active Directory's 1,000) returns every entry, and a directory that
// stops early (a size or time limit) fails the source rather than give part
// of the table. Every request has a time-out. Referrals are not followed.
//
// Thread-safety: a reader belongs to one thread at a time.
#pragma once

#include <string>

#include "host/Export.h"
#include "lookups/DirectoryMapping.h"
#include "lookups/TableRebuild.h"

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
};

// Searches the directory under `source.baseDn` (subtree) and gives the rows
// of each entry found, by `mapping`. The connection, the bind and the first
// page come at the first call; a failure there or later (a refused
// certificate, a wrong password, a lost connection, a time-out, a limit the
// server imposes) is -1 with "<uri>: <what>" as the error. `counts`, when
// given, is kept up to date. REQUIRES: `mapping` and `counts` outlive the
// reader.
GUIDLOOKUPS_EXPORT GuidRowReader LdapRows(const SLdapSource& source,
                                          const SDirectoryMapping& mapping,
                                          SDirectoryCounts* counts = nullptr);
