#include "lookups/LdapRows.h"

#include <ldap.h>
#include <strings.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "host/Files.h"
#include "host/SecretFile.h"

namespace {

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
  LdapReader(const SLdapSource& source, const SDirectoryMapping& mapping, SDirectoryCounts* counts)
      : source_(source),
        mapping_(mapping),
        mapper_(mapping),
        counts_(counts != nullptr ? counts : &ownCounts_) {}
  ~LdapReader() {
    if (page_ != nullptr) ldap_msgfree(page_);
    ber_memfree(cookie_.bv_val);
    if (ld_ != nullptr) ldap_unbind_ext_s(ld_, nullptr, nullptr);
  }
  LdapReader(const LdapReader&) = delete;
  LdapReader& operator=(const LdapReader&) = delete;

  int Next(GUIDNameInfo& row, std::string& error) {
    return NextEntryRow(rows_, nextRow_, failure_, row, error, [this] {
      if (ld_ == nullptr) {
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
  void Connect() {
    const std::string& uri = source_.uri;
    const bool ldaps = HasScheme(uri, "ldaps://");
    if (!ldaps && !HasScheme(uri, "ldap://"))
      return Fail("the directory's address must start with ldaps:// or ldap:// (then StartTLS)");
    if (source_.bindDn.empty() != source_.passwordFile.empty())
      return Fail(source_.bindDn.empty() ? "a password file needs a bind DN"
                                         : "a bind DN needs a password file");
    if (source_.pageSize < 1 || source_.pageSize > 1000000)
      return Fail("the page size must be between 1 and 1000000");
    // Read before any connection, so that a readable password never leaves.
    Secret password;
    std::string error;
    if (!source_.passwordFile.empty() && !ReadPasswordFile(source_.passwordFile, password, error))
      return Fail(error);

    int rc = ldap_initialize(&ld_, uri.c_str());
    if (rc != LDAP_SUCCESS) return Fail("not a directory address", rc);
    const int version = LDAP_VERSION3;
    const timeval timeout{source_.timeoutSeconds > 0 ? source_.timeoutSeconds : 1, 0};
    // Certificate checks are set on this connection alone: whatever
    // ldap.conf, ~/.ldaprc or LDAPTLS_REQCERT say, the server is verified.
    const int hard = LDAP_OPT_X_TLS_HARD;
    const int tls12 = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
    const int newContext = 0;
    if (ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &timeout) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &timeout) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_X_TLS_REQUIRE_CERT, &hard) != LDAP_OPT_SUCCESS ||
        ldap_set_option(ld_, LDAP_OPT_X_TLS_PROTOCOL_MIN, &tls12) != LDAP_OPT_SUCCESS ||
        (!source_.caFile.empty() && ldap_set_option(ld_, LDAP_OPT_X_TLS_CACERTFILE,
                                                    source_.caFile.c_str()) != LDAP_OPT_SUCCESS))
      return Fail("cannot set up the connection");
    rc = ldap_set_option(ld_, LDAP_OPT_X_TLS_NEWCTX, &newContext);
    if (rc != LDAP_OPT_SUCCESS)
      return Fail(
          "cannot set up TLS" +
              (source_.caFile.empty() ? std::string() : " with the CA file " + source_.caFile),
          rc);
    if (!ldaps && (rc = ldap_start_tls_s(ld_, nullptr, nullptr)) != LDAP_SUCCESS)
      return Fail("StartTLS failed", rc);
    berval credentials{password.value().size(), password.value().data()};
    rc = ldap_sasl_bind_s(ld_, source_.bindDn.empty() ? nullptr : source_.bindDn.c_str(),
                          LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
    password.Wipe();
    if (rc != LDAP_SUCCESS)
      return Fail(source_.bindDn.empty() ? std::string("the anonymous bind failed")
                                         : "the bind as " + source_.bindDn + " failed",
                  rc);
    attributes_ = mapping_.Attributes();
    filter_ = source_.filter.empty() ? DefaultFilter(mapping_) : source_.filter;
  }

  // One page of entries into page_; the cookie for the next one, or
  // lastPage_.
  void FetchPage() {
    if (page_ != nullptr) ldap_msgfree(page_), page_ = nullptr;
    LDAPControl* paging = nullptr;
    int rc = ldap_create_page_control(ld_, source_.pageSize, &cookie_, 1, &paging);
    if (rc != LDAP_SUCCESS) return Fail("cannot ask for paged results", rc);
    LDAPControl* controls[] = {paging, nullptr};
    std::vector<char*> attributes;
    for (std::string& a : attributes_) attributes.push_back(&a[0]);
    attributes.push_back(nullptr);
    timeval timeout{source_.timeoutSeconds > 0 ? source_.timeoutSeconds : 1, 0};
    rc =
        ldap_search_ext_s(ld_, source_.baseDn.c_str(), LDAP_SCOPE_SUBTREE, filter_.c_str(),
                          attributes.data(), 0, controls, nullptr, &timeout, LDAP_NO_LIMIT, &page_);
    ldap_control_free(paging);
    if (rc != LDAP_SUCCESS) return Fail("the search under " + source_.baseDn + " failed", rc);

    LDAPMessage* done = nullptr;
    for (LDAPMessage* m = ldap_first_message(ld_, page_); m != nullptr && done == nullptr;
         m = ldap_next_message(ld_, m))
      if (ldap_msgtype(m) == LDAP_RES_SEARCH_RESULT) done = m;
    if (done == nullptr) return Fail("the search under " + source_.baseDn + " gave no result");
    int result = LDAP_SUCCESS;
    LDAPControl** returned = nullptr;
    rc = ldap_parse_result(ld_, done, &result, nullptr, nullptr, nullptr, &returned, 0);
    if (rc != LDAP_SUCCESS) return Fail("cannot read the search result", rc);
    if (result != LDAP_SUCCESS) {
      ldap_controls_free(returned);
      return Fail("the search under " + source_.baseDn + " failed", result);
    }
    ber_memfree(cookie_.bv_val);
    cookie_ = berval{0, nullptr};
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    ber_int_t estimate = 0;
    if (response != nullptr && (rc = ldap_parse_pageresponse_control(ld_, response, &estimate,
                                                                     &cookie_)) != LDAP_SUCCESS) {
      ldap_controls_free(returned);
      return Fail("cannot read the paged results of the search", rc);
    }
    ldap_controls_free(returned);
    lastPage_ = cookie_.bv_len == 0;
    entry_ = ldap_first_entry(ld_, page_);
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
    std::string what;
    unsigned long where = 0;
    if (!mapper_.Finish(rows_, *counts_, what, where)) {
      char* dn = ldap_get_dn(ld_, entry_);
      Fail("entry " + std::string(dn != nullptr ? dn : "?") + ": " + what);
      ldap_memfree(dn);
    }
  }

  // Sets the reader's failure: `what`, with libldap's words for `rc` and the
  // server's own message when there is one.
  void Fail(const std::string& what, int rc = LDAP_SUCCESS) {
    failure_ = source_.uri + ": " + what;
    if (rc != LDAP_SUCCESS) failure_ += ": " + std::string(ldap_err2string(rc));
    char* diagnostic = nullptr;
    if (rc != LDAP_SUCCESS && ld_ != nullptr &&
        ldap_get_option(ld_, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
        diagnostic != nullptr) {
      // libldap's placeholder when TLS failed says nothing.
      if (*diagnostic != '\0' && std::strcmp(diagnostic, "(unknown error code)") != 0)
        failure_ += " (" + std::string(diagnostic) + ")";
      ldap_memfree(diagnostic);
    }
    // libldap tells a refused certificate from an unreachable server by
    // neither code nor text.
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR)
      failure_ +=
          "; the server is not reachable there, or its certificate was refused (is it signed by "
          "a CA of " +
          (source_.caFile.empty() ? std::string("the system's") : source_.caFile) +
          ", for the host name of the address?)";
  }

  const SLdapSource source_;
  const SDirectoryMapping& mapping_;
  DirectoryEntryMapper mapper_;
  SDirectoryCounts ownCounts_;
  SDirectoryCounts* counts_;
  std::vector<std::string> attributes_;
  std::string filter_;
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
                       SDirectoryCounts* counts) {
  try {
    auto reader = std::make_shared<LdapReader>(source, mapping, counts);
    return [reader](GUIDNameInfo& row, std::string& error) { return reader->Next(row, error); };
  } catch (const std::exception& e) {
    const std::string error = source.uri + ": " + e.what();
    return [error](GUIDNameInfo&, std::string& out) { return out = error, -1; };
  }
}
