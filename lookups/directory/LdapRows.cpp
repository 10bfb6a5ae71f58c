#include "lookups/directory/LdapRows.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ldap.h>
#include <netdb.h>
#include <openldap.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "host/Files.h"
#include "host/net/SecretFile.h"
#include "lookups/directory/LdapWire.h"

namespace {

using ldapwire::Clock;
using ldapwire::kCancelCheckMs;
using ldapwire::Wire;

// A password is a line, never a document.
constexpr size_t kPasswordFileLimit = 4096;

// Reads the one-line password of `path`, refusing a file that breaks the
// private-file rule. The text never reaches an error.
bool ReadPasswordFile(const std::string& path, Secret& out, std::string& error) {
  const SecretFileVerdict verdict =
      ReadSecretFile(path, kPasswordFileLimit, SecretText::kOneLine, out);
  const std::string file = "the password file " + path;
  switch (verdict.fault) {
    case SecretFileFault::kNone:
      return true;
    case SecretFileFault::kCannotRead:
      error = "cannot read " + file + " (" + hostfs::ErrnoText(verdict.error) + ")";
      break;
    case SecretFileFault::kNotAFile:
      error = file + " is not a file";
      break;
    case SecretFileFault::kOthersMayAccess:
      error = "refusing " + file + ": " + OthersMayAccessWords(verdict.mode);
      break;
    case SecretFileFault::kTooLarge:
      error = file + " is too large";
      break;
    case SecretFileFault::kEmpty:
      error = file + " is empty";
      break;
    case SecretFileFault::kNotOneLine:
      error = file + " holds more than one line";
      break;
  }
  return false;
}

bool HasScheme(const std::string& uri, const char* scheme) {
  return ::strncasecmp(uri.c_str(), scheme, std::strlen(scheme)) == 0;
}

std::string DefaultFilter(const SDirectoryMapping& mapping) {
  std::vector<std::string> attributes;
  for (const SDirectoryRule& rule : mapping.rules) {
    if (!rule.address) continue;
    bool known = false;
    for (const std::string& a : attributes)
      known = known || ::strcasecmp(a.c_str(), rule.attribute.c_str()) == 0;
    if (!known) attributes.push_back(rule.attribute);
  }
  if (attributes.empty()) return "(objectClass=*)";
  if (attributes.size() == 1) return "(" + attributes[0] + "=*)";
  std::string filter = "(|";
  for (const std::string& a : attributes) filter += "(" + a + "=*)";
  return filter + ")";
}

class LdapReader {
 public:
  LdapReader(const SLdapSource& source, const SDirectoryMapping& mapping, SDirectoryCounts* counts,
             LdapFault* fault)
      : source_(source),
        mapping_(mapping),
        mapper_(mapping),
        counts_(counts != nullptr ? counts : &ownCounts_),
        fault_(fault != nullptr ? fault : &ownFault_) {
    wire_.timeoutMs = 1000 * std::max(source_.timeoutSeconds, 1);
    wire_.cancel = source_.cancel;
  }
  ~LdapReader() {
    if (page_ != nullptr) ldap_msgfree(page_);
    ber_memfree(cookie_.bv_val);
    // The unbind is a courtesy: it waits for nothing.
    wire_.closing = true;
    if (ld_ != nullptr) ldap_unbind_ext_s(ld_, nullptr, nullptr);
    if (wire_.fd >= 0) ::close(wire_.fd);
  }
  LdapReader(const LdapReader&) = delete;
  LdapReader& operator=(const LdapReader&) = delete;

  int Next(GUIDNameInfo& row, std::string& error) {
    return NextEntryRow(rows_, nextRow_, failure_, row, error, [this] {
      if (!connected_) {
        connected_ = true;
        Connect();
      } else if (entry_ != nullptr) {
        MapEntry();
        entry_ = ldap_next_entry(ld_, entry_);
      } else {
        if (lastPage_) return false;
        FetchPage();
      }
      return true;
    });
  }

 private:
  // Checks the source's options and files, and reads the password (into
  // `password`) before any connection.
  bool CheckSource(Secret& password) {
    const std::string& uri = source_.uri;
    if (!HasScheme(uri, "ldaps://") && !HasScheme(uri, "ldap://"))
      return Fail(LdapFault::kOptions,
                  "the directory's address must start with ldaps:// or ldap:// (then StartTLS)"),
             false;
    if (source_.bindDn.empty() != source_.passwordFile.empty())
      return Fail(LdapFault::kOptions, source_.bindDn.empty() ? "a password file needs a bind DN"
                                                              : "a bind DN needs a password file"),
             false;
    if (source_.pageSize < 1 || source_.pageSize > 1000000)
      return Fail(LdapFault::kOptions, "the page size must be between 1 and 1000000"), false;
    if (!source_.caFile.empty()) {
      const int fd = ::open(source_.caFile.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        return Fail(LdapFault::kCaFile, "cannot read the CA file " + source_.caFile + " (" +
                                            hostfs::ErrnoText(errno) + ")"),
               false;
      ::close(fd);
    }
    // Read before any connection, so that a readable password never leaves.
    std::string error;
    if (!source_.passwordFile.empty() && !ReadPasswordFile(source_.passwordFile, password, error))
      return Fail(LdapFault::kPasswordFile, error), false;
    return true;
  }

  // Connects, sets up TLS (StartTLS for ldap://) and binds; a failure is
  // recorded by Fail.
  void Connect() {
    Secret password;
    if (!CheckSource(password)) return;
    const bool ldaps = HasScheme(source_.uri, "ldaps://");
    LDAPURLDesc* url = nullptr;
    const int rc = ldap_url_parse(source_.uri.c_str(), &url);
    if (rc != LDAP_URL_SUCCESS) return Fail(LdapFault::kOptions, "not a directory address");
    host_ = url->lud_host != nullptr ? url->lud_host : "";
    const int port = url->lud_port != 0 ? url->lud_port : ldaps ? 636 : 389;
    ldap_free_urldesc(url);
    if (host_.empty()) return Fail(LdapFault::kOptions, "the address names no host");
    if (OpenSocket(port) && SetUpConnection() && SecureConnection(ldaps)) Bind(password);
  }

  // Hands the socket to a libldap connection with this reader's options.
  bool SetUpConnection() {
    // From here the socket belongs to libldap's connection, whose only I/O
    // is the wire.
    int rc = ldap_init_fd(wire_.fd, LDAP_PROTO_EXT, source_.uri.c_str(), &ld_);
    Sockbuf* sockbuf = nullptr;
    if (rc != LDAP_SUCCESS ||
        ldap_get_option(ld_, LDAP_OPT_SOCKBUF, &sockbuf) != LDAP_OPT_SUCCESS ||
        ber_sockbuf_add_io(sockbuf, &ldapwire::kWireIO, LBER_SBIOD_LEVEL_PROVIDER, &wire_) != 0)
      return Fail(LdapFault::kOptions, "cannot set up the connection"), false;
    const int version = LDAP_VERSION3;
    const timeval timeout{std::max(source_.timeoutSeconds, 1), 0};
    // Certificate checks are set on this connection alone: whatever
    // ldap.conf, ~/.ldaprc or LDAPTLS_REQCERT say, the server is verified.
    const int hard = LDAP_OPT_X_TLS_HARD;
    const int tls12 = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
    const int newContext = 0;
    if (ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
        // A signal ends no wait of libldap's by itself: the cancel flag does.
        ldap_set_option(ld_, LDAP_OPT_RESTART, LDAP_OPT_ON) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &timeout) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &timeout) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_X_TLS_REQUIRE_CERT, &hard) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_X_TLS_PROTOCOL_MIN, &tls12) != LDAP_OPT_SUCCESS ||
        (!source_.caFile.empty() && ldap_set_option(ld_, LDAP_OPT_X_TLS_CACERTFILE,
                                                    source_.caFile.c_str()) != LDAP_OPT_SUCCESS))
      return Fail(LdapFault::kOptions, "cannot set up the connection"), false;
    rc = ldap_set_option(ld_, LDAP_OPT_X_TLS_NEWCTX, &newContext);
    if (rc != LDAP_OPT_SUCCESS)
      return Fail(LdapFault::kCaFile,
                  "cannot set up TLS" + (source_.caFile.empty()
                                             ? std::string()
                                             : " with the CA file " + source_.caFile),
                  rc),
             false;
    return true;
  }

  // StartTLS when the address asks for it, then the TLS handshake.
  bool SecureConnection(bool ldaps) {
    int rc = LDAP_SUCCESS;
    if (!ldaps) {
      int id = 0;
      LDAPMessage* answer = nullptr;
      rc = ldap_start_tls(ld_, nullptr, nullptr, &id);
      if (rc != LDAP_SUCCESS || !Await(id, answer, "to StartTLS")) {
        if (failure_.empty()) FailIo("StartTLS failed", rc);
        return false;
      }
      int result = LDAP_SUCCESS;
      rc = ldap_parse_result(ld_, answer, &result, nullptr, nullptr, nullptr, nullptr, 1);
      if (rc != LDAP_SUCCESS) return FailIo("StartTLS failed", rc), false;
      if (result != LDAP_SUCCESS)
        return Fail(LdapFault::kStartTls, "the server refused StartTLS", result), false;
    }
    rc = ldap_install_tls(ld_);
    if (rc != LDAP_SUCCESS) return FailTls(rc), false;
    return true;
  }

  // Binds (anonymously without a bind DN), and readies the search.
  void Bind(Secret& password) {
    berval credentials{password.value().size(), password.value().data()};
    int id = 0;
    int rc = ldap_sasl_bind(ld_, source_.bindDn.empty() ? nullptr : source_.bindDn.c_str(),
                            LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, &id);
    password.Wipe();
    const std::string bind = source_.bindDn.empty() ? std::string("the anonymous bind")
                                                    : "the bind as " + source_.bindDn;
    LDAPMessage* answer = nullptr;
    if (rc != LDAP_SUCCESS || !Await(id, answer, ("to " + bind).c_str())) {
      if (failure_.empty()) FailIo(bind + " failed", rc);
      return;
    }
    int result = LDAP_SUCCESS;
    rc = ldap_parse_result(ld_, answer, &result, nullptr, nullptr, nullptr, nullptr, 1);
    if (rc != LDAP_SUCCESS) return FailIo(bind + " failed", rc);
    if (result != LDAP_SUCCESS) return FailRefusal(bind + " was refused", result);
    attributes_ = mapping_.Attributes();
    filter_ = source_.filter.empty() ? DefaultFilter(mapping_) : source_.filter;
  }

  // Resolves host_ and connects wire_.fd to the first address that takes
  // the connection, each try bounded by the time-out.
  bool OpenSocket(int port) { return OpenSocket(wire_, port, true); }

  bool OpenSocket(Wire& wire, int port, bool report) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai = ::getaddrinfo(host_.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (gai != 0) {
      if (report)
        Fail(gai == EAI_SYSTEM ? LdapFault::kUnreachable : LdapFault::kName,
             "cannot resolve the host name " + host_ + " (" +
                 (gai == EAI_SYSTEM ? hostfs::ErrnoText(errno) : std::string(::gai_strerror(gai))) +
                 ")");
      return false;
    }
    int err = 0;
    for (addrinfo* a = found; a != nullptr && wire.fd < 0 && !wire.cancelled; a = a->ai_next) {
      wire.fd =
          ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
      if (wire.fd < 0) {
        err = errno;
        continue;
      }
      wire.timedOut = false;
      socklen_t length = sizeof err;
      if (::connect(wire.fd, a->ai_addr, a->ai_addrlen) == 0)
        err = 0;
      else if (errno != EINPROGRESS)
        err = errno;
      else if (!wire.Wait(POLLOUT))
        err = errno;
      else if (::getsockopt(wire.fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
        err = errno;
      if (err != 0) ::close(wire.fd), wire.fd = -1;
    }
    ::freeaddrinfo(found);
    if (wire.fd >= 0 || !report) return wire.fd >= 0;
    const std::string where = host_ + " port " + std::to_string(port);
    if (wire.cancelled)
      Fail(LdapFault::kCancelled, "cancelled");
    else if (wire.timedOut)
      Fail(LdapFault::kTimedOut, "no connection to " + where + " within " + Seconds());
    else if (err == ECONNREFUSED)
      Fail(LdapFault::kRefused, where + " refused the connection (no directory listens there)");
    else
      Fail(LdapFault::kUnreachable,
           "cannot connect to " + where + " (" + hostfs::ErrnoText(err) + ")");
    return false;
  }

  std::string Seconds() const {
    const int s = std::max(source_.timeoutSeconds, 1);
    return std::to_string(s) + (s == 1 ? " second" : " seconds") + " (the time-out)";
  }

  // Waits for the whole answer to the request `id`, at most the time-out,
  // looking at the cancel flag between slices. False with the failure set;
  // the request is then abandoned.
  bool Await(int id, LDAPMessage*& answer, const char* what) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wire_.timeoutMs);
    for (;;) {
      if (wire_.Cancelled()) return Fail(LdapFault::kCancelled, "cancelled"), false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        ldap_abandon_ext(ld_, id, nullptr, nullptr);
        Fail(LdapFault::kTimedOut, std::string("no answer ") + what + " within " + Seconds());
        return false;
      }
      const long slice = static_cast<long>(std::min<long long>(left, kCancelCheckMs));
      timeval wait{slice / 1000, (slice % 1000) * 1000};
      const int rc = ldap_result(ld_, id, LDAP_MSG_ALL, &wait, &answer);
      if (rc > 0) return true;
      if (rc < 0) {
        int code = LDAP_SERVER_DOWN;
        ldap_get_option(ld_, LDAP_OPT_RESULT_CODE, &code);
        FailIo(std::string("no answer ") + what, code);
        return false;
      }
    }
  }

  // One page of entries into page_; the cookie for the next one, or
  // lastPage_.
  void FetchPage() {
    if (page_ != nullptr) ldap_msgfree(page_), page_ = nullptr;
    LDAPControl* paging = nullptr;
    int rc = ldap_create_page_control(ld_, source_.pageSize, &cookie_, 1, &paging);
    if (rc != LDAP_SUCCESS) return Fail(LdapFault::kOptions, "cannot ask for paged results", rc);
    LDAPControl* controls[] = {paging, nullptr};
    std::vector<char*> attributes;
    for (std::string& a : attributes_) attributes.push_back(&a[0]);
    attributes.push_back(nullptr);
    timeval timeout{std::max(source_.timeoutSeconds, 1), 0};
    int id = 0;
    rc = ldap_search_ext(ld_, source_.baseDn.c_str(), LDAP_SCOPE_SUBTREE, filter_.c_str(),
                         attributes.data(), 0, controls, nullptr, &timeout, LDAP_NO_LIMIT, &id);
    ldap_control_free(paging);
    const std::string search = "the search under " + Base();
    if (rc != LDAP_SUCCESS || !Await(id, page_, "to the search")) {
      if (failure_.empty()) FailIo(search + " failed", rc);
      return;
    }

    LDAPMessage* done = nullptr;
    for (LDAPMessage* m = ldap_first_message(ld_, page_); m != nullptr && done == nullptr;
         m = ldap_next_message(ld_, m))
      if (ldap_msgtype(m) == LDAP_RES_SEARCH_RESULT) done = m;
    if (done == nullptr) return Fail(LdapFault::kDropped, search + " gave no result");
    int result = LDAP_SUCCESS;
    LDAPControl** returned = nullptr;
    rc = ldap_parse_result(ld_, done, &result, nullptr, nullptr, nullptr, &returned, 0);
    if (rc != LDAP_SUCCESS) return Fail(LdapFault::kDropped, "cannot read the search result", rc);
    if (result != LDAP_SUCCESS) {
      ldap_controls_free(returned);
      return FailRefusal(search + " was stopped", result);
    }
    ber_memfree(cookie_.bv_val);
    cookie_ = berval{0, nullptr};
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    ber_int_t estimate = 0;
    if (response != nullptr && (rc = ldap_parse_pageresponse_control(ld_, response, &estimate,
                                                                     &cookie_)) != LDAP_SUCCESS) {
      ldap_controls_free(returned);
      return Fail(LdapFault::kServer, "cannot read the paged results of the search", rc);
    }
    ldap_controls_free(returned);
    lastPage_ = cookie_.bv_len == 0;
    entry_ = ldap_first_entry(ld_, page_);
  }

  std::string Base() const {
    return source_.baseDn.empty() ? std::string("the root (\"\")") : source_.baseDn;
  }

  void MapEntry() {
    mapper_.Begin();
    BerElement* position = nullptr;
    for (char* name = ldap_first_attribute(ld_, entry_, &position); name != nullptr;
         name = ldap_next_attribute(ld_, entry_, position)) {
      const int slot = mapper_.Slot(name, std::strlen(name));
      if (slot >= 0) {
        berval** values = ldap_get_values_len(ld_, entry_, name);
        for (berval** v = values; v != nullptr && *v != nullptr; ++v)
          mapper_.Add(slot, (*v)->bv_val, (*v)->bv_len, 0);
        ldap_value_free_len(values);
      }
      ldap_memfree(name);
    }
    if (position != nullptr) ber_free(position, 0);
    unsigned long where = 0;
    if (const Status s = mapper_.Finish(rows_, *counts_, where); !s.ok()) {
      char* dn = ldap_get_dn(ld_, entry_);
      Fail(LdapFault::kEntry,
           "entry " + std::string(dn != nullptr ? dn : "?") + ": " + s.context());
      ldap_memfree(dn);
    }
  }

  // The connection failed under libldap (code `rc`): the wire knows whether
  // it timed out or was cancelled; otherwise the server went away.
  void FailIo(const std::string& what, int rc) {
    if (wire_.cancelled || wire_.Cancelled()) return Fail(LdapFault::kCancelled, "cancelled");
    if (wire_.timedOut || rc == LDAP_TIMEOUT)
      return Fail(LdapFault::kTimedOut, what + ": no answer within " + Seconds());
    if (rc == LDAP_SERVER_DOWN)
      return Fail(
          LdapFault::kDropped,
          what + ": the server closed the connection" +
              (counts_->entries > 0 ? " after " + std::to_string(counts_->entries) + " entries"
                                    : std::string()));
    Fail(LdapFault::kServer, what, rc);
  }

  // The TLS handshake failed: libldap's diagnostic says why (the TLS
  // library's words, or its own for a name the certificate does not hold).
  void FailTls(int rc) {
    if (wire_.cancelled || wire_.Cancelled()) return Fail(LdapFault::kCancelled, "cancelled");
    if (wire_.timedOut)
      return Fail(LdapFault::kTimedOut, "no answer to the TLS handshake within " + Seconds());
    const std::string why = Diagnostic();
    const std::string ca =
        source_.caFile.empty() ? std::string("the system's CAs") : "the CA file " + source_.caFile;
    if (why.find("hostname does not match") != std::string::npos)
      return Fail(LdapFault::kTls, "the server's certificate is not for the host name " + host_ +
                                       " (TLS: " + why + ")");
    if (why.empty() || why == "(unknown error code)") {
      // The refused connection goes first: a server may take one at a time.
      wire_.closing = true;
      ldap_unbind_ext_s(ld_, nullptr, nullptr);
      ld_ = nullptr;
      const std::string found = ExamineCertificate();
      return Fail(LdapFault::kTls,
                  "the server's certificate was refused: " +
                      (found.empty() ? "it is not signed by " + ca + ", is not for the host name " +
                                           host_ + ", or is out of its dates"
                                     : found));
    }
    Fail(LdapFault::kTls, "the TLS handshake failed (" + why + ")", rc);
  }

  // libldap does not say why it refused a certificate: a second handshake
  // that takes any certificate reads it (nothing else is sent), and the
  // reasons are found by the same checks. "" when they cannot be had.
  std::string ExamineCertificate() {
    LDAPURLDesc* url = nullptr;
    if (ldap_url_parse(source_.uri.c_str(), &url) != LDAP_URL_SUCCESS) return "";
    const bool ldaps = HasScheme(source_.uri, "ldaps://");
    const int port = url->lud_port != 0 ? url->lud_port : ldaps ? 636 : 389;
    ldap_free_urldesc(url);
    Wire probe;
    probe.timeoutMs = wire_.timeoutMs;
    probe.cancel = wire_.cancel;
    if (!OpenSocket(probe, port, false)) return "";
    LDAP* ld = nullptr;
    Sockbuf* sockbuf = nullptr;
    std::string why;
    const int version = LDAP_VERSION3;
    const int allow = LDAP_OPT_X_TLS_ALLOW;
    const int newContext = 0;
    const timeval timeout{std::max(source_.timeoutSeconds, 1), 0};
    if (ldap_init_fd(probe.fd, LDAP_PROTO_EXT, source_.uri.c_str(), &ld) == LDAP_SUCCESS &&
        ldap_get_option(ld, LDAP_OPT_SOCKBUF, &sockbuf) == LDAP_OPT_SUCCESS &&
        ber_sockbuf_add_io(sockbuf, &ldapwire::kWireIO, LBER_SBIOD_LEVEL_PROVIDER, &probe) == 0 &&
        ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS &&
        ldap_set_option(ld, LDAP_OPT_TIMEOUT, &timeout) == LDAP_OPT_SUCCESS &&
        ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &allow) == LDAP_OPT_SUCCESS &&
        ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &newContext) == LDAP_OPT_SUCCESS &&
        (ldaps ? ldap_install_tls(ld) : ldap_start_tls_s(ld, nullptr, nullptr)) == LDAP_SUCCESS) {
      berval der{0, nullptr};
      if (ldap_get_option(ld, LDAP_OPT_X_TLS_PEERCERT, &der) == LDAP_OPT_SUCCESS &&
          der.bv_val != nullptr) {
        why = ldapwire::WhyCertificateFails(der, host_, source_.caFile);
        ber_memfree(der.bv_val);
      }
    }
    probe.closing = true;
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
    if (probe.fd >= 0) ::close(probe.fd);
    return why;
  }

  // A result code of the server for the bind or the search.
  void FailRefusal(const std::string& what, int result) {
    const bool anonymous = source_.bindDn.empty();
    switch (result) {
      case LDAP_INVALID_CREDENTIALS:
        return Fail(anonymous ? LdapFault::kAnonymous : LdapFault::kCredentials,
                    what + ": the directory refused the password of " + source_.bindDn, result);
      case LDAP_SIZELIMIT_EXCEEDED:
      case LDAP_TIMELIMIT_EXCEEDED:
      case LDAP_ADMINLIMIT_EXCEEDED:
        return Fail(LdapFault::kLimit,
                    what + " by a limit of the server after " + std::to_string(counts_->entries) +
                        " entries",
                    result);
      case LDAP_OPERATIONS_ERROR:
      case LDAP_INAPPROPRIATE_AUTH:
      case LDAP_STRONG_AUTH_REQUIRED:
      case LDAP_UNWILLING_TO_PERFORM:
      case LDAP_INSUFFICIENT_ACCESS:
        if (anonymous)
          return Fail(LdapFault::kAnonymous,
                      what + ": the directory does not let an anonymous client search", result);
        break;
      default:
        break;
    }
    Fail(LdapFault::kServer, what, result);
  }

  std::string Diagnostic() const {
    std::string text;
    char* diagnostic = nullptr;
    if (ld_ != nullptr &&
        ldap_get_option(ld_, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
        diagnostic != nullptr) {
      text = diagnostic;
      ldap_memfree(diagnostic);
    }
    return text;
  }

  // Sets the reader's failure: `what`, with libldap's words for `rc` and the
  // server's own message when there is one.
  void Fail(LdapFault fault, const std::string& what, int rc = LDAP_SUCCESS) {
    *fault_ = fault;
    failure_ = source_.uri + ": " + what;
    if (rc == LDAP_SUCCESS) return;
    failure_ += ": " + std::string(ldap_err2string(rc));
    const std::string diagnostic = Diagnostic();
    // libldap's placeholder when TLS failed says nothing.
    if (!diagnostic.empty() && diagnostic != "(unknown error code)")
      failure_ += " (" + diagnostic + ")";
  }

  const SLdapSource source_;
  const SDirectoryMapping& mapping_;
  DirectoryEntryMapper mapper_;
  SDirectoryCounts ownCounts_;
  SDirectoryCounts* counts_;
  LdapFault ownFault_ = LdapFault::kNone;
  LdapFault* fault_;
  std::vector<std::string> attributes_;
  std::string filter_;
  std::string host_;
  // Declared before ld_: the connection's I/O layer points at it.
  Wire wire_;
  bool connected_ = false;
  LDAP* ld_ = nullptr;
  // The page being read, the entry of it whose rows come next, and the
  // server's cookie for the page after it.
  LDAPMessage* page_ = nullptr;
  LDAPMessage* entry_ = nullptr;
  berval cookie_{0, nullptr};
  bool lastPage_ = false;
  std::vector<GUIDNameInfo> rows_;
  size_t nextRow_ = 0;
  std::string failure_;
};

}  // namespace

GuidRowReader LdapRows(const SLdapSource& source, const SDirectoryMapping& mapping,
                       SDirectoryCounts* counts, LdapFault* fault) {
  try {
    auto reader = std::make_shared<LdapReader>(source, mapping, counts, fault);
    return [reader](GUIDNameInfo& row, std::string& error) { return reader->Next(row, error); };
  } catch (const std::exception& e) {
    const std::string error = source.uri + ": " + e.what();
    return [error](GUIDNameInfo&, std::string& out) { return out = error, -1; };
  }
}
