#include "gateway/core/Files.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

bool IsLoopbackAddress(const std::string& address) {
    // the parsed address, not its text: "127.0.0.1.example" is a name anywhere
    if (address == "localhost") return true;
    in_addr v4;
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6;
    return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool ListenAddress(const std::string& listen, int port, sockaddr_storage* address,
                   unsigned* length) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(listen.c_str(), service.c_str(), &hints, &found) != 0 || !found) return false;
    std::memcpy(address, found->ai_addr, found->ai_addrlen);
    *length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    // (an empty file inserts nothing, which the stream counts as failing)
    std::ostringstream all;
    if (in.peek() != std::ifstream::traits_type::eof()) all << in.rdbuf();
    *bytes = all.str();
    return true;
}

bool ReadPrivateFile(const std::string& path, std::string* text, std::string* error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = path + ": cannot be read";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": is not a file";
        return false;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        *error = path + ": others may read it (chmod 600 it)";
        return false;
    }
    if (!ReadWholeFile(path, text)) {
        *error = path + ": cannot be read";
        return false;
    }
    return true;
}

bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error) {
    std::string text;
    if (!ReadPrivateFile(path, &text, error)) return false;
    *secret = text.substr(0, text.find('\n'));
    while (!secret->empty() && (secret->back() == '\r' || secret->back() == ' '))
        secret->pop_back();
    if (secret->empty()) {
        *error = path + ": holds no password";
        return false;
    }
    return true;
}
