#include "lookups/directory/LdapWire.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ldap.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

namespace ldapwire {

bool Wire::Wait(short events) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Cancelled()) return cancelled = true, errno = ECANCELED, false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || closing) return timedOut = !closing, errno = ETIMEDOUT, false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kCancelCheckMs)));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

namespace {

Wire* WireOf(Sockbuf_IO_Desc* sbiod) { return static_cast<Wire*>(sbiod->sbiod_pvt); }

int WireSetup(Sockbuf_IO_Desc* sbiod, void* arg) {
  sbiod->sbiod_pvt = arg;
  return 0;
}

int WireRemove(Sockbuf_IO_Desc*) { return 0; }

int WireControl(Sockbuf_IO_Desc*, int, void*) { return 0; }

ber_slen_t WireRead(Sockbuf_IO_Desc* sbiod, void* buffer, ber_len_t length) {
  Wire& wire = *WireOf(sbiod);
  for (;;) {
    const ssize_t n = ::recv(wire.fd, buffer, length, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wire.Wait(POLLIN)) return -1;
  }
}

ber_slen_t WireWrite(Sockbuf_IO_Desc* sbiod, void* buffer, ber_len_t length) {
  Wire& wire = *WireOf(sbiod);
  for (;;) {
    const ssize_t n = ::send(wire.fd, buffer, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wire.Wait(POLLOUT)) return -1;
  }
}

int WireClose(Sockbuf_IO_Desc* sbiod) {
  Wire& wire = *WireOf(sbiod);
  if (wire.fd >= 0) ::close(wire.fd);
  wire.fd = -1;
  return 0;
}

std::string DayOf(time_t when) {
  char day[32];
  struct tm parts;
  if (::gmtime_r(&when, &parts) == nullptr || std::strftime(day, sizeof day, "%F", &parts) == 0)
    return "?";
  return day;
}

}  // namespace

std::string WhyCertificateFails(const berval& der, const std::string& host,
                                const std::string& caFile) {
  gnutls_x509_crt_t cert = nullptr;
  if (gnutls_x509_crt_init(&cert) < 0) return "";
  std::vector<std::string> reasons;
  gnutls_datum_t data{reinterpret_cast<unsigned char*>(der.bv_val),
                      static_cast<unsigned>(der.bv_len)};
  if (gnutls_x509_crt_import(cert, &data, GNUTLS_X509_FMT_DER) >= 0) {
    const time_t now = ::time(nullptr);
    const time_t expires = gnutls_x509_crt_get_expiration_time(cert);
    const time_t starts = gnutls_x509_crt_get_activation_time(cert);
    if (expires != static_cast<time_t>(-1) && expires < now)
      reasons.push_back("it expired on " + DayOf(expires));
    if (starts != static_cast<time_t>(-1) && starts > now)
      reasons.push_back("it is not valid before " + DayOf(starts));
    if (gnutls_x509_crt_check_hostname(cert, host.c_str()) == 0)
      reasons.push_back("it is not for the host name " + host);
    gnutls_x509_trust_list_t trusted = nullptr;
    if (gnutls_x509_trust_list_init(&trusted, 0) >= 0) {
      const int added = caFile.empty()
                            ? gnutls_x509_trust_list_add_system_trust(trusted, 0, 0)
                            : gnutls_x509_trust_list_add_trust_file(
                                  trusted, caFile.c_str(), nullptr, GNUTLS_X509_FMT_PEM, 0, 0);
      unsigned status = 0;
      if (added >= 0 &&
          gnutls_x509_trust_list_verify_crt(trusted, &cert, 1, 0, &status, nullptr) >= 0 &&
          (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) != 0)
        reasons.push_back("it is not signed by " + (caFile.empty()
                                                        ? std::string("a CA of the system's")
                                                        : "a CA of " + caFile));
      gnutls_x509_trust_list_deinit(trusted, 1);
    }
  }
  gnutls_x509_crt_deinit(cert);
  std::string why;
  for (const std::string& reason : reasons) why += (why.empty() ? "" : ", and ") + reason;
  return why;
}

Sockbuf_IO kWireIO = {WireSetup, WireRemove, WireControl, WireRead, WireWrite, WireClose};

}  // namespace ldapwire
