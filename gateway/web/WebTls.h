// The web page's certificate and key (PEM files), for libmicrohttpd's TLS on
// GnuTLS: loaded and checked (the key private to its owner, matching the
// certificate), handed to every new handshake, and replaced while the
// server runs (SIGHUP: a renewed certificate needs no restart). The
// handshakes on the server's thread and a replacement on the gateway's meet
// under one lock; a replaced certificate is kept five minutes, for a
// handshake that may still hold it, and then freed (a reload a day for years
// keeps no more than the last few).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// The priority string: TLS 1.2 and 1.3 only, GnuTLS's usual ciphers.
extern const char kWebTlsPriorities[];

// Loads the pair and makes it the one new handshakes get; false with *error
// (naming the file and what is wrong), the pair in use staying.
bool LoadWebCertificate(const std::string& certFile, const std::string& keyFile,
                        std::string* error);
// How many pairs are held (the current one and those still kept).
size_t KeptWebCertificates();
// A test's way past the five minutes.
void AgeWebCertificatesForTest(std::chrono::seconds by);
// Forgets every pair loaded (the server has stopped).
void ForgetWebCertificates();
// Whether a pair was loaded.
bool HaveWebCertificate();

// What a certificate file says of its first certificate.
struct CertificateInfo {
    std::string subject;   // as RFC 4514 writes it: "CN=gw.plant.example,O=..."
    int64_t notAfter = 0;  // seconds since 1970, UTC
};
bool ReadCertificateInfo(const std::string& certFile, CertificateInfo* info, std::string* error);

// For MHD_OPTION_HTTPS_CERT_CALLBACK (a gnutls_certificate_retrieve_function2).
extern void* const kWebCertificateCallback;
