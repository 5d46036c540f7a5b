#include "gateway/web/WebTls.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "gateway/config/GatewayConfig.h"

extern "C" int64_t krandolix_certificate_not_after(gnutls_x509_crt_t crt);

const char kWebTlsPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

namespace {

// A certificate chain and its key, as GnuTLS hands them to a handshake.
struct Pair {
    std::vector<gnutls_pcert_st> chain;
    gnutls_privkey_t key = nullptr;
    ~Pair() {
        for (gnutls_pcert_st& c : chain) gnutls_pcert_deinit(&c);
        if (key) gnutls_privkey_deinit(key);
    }
};

std::mutex g_lock;
std::shared_ptr<Pair> g_current;
// Replaced pairs, oldest first, with when: kept while a handshake may still
// hold one (a handshake is bounded by the connection's time-out, seconds).
std::vector<std::pair<std::chrono::steady_clock::time_point, std::shared_ptr<Pair>>> g_replaced;
const auto kKeepReplaced = std::chrono::minutes(5);

gnutls_datum_t Datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned>(text.size())};
}

// The public key's identity, to see that a key and a certificate belong together.
std::string KeyId(gnutls_pubkey_t key) {
    unsigned char id[64];
    size_t size = sizeof id;
    if (gnutls_pubkey_get_key_id(key, 0, id, &size) != 0) return "";
    return std::string(reinterpret_cast<char*>(id), size);
}

bool Load(const std::string& certFile, const std::string& keyFile, Pair* pair, std::string* error) {
    std::string cert, key;
    if (!ReadWholeFile(certFile, &cert)) {
        *error = certFile + ": cannot be read";
        return false;
    }
    if (!ReadPrivateFile(keyFile, &key, error)) return false;
    unsigned count = 16;
    pair->chain.resize(count);
    gnutls_datum_t certDatum = Datum(cert);
    int rc = gnutls_pcert_list_import_x509_raw(pair->chain.data(), &count, &certDatum,
                                               GNUTLS_X509_FMT_PEM, 0);
    if (rc < 0 || count == 0) {
        pair->chain.clear();
        *error = certFile + ": not a PEM certificate (" + gnutls_strerror(rc) + ")";
        return false;
    }
    pair->chain.resize(count);
    gnutls_datum_t keyDatum = Datum(key);
    if (gnutls_privkey_init(&pair->key) != 0 ||
        (rc = gnutls_privkey_import_x509_raw(pair->key, &keyDatum, GNUTLS_X509_FMT_PEM, nullptr,
                                             0)) < 0) {
        *error =
            keyFile + ": not a PEM private key without a passphrase (" + gnutls_strerror(rc) + ")";
        return false;
    }
    gnutls_pubkey_t fromKey = nullptr;
    bool same = gnutls_pubkey_init(&fromKey) == 0 &&
                gnutls_pubkey_import_privkey(fromKey, pair->key, 0, 0) == 0 &&
                KeyId(fromKey) == KeyId(pair->chain[0].pubkey) && !KeyId(fromKey).empty();
    if (fromKey) gnutls_pubkey_deinit(fromKey);
    if (!same) {
        *error = keyFile + ": is not the key of " + certFile;
        return false;
    }
    return true;
}

int Retrieve(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
             gnutls_pcert_st** chain, unsigned int* length, gnutls_privkey_t* key) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_current) return -1;
    *chain = g_current->chain.data();
    *length = static_cast<unsigned>(g_current->chain.size());
    *key = g_current->key;
    return 0;
}

}  // namespace

void* const kWebCertificateCallback =
    reinterpret_cast<void*>(static_cast<gnutls_certificate_retrieve_function2*>(&Retrieve));

bool LoadWebCertificate(const std::string& certFile, const std::string& keyFile,
                        std::string* error) {
    auto pair = std::make_shared<Pair>();
    if (!Load(certFile, keyFile, pair.get(), error)) return false;
    std::lock_guard<std::mutex> hold(g_lock);
    const auto now = std::chrono::steady_clock::now();
    if (g_current) g_replaced.emplace_back(now, g_current);
    g_current = pair;
    while (!g_replaced.empty() && now - g_replaced.front().first > kKeepReplaced)
        g_replaced.erase(g_replaced.begin());
    return true;
}

size_t KeptWebCertificates() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_replaced.size() + (g_current ? 1 : 0);
}

void AgeWebCertificatesForTest(std::chrono::seconds by) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto& r : g_replaced) r.first -= by;
}

void ForgetWebCertificates() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_current.reset();
    g_replaced.clear();
}

bool HaveWebCertificate() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_current != nullptr;
}

bool ReadCertificateInfo(const std::string& certFile, CertificateInfo* info, std::string* error) {
    std::string text;
    if (!ReadWholeFile(certFile, &text)) {
        *error = certFile + ": cannot be read";
        return false;
    }
    gnutls_x509_crt_t crt = nullptr;
    gnutls_datum_t datum = Datum(text);
    int rc = gnutls_x509_crt_init(&crt);
    if (rc == 0) rc = gnutls_x509_crt_import(crt, &datum, GNUTLS_X509_FMT_PEM);
    if (rc < 0) {
        if (crt) gnutls_x509_crt_deinit(crt);
        *error = certFile + ": not a PEM certificate (" + gnutls_strerror(rc) + ")";
        return false;
    }
    gnutls_datum_t dn{};
    if (gnutls_x509_crt_get_dn3(crt, &dn, 0) == 0) {
        info->subject.assign(reinterpret_cast<char*>(dn.data), dn.size);
        gnutls_free(dn.data);
    }
    info->notAfter = krandolix_certificate_not_after(crt);
    gnutls_x509_crt_deinit(crt);
    return true;
}
