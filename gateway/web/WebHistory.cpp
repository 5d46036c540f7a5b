// The history on the page's API: GET /api/history (JSON, newest first, paged
// by before=<id>) and GET /api/history.csv (the same filters; UTF-8 with a
// byte order mark, so that a spreadsheet opens Korean names as they are).
// Queries run on the page's worker (the connection set aside meanwhile),
// indexed and bounded in rows.
#include <cstdio>
#include <ctime>

#include "gateway/history/History.h"
#include "gateway/http/Http.h"
#include "gateway/web/WebExchange.h"
#include "gateway/web/WebServer.h"
#include "platform/Numbers.h"
#include "platform/Tick.h"

namespace {

const int kMostJson = 1000;
const int kMostCsv = 10000;

std::string Argument(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
    return v ? v : "";
}

bool QueryOf(MHD_Connection* c, int most, HistoryQuery* q, std::string* refusal) {
    if (!HistoryQueryOf([c](const char* name) { return Argument(c, name); }, most, q, refusal))
        return false;
    // a CSV without a limit is as much as it may hold
    if (most == kMostCsv && Argument(c, "limit").empty()) q->limit = kMostCsv;
    return true;
}

std::string CsvField(std::string text) {
    // A cell a spreadsheet would take for a formula (= + - @, or a tab or CR
    // before one) is made text with a leading quote: any broker client can
    // put a topic's words into the history.
    if (!text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos)
        text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char ch : text) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

std::string Csv(const std::vector<HistoryEvent>& events) {
    std::string out = "\xEF\xBB\xBFid,time";
    for (const HistoryColumn& c : kHistoryColumns) out += std::string(",") + c.name;
    out += "\r\n";
    for (const HistoryEvent& e : events) {
        out += std::to_string(e.id) + "," +
               UtcTimeStampAt(e.timeMs / 1000, static_cast<int>(e.timeMs % 1000));
        for (const HistoryColumn& c : kHistoryColumns) {
            char value[32] = "";
            if (!c.text && e.value) std::snprintf(value, sizeof value, "%g", *e.value);
            out += "," + (c.text ? CsvField(e.*c.text) : std::string(value));
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace

int WebServer::ServeHistory(MHD_Connection* connection,
                            const std::shared_ptr<WebExchange>& exchange, const std::string& url) {
    if (!m_history)
        return QueueJson(connection,
                         Reply(404, "error", "no history: the gateway has no [history]"));
    const bool csv = url == "/api/history.csv";
    HistoryQuery query;
    std::string refusal;
    if (!QueryOf(connection, csv ? kMostCsv : kMostJson, &query, &refusal))
        return QueueJson(connection, Reply(400, "error", refusal));
    // the query on the worker: a slow one holds up no other client
    History* history = m_history;
    std::shared_ptr<WebExchange> mine = exchange;
    const bool deferred =
        Defer(connection, exchange, [this, history, mine, query, csv](bool stopping) {
            std::pair<int, std::string> answer;
            std::string type, why;
            std::vector<std::pair<std::string, std::string>> headers = {
                {"Cache-Control", "no-store"}};
            std::vector<HistoryEvent> events;
            if (stopping) {
                answer = Reply(503, "error", "the gateway is stopping");
            } else if (!history->Events(query, &events, &why)) {
                answer = Reply(503, "error", "the history cannot be read: " + why);
            } else if (csv) {
                answer = {200, Csv(events)};
                type = "text/csv; charset=utf-8";
                headers.emplace_back("Content-Disposition", "attachment; filename=\"history.csv\"");
            } else {
                std::string body = "{\"events\": [";
                for (size_t i = 0; i < events.size(); ++i)
                    body += (i ? ", " : "") + History::EventJson(events[i]);
                answer = {200, body + "]}"};
            }
            std::lock_guard<std::mutex> hold(m_lock);
            mine->type = type;
            mine->headers = headers;
            mine->answer = answer;
            mine->answered = true;
            Resume(*mine);
        });
    if (!deferred)
        return QueueJson(connection, Reply(503, "error", "too many requests waiting: try again"),
                         {{"Retry-After", "1"}});
    return MHD_YES;
}
