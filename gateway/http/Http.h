// Small helpers of the web server's HTTP side (libmicrohttpd), shared by the
// files that answer its routes.
#pragma once

#include <microhttpd.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "gateway/WebUsers.h"

// One HTTP exchange: the body as it comes, and the answer once it is known.
struct WebExchange {
    MHD_Connection* connection = nullptr;  // null once the exchange has ended
    std::string body;
    bool tooLarge = false;
    size_t expected = 0;     // the body's Content-Length
    bool suspended = false;  // waiting for the gateway's answer
    bool answered = false;
    std::pair<int, std::string> answer;
    std::string etag;  // the answer's ETag, if it has one
    std::string type;  // the answer's content type, "" for JSON
    std::vector<std::pair<std::string, std::string>> headers;  // the answer's others
    std::string user;  // who logged in ("" where nobody is asked)
    WebRole role = WebRole::viewer;
    std::string session;  // the session's token, when the login is a session's
};

// Queues an exchange's answer as it was set (answered).
MHD_Result QueueAnswer(MHD_Connection* c, const WebExchange& exchange);

// A request header, "" when it is not there.
std::string Header(MHD_Connection* c, const char* name);
// The client's address as text ("?" when unknown).
std::string ClientAddress(MHD_Connection* c);
// Queues an answer with a body of the given type and headers.
MHD_Result Queue(MHD_Connection* c, int status, const std::string& body, const char* type,
                 std::initializer_list<std::pair<const char*, const char*>> headers = {});
MHD_Result QueueJson(MHD_Connection* c, const std::pair<int, std::string>& reply,
                     std::initializer_list<std::pair<const char*, const char*>> headers = {});
