// The history's query as its arguments give it (the page's API reads them
// from the URL).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <utility>

#include "gateway/history/History.h"
#include "platform/Numbers.h"

namespace {

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
    const std::pair<const char*, decltype(&q->sinceMs)> bounds[] = {{"since", &q->sinceMs},
                                                                    {"until", &q->untilMs}};
    for (const auto& [name, target] : bounds) {
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
    q->limit = std::min(kHistoryPage, most);
    if (!limit.empty()) {
        if (!ParseWholeNumber(limit, 10, 1, most, &n))
            return *refusal = "limit: from 1 to " + std::to_string(most), false;
        q->limit = static_cast<int>(n);
    }
    return true;
}
