// The OPC UA server's certificate, and the folders of the client
// certificates it trusts and refused.
//
//   <trust_dir>/own/cert.der, key.der   made at the first start when no
//                                       cert_file and key_file are given
//   <trust_dir>/trusted/                client certificates trusted (DER or PEM)
//   <trust_dir>/issuers/, revoked/      their CAs, and the CAs' revocation lists
//   <trust_dir>/rejected/               the certificates refused, to move to trusted/
#pragma once

#include <string>

#include "gateway/config/GatewayConfig.h"

// The certificate and key as DER: from cert_file and key_file (PEM or DER),
// else from own/, made there (self-signed, for the application URI and this
// host's name) when it is not. False with *error.
bool ServerCertificate(const GatewayOpcuaConfig& config, const std::string& applicationUri,
                       const std::string& gatewayId, std::string* cert, std::string* key,
                       std::string* error);
// The folders, made (0700) when they are not there.
bool TrustFolders(const std::string& dir, std::string* trusted, std::string* issuers,
                  std::string* revoked, std::string* error);
// A refused client's certificate into rejected/ (at most 100 are kept): its
// path, "" when it was there already or there is no room.
std::string KeepRejectedCertificate(const std::string& dir, const std::string& der);
// The DER of a PEM text (its first block), or the text itself when it is no PEM.
std::string DerOf(const std::string& text);
