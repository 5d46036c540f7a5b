// The history on the page's API: GET /api/history (JSON, newest first, paged
// by before=<id>) and GET /api/history.csv (the same filters; UTF-8 with a
// byte order mark, so that a spreadsheet opens Korean names as they are).
// Queries run on the server's thread, indexed and bounded in rows.
#include <cstdio>
#include <ctime>

#include "gateway/History.h"
#include "gateway/WebHttp.h"
#include "gateway/WebServer.h"
#include "platform/Numbers.h"
#include "platform/Tick.h"

namespace {

const int kMostJson = 1000;
const int kMostCsv = 10000;

std::string Argument(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name);
    return v ? v : "";
}

// A time as ISO 8601 in UTC ("2026-12-09T05:00:00Z", milliseconds allowed)
// or as milliseconds since 1970: -1 when it is neither.
int64_t TimeMs(const std::string& text) {
    long long ms = 0;
    if (ParseWholeNumber(text, 10, 0, 99999999999999LL, &ms)) return ms;
    std::tm t{};
    int millis = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &used) != 6)
        return -1;
    std::string rest = text.substr(static_cast<size_t>(used));
    if (rest.size() == 5 && rest[0] == '.') {
        long long m = 0;
        if (!ParseWholeNumber(rest.substr(1, 3), 10, 0, 999, &m)) return -1;
        millis = static_cast<int>(m);
        rest = rest.substr(4);
    }
    if (rest != "Z") return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<int64_t>(::timegm(&t)) * 1000 + millis;
}

}  // namespace

bool HistoryQueryOf(const std::function<std::string(const char*)>& argument, int most,
                    HistoryQuery* q, std::string* refusal) {
    q->channel = argument("channel");
    q->station = argument("station");
    q->kind = argument("kind");
    if (!q->kind.empty()) {
        bool known = false;
        for (const auto& k : kHistoryKinds) known = known || q->kind == k.name;
        if (!known) return *refusal = "kind: not a kind of event", false;
    }
    for (auto [name, target] :
         {std::make_pair("since", &q->sinceMs), std::make_pair("until", &q->untilMs)}) {
        const std::string text = argument(name);
        if (text.empty()) continue;
        *target = TimeMs(text);
        if (*target < 0)
            return *refusal = std::string(name) + ": ISO 8601 in UTC (…Z) or milliseconds", false;
    }
    long long n = 0;
    const std::string before = argument("before"), limit = argument("limit");
    if (!before.empty()) {
        if (!ParseWholeNumber(before, 10, 1, INT64_MAX, &n))
            return *refusal = "before: an id", false;
        q->before = n;
    }
    q->limit = std::min(100, most);
    if (!limit.empty()) {
        if (!ParseWholeNumber(limit, 10, 1, most, &n))
            return *refusal = "limit: from 1 to " + std::to_string(most), false;
        q->limit = static_cast<int>(n);
    }
    if (most == kMostCsv && limit.empty()) q->limit = kMostCsv;
    return true;
}

namespace {

bool QueryOf(MHD_Connection* c, int most, HistoryQuery* q, std::string* refusal) {
    return HistoryQueryOf([c](const char* name) { return Argument(c, name); }, most, q, refusal);
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
    std::string out =
        "\xEF\xBB\xBFid,time,kind,channel,station,tag,state,value,origin,who,result,detail\r\n";
    for (const HistoryEvent& e : events) {
        char value[32] = "";
        if (e.value) std::snprintf(value, sizeof value, "%g", *e.value);
        out += std::to_string(e.id) + "," +
               UtcTimeStampAt(e.timeMs / 1000, static_cast<int>(e.timeMs % 1000)) + "," +
               CsvField(e.kind) + "," + CsvField(e.channel) + "," + CsvField(e.station) + "," +
               CsvField(e.tag) + "," + CsvField(e.state) + "," + value + "," + CsvField(e.origin) +
               "," + CsvField(e.who) + "," + CsvField(e.result) + "," + CsvField(e.detail) + "\r\n";
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
