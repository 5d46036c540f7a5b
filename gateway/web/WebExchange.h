// One HTTP exchange of the page's server across libmicrohttpd's calls.
#pragma once

#include <microhttpd.h>

#include <string>
#include <utility>
#include <vector>

#include "gateway/web/WebUsers.h"

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
