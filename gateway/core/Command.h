// What every way into the gateway (MQTT, Modbus TCP, the web page) hands to
// its one command entry: who sent a command and how its outcome finds them
// again, the payload rule that decides what a write asks for, and the
// outcomes with their reasons. Plain data: used on the gateway's thread and
// handed between threads by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>

// A value of one of the gateway's enums with the one name it goes by (on
// MQTT, in the API, in the journal) and the page's words for it. Each enum
// has one table of these, its values in order, and that table is its list.
template <typename E>
struct Named {
    E value;
    const char* name;
    const char* words;
};

template <typename E, size_t N>
constexpr bool InEnumOrder(const Named<E> (&table)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (static_cast<size_t>(table[i].value) != i) return false;
    return true;
}

template <typename E, size_t N>
constexpr const char* NameIn(const Named<E> (&table)[N], E value) {
    const auto i = static_cast<size_t>(value);
    return i < N ? table[i].name : "";
}

enum class Origin { mqtt, modbus, web, opcua, sparkplug };
inline constexpr Named<Origin> kOrigins[] = {{Origin::mqtt, "mqtt", "MQTT"},
                                             {Origin::modbus, "modbus", "Modbus"},
                                             {Origin::web, "web", "웹 (web)"},
                                             {Origin::opcua, "opcua", "OPC UA"},
                                             {Origin::sparkplug, "sparkplug", "Sparkplug B"}};
static_assert(InEnumOrder(kOrigins));
constexpr const char* OriginName(Origin origin) {
    return NameIn(kOrigins, origin);
}

// The outcome of a write: answered at once (queued, busy, refused), then for
// a queued one later, once: done (the controller answered the command),
// no_reply (it was sent and no answer came), timeout (the driver has not
// taken it in time), cancelled (its channel stopped before it was sent).
enum class WriteResult { queued, busy, refused, done, timeout, noReply, cancelled };
inline constexpr Named<WriteResult> kWriteResults[] = {
    {WriteResult::queued, "queued", "대기 (queued)"},
    {WriteResult::busy, "busy", "처리 중 (busy)"},
    {WriteResult::refused, "refused", "거부 (refused)"},
    {WriteResult::done, "done", "완료 (done)"},
    {WriteResult::timeout, "timeout", "시간 초과 (timeout)"},
    {WriteResult::noReply, "no_reply", "응답 없음 (no reply)"},
    {WriteResult::cancelled, "cancelled", "취소 (cancelled)"}};
static_assert(InEnumOrder(kWriteResults));
constexpr const char* WriteResultName(WriteResult result) {
    return NameIn(kWriteResults, result);
}
// Whether a queued write's story ends with this result (every result but queued).
constexpr bool IsFinalResult(WriteResult result) {
    return result != WriteResult::queued;
}

// What a station command asks for, each with the one word it goes by on MQTT
// and the web API.
enum class StationAction { enable, disable, reset };
inline constexpr Named<StationAction> kStationActions[] = {
    {StationAction::enable, "enable", "사용 (enable)"},
    {StationAction::disable, "disable", "사용 안 함 (disable)"},
    {StationAction::reset, "reset", "초기화 (reset)"}};
static_assert(InEnumOrder(kStationActions));
constexpr const char* StationActionName(StationAction action) {
    return NameIn(kStationActions, action);
}
// The action a word names; false for any other word.
bool StationActionOf(const std::string& word, StationAction* action);

// Why a command was refused: the name every way in gives it (MQTT's and the
// API's "refusal", the history), the page's words, and RefusalText's sentence.
enum class Refusal {
    none,
    readOnly,        // the gateway (or this way in) is read-only
    unknownChannel,  // no such channel
    unknownTarget,   // no such tag or station
    payload,         // the payload does not ask for 1 (or is not readable)
    notOutput,       // the tag is an input, or the driver refused its address
    driver,          // the driver did not take the write
    command,         // a station command other than enable, disable, reset
    requestId,       // the payload's "request" is neither a number nor a string
};
inline constexpr Named<Refusal> kRefusals[] = {
    {Refusal::none, "", ""},
    {Refusal::readOnly, "read_only", "읽기 전용 (read-only)"},
    {Refusal::unknownChannel, "unknown_channel", "없는 채널 (no such channel)"},
    {Refusal::unknownTarget, "unknown_target", "없는 태그나 국 (no such tag or station)"},
    {Refusal::payload, "payload", "1이 아닌 값 (not a 1)"},
    {Refusal::notOutput, "not_output", "출력이 아님 (not an output)"},
    {Refusal::driver, "driver", "드라이버 거부 (the driver refused)"},
    {Refusal::command, "command", "없는 명령 (no such command)"},
    {Refusal::requestId, "request_id", "잘못된 요청 번호 (bad request id)"}};
static_assert(InEnumOrder(kRefusals));
constexpr const char* RefusalName(Refusal why) {
    return NameIn(kRefusals, why);
}
const char* RefusalText(Refusal why);

// Who sent a command and where its outcome goes.
struct CommandTicket {
    uint64_t id = 0;  // the gateway's own number for it, unique in a run
    Origin origin = Origin::mqtt;
    // the web client, the Modbus client's address, the OPC UA session's user
    // and address; "" for MQTT
    std::string who;
    // the sender's own id (the payload's "request": a number or a string) as
    // JSON text, echoed as it came; "" for none
    std::string request;
    std::string correlation;    // MQTT 5 correlation data (bytes), echoed as such
    std::string responseTopic;  // MQTT 5 response topic, "" for none
};

// "web otto@10.0.0.5": the origin and who, as the journal names a command's sender.
std::string SenderText(const CommandTicket& ticket);

// What the entry answers, at once.
struct CommandReply {
    WriteResult result = WriteResult::refused;
    Refusal why = Refusal::none;
    uint64_t ticket = 0;  // the command's number, to match its later outcome
    std::string detail;   // a refusal's reason where it says more than RefusalText
    std::string Reason() const { return detail.empty() ? RefusalText(why) : detail; }
};

// JSON text as the gateway sends it: compact, and a byte that is not UTF-8
// becomes U+FFFD instead of an exception.
std::string JsonText(const nlohmann::json& j);

// {"result": NAME} and, for a refusal, "refusal": its name and "reason": its
// sentence: an outcome as MQTT and the web API tell it.
nlohmann::json OutcomeJson(const CommandReply& reply);

// A command's payload is read only up to this size, and nested no deeper.
constexpr size_t kMaxCommandBytes = 4096;
constexpr int kMaxCommandDepth = 4;

// The payload rule, for every way in. A write asks for 1 with any of
//   1  true  "1"  "true"  "on"  {"value": one of these, "request": ID}
// (text also bare, in any case, as dashboards send it); anything else is
// refused with *reason. *request gets the object's "request", if any, as
// JSON text; an ID that is neither a number nor a string is refused.
bool WritePayloadMeansOne(const std::string& payload, std::string* request, std::string* reason);
// The same rule for a value already parsed (the web API's "value").
bool WriteValueMeansOne(const nlohmann::json& value, std::string* reason);
// A station command's payload: the word (bare or a JSON string, trimmed), and
// the "request" of {"command": WORD, "request": ID}.
std::string StationCommandOf(const std::string& payload, std::string* request);
// The payload's "request" as JSON text ("" for none): false when it is there
// and neither a number nor a string (the command is then refused, unechoed).
bool RequestIdOf(const std::string& payload, std::string* request);

// A command as a way in hands it to the entry.
struct GatewayCommand {
    enum Kind { write, station } kind = write;
    CommandTicket ticket;
    std::string channel;
    std::string target;   // the tag, or the station
    std::string payload;  // a write: as sent, for the payload rule; a station: the command word
    Refusal refused = Refusal::none;  // found by the way in before the entry
    std::string refusedDetail;        // and its reason, where it says more than RefusalText
};

// The one entry for commands (the gateway), on the gateway's thread: checks
// the live settings, decides the payload, carries the ticket to the write
// path and reports every outcome through the gateway's sinks.
class CommandEntry {
public:
    virtual ~CommandEntry() = default;
    virtual CommandReply Execute(GatewayCommand& command) = 0;
    // Whether a write to this output would be answered busy now.
    virtual bool WriteBusy(const std::string& channel, const std::string& tag) = 0;
};
