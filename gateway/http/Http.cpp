#include "gateway/http/Http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::string Header(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
}

std::string ClientAddress(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info && info->client_addr) {
        const sockaddr* a = info->client_addr;
        if (a->sa_family == AF_INET)
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text,
                        sizeof text);
        else if (a->sa_family == AF_INET6)
            ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text,
                        sizeof text);
    }
    return text;
}

MHD_Result Queue(MHD_Connection* c, int status, const std::string& body, const char* type,
                 std::initializer_list<std::pair<const char*, const char*>> headers) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    for (const auto& [name, value] : headers) MHD_add_response_header(r, name, value);
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result QueueJson(MHD_Connection* c, const std::pair<int, std::string>& reply,
                     std::initializer_list<std::pair<const char*, const char*>> headers) {
    return Queue(c, reply.first, reply.second, "application/json; charset=utf-8", headers);
}

const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

bool BearerMatches(const std::string& header, const std::string& token) {
    const std::string prefix = "Bearer ";
    if (token.empty() || header.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string given = header.substr(prefix.size());
    unsigned char differ = given.size() != token.size();
    for (size_t i = 0; i < token.size(); ++i)
        differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}
