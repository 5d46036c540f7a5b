/* The expiry of a certificate as 64-bit seconds. Built with the C library's
   own time_t, as GnuTLS was: on a system whose time_t has 32 bits (Debian
   12's armhf) GnuTLS's answer is 32 bits wide, and a caller built with a
   64-bit time_t would read it wrong. */
#include <gnutls/x509.h>
#include <stdint.h>

int64_t krandolix_certificate_not_after(gnutls_x509_crt_t crt) {
    return (int64_t)gnutls_x509_crt_get_expiration_time(crt);
}
