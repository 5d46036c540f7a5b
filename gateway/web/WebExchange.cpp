#include "gateway/web/WebExchange.h"

MHD_Result QueueAnswer(MHD_Connection* c, const WebExchange& exchange) {
    const std::string& body = exchange.answer.second;
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(
        r, "Content-Type",
        exchange.type.empty() ? "application/json; charset=utf-8" : exchange.type.c_str());
    if (!exchange.etag.empty())
        MHD_add_response_header(r, "ETag", ("\"" + exchange.etag + "\"").c_str());
    for (const auto& [name, value] : exchange.headers)
        MHD_add_response_header(r, name.c_str(), value.c_str());
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(exchange.answer.first), r);
    MHD_destroy_response(r);
    return ok;
}
