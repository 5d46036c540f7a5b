// What the web page's server and the metrics listener share of HTTP
// (libmicrohttpd): the request's headers and address, answers queued, the
// bearer token's check.
#pragma once

#include <microhttpd.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// A request header, "" when it is not there.
std::string Header(MHD_Connection* c, const char* name);
// The client's address as text ("?" when unknown).
std::string ClientAddress(MHD_Connection* c);
// Queues an answer with a body of the given type and headers.
MHD_Result Queue(MHD_Connection* c, int status, const std::string& body, const char* type,
                 std::initializer_list<std::pair<const char*, const char*>> headers = {});
MHD_Result QueueJson(MHD_Connection* c, const std::pair<int, std::string>& reply,
                     std::initializer_list<std::pair<const char*, const char*>> headers = {});

// Whether an Authorization header carries this bearer token (compared in a
// time that does not depend on where they differ).
bool BearerMatches(const std::string& header, const std::string& token);

// The content type of Prometheus's text format.
extern const char kMetricsType[];
