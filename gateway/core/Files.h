// Files and addresses as every part of the gateway reads them: secrets only
// their owner may read, whole files, and the addresses a server listens on.
#pragma once

#include <string>

// The password in a file only its owner may read; false with *error when the
// file cannot be read or others (group or world) may read it.
bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error);
// The whole of a file, as bytes; false when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string* bytes);
// The whole of a file only its owner may read (a private key); refused as above.
bool ReadPrivateFile(const std::string& path, std::string* text, std::string* error);

// Whether an address to listen on is this machine's alone (127.0.0.0/8, ::1, localhost).
bool IsLoopbackAddress(const std::string& address);

struct sockaddr_storage;
// The address to listen on for a [modbus] or [web] listen and port: false
// when it names nothing.
bool ListenAddress(const std::string& listen, int port, sockaddr_storage* address,
                   unsigned* length);
