#include "gateway/opcua/OpcuaCertificates.h"

#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/log_stdout.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gateway/core/Files.h"
#include "gateway/core/Journal.h"

namespace fs = std::filesystem;

namespace {

bool ReadWhole(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

// Written whole or not at all (a temporary file renamed), readable by its owner alone.
bool WritePrivate(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".new";
    const mode_t before = ::umask(077);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    ::umask(before);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return false;
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool MakeFolder(const std::string& path, std::string* error) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec || !fs::is_directory(path)) {
        *error = "opcua: cannot make the folder " + path + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

std::string DerOf(const std::string& text) {
    const size_t begin = text.find("-----BEGIN ");
    if (begin == std::string::npos) return text;
    const size_t body = text.find('\n', begin);
    const size_t end = text.find("-----END ", begin);
    if (body == std::string::npos || end == std::string::npos || end < body) return "";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (size_t i = body; i < end; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) continue;  // line ends, padding
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

bool ServerCertificate(const GatewayOpcuaConfig& config, const std::string& applicationUri,
                       const std::string& gatewayId, std::string* cert, std::string* key,
                       std::string* error) {
    if (!config.certFile.empty()) {
        std::string certText, keyText;
        if (!ReadWhole(config.certFile, &certText)) {
            *error = "opcua: cert_file: cannot read " + config.certFile;
            return false;
        }
        if (!ReadPrivateFile(config.keyFile, &keyText, error)) {
            *error = "opcua: key_file: " + *error;
            return false;
        }
        *cert = DerOf(certText);
        *key = DerOf(keyText);
        if (cert->empty() || key->empty()) {
            *error = "opcua: cert_file or key_file is neither DER nor PEM";
            return false;
        }
        return true;
    }
    const std::string own = config.trustDir + "/own";
    if (!MakeFolder(own, error)) return false;
    ::chmod(config.trustDir.c_str(), 0700);
    const std::string certPath = own + "/cert.der", keyPath = own + "/key.der";
    if (ReadWhole(certPath, cert) && ReadWhole(keyPath, key) && !cert->empty() && !key->empty())
        return true;
    // made once: a self-signed certificate for the application URI and this host
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    const std::string cn = "CN=krandolix drvgw " + gatewayId;
    UA_String subject[3] = {UA_STRING(const_cast<char*>("C=KR")),
                            UA_STRING(const_cast<char*>("O=krandolix")),
                            UA_STRING(const_cast<char*>(cn.c_str()))};
    const std::string uriName = "URI:" + applicationUri, dnsName = std::string("DNS:") + host;
    UA_String altNames[3] = {UA_STRING(const_cast<char*>(uriName.c_str())),
                             UA_STRING(const_cast<char*>(dnsName.c_str())),
                             UA_STRING(const_cast<char*>("DNS:localhost"))};
    UA_UInt32 days = 3650, bits = 2048;
    UA_KeyValueMap* params = UA_KeyValueMap_new();
    UA_KeyValueMap_setScalar(params, UA_QUALIFIEDNAME(0, const_cast<char*>("expires-in-days")),
                             &days, &UA_TYPES[UA_TYPES_UINT32]);
    UA_KeyValueMap_setScalar(params, UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits")),
                             &bits, &UA_TYPES[UA_TYPES_UINT32]);
    UA_ByteString derKey = UA_BYTESTRING_NULL, derCert = UA_BYTESTRING_NULL;
    const UA_StatusCode s = UA_CreateCertificate(UA_Log_Stdout, subject, 3, altNames, 3,
                                                 UA_CERTIFICATEFORMAT_DER, params, &derKey,
                                                 &derCert);
    UA_KeyValueMap_delete(params);
    if (s != UA_STATUSCODE_GOOD) {
        *error = std::string("opcua: cannot make a certificate: ") + UA_StatusCode_name(s);
        return false;
    }
    cert->assign(reinterpret_cast<const char*>(derCert.data), derCert.length);
    key->assign(reinterpret_cast<const char*>(derKey.data), derKey.length);
    UA_ByteString_clear(&derCert);
    UA_ByteString_clear(&derKey);
    if (!WritePrivate(keyPath, *key) || !WritePrivate(certPath, *cert)) {
        *error = "opcua: cannot write the certificate made to " + own;
        return false;
    }
    Journal(kInfo, "opcua: made a self-signed certificate for " + applicationUri + " in " +
                       certPath + " (clients trust it once; give cert_file and key_file for one "
                       "of your own)");
    return true;
}

bool TrustFolders(const std::string& dir, std::string* trusted, std::string* issuers,
                  std::string* revoked, std::string* error) {
    *trusted = dir + "/trusted";
    *issuers = dir + "/issuers";
    *revoked = dir + "/revoked";
    for (const std::string& f : {*trusted, *issuers, *revoked, dir + "/rejected"})
        if (!MakeFolder(f, error)) return false;
    ::chmod(dir.c_str(), 0700);
    return true;
}

std::string KeepRejectedCertificate(const std::string& dir, const std::string& der) {
    const std::string folder = dir + "/rejected";
    std::error_code ec;
    size_t count = 0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++count;
    if (ec || count >= 100) return "";
    uint64_t h = 1469598103934665603ull;  // FNV-1a: the same certificate, the same name
    for (unsigned char c : der) h = (h ^ c) * 1099511628211ull;
    char name[32];
    std::snprintf(name, sizeof name, "/%016llx.der", static_cast<unsigned long long>(h));
    const std::string path = folder + name;
    if (fs::exists(path, ec)) return "";
    return WritePrivate(path, der) ? path : "";
}
