#include "gateway/core/Command.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

namespace {

std::string Trimmed(const std::string& text) {
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return "";
    const size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(start, end - start + 1);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// How deeply the text's arrays and objects nest (outside strings): a deep
// one is refused before it is parsed.
int Depth(const std::string& text) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// The payload as JSON, or bare text as a JSON string; null with *reason when
// it is too large or too deep.
bool ReadPayload(const std::string& payload, nlohmann::json* out, std::string* reason) {
    if (payload.size() > kMaxCommandBytes) {
        *reason = "the payload is larger than " + std::to_string(kMaxCommandBytes) + " bytes";
        return false;
    }
    if (Depth(payload) > kMaxCommandDepth) {
        *reason = "the payload nests deeper than " + std::to_string(kMaxCommandDepth);
        return false;
    }
    *out = nlohmann::json::parse(payload, nullptr, false);
    if (out->is_discarded()) *out = Trimmed(payload);
    return true;
}

const char kAskForOne[] = "a write sends 1 (1, true, \"on\" or {\"value\": 1})";

}  // namespace

std::string JsonText(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json OutcomeJson(const CommandReply& reply) {
    nlohmann::json j = {{"result", WriteResultName(reply.result)}};
    if (reply.result == WriteResult::refused) {
        if (reply.why != Refusal::none) j["refusal"] = RefusalName(reply.why);
        j["reason"] = reply.Reason();
    }
    return j;
}

const char* RefusalText(Refusal why) {
    switch (why) {
        case Refusal::none:
            return "";
        case Refusal::readOnly:
            return "the gateway is read-only";
        case Refusal::unknownChannel:
            return "no such channel";
        case Refusal::unknownTarget:
            return "no such tag or station";
        case Refusal::payload:
            return kAskForOne;
        case Refusal::notOutput:
            return "not an output the driver accepted";
        case Refusal::driver:
            return "the driver did not take the write";
        case Refusal::command:
            return "a station command is enable, disable or reset";
        case Refusal::requestId:
            return "a request id is a number or a string";
    }
    return "";
}

bool WriteValueMeansOne(const nlohmann::json& value, std::string* reason) {
    if (value.is_object()) {
        auto inner = value.find("value");
        if (inner == value.end() || inner->is_object()) {
            *reason = kAskForOne;
            return false;
        }
        return WriteValueMeansOne(*inner, reason);
    }
    bool one = false;
    if (value.is_boolean()) {
        one = value.get<bool>();
    } else if (value.is_number()) {
        one = value.get<double>() == 1;
    } else if (value.is_string()) {
        const std::string word = Lower(Trimmed(value.get<std::string>()));
        one = word == "1" || word == "true" || word == "on";
    }
    if (!one) {
        const bool zero =
            (value.is_boolean() && !value.get<bool>()) ||
            (value.is_number() && value.get<double>() == 0) ||
            (value.is_string() && (Lower(Trimmed(value.get<std::string>())) == "0" ||
                                   Lower(Trimmed(value.get<std::string>())) == "false" ||
                                   Lower(Trimmed(value.get<std::string>())) == "off"));
        *reason =
            zero ? "0 is no command: a write of 1 sends the output's one-bit command" : kAskForOne;
    }
    return one;
}

namespace {

// The object's "request" as JSON text: false when it is of another type.
bool RequestIn(const nlohmann::json& j, std::string* request) {
    if (!j.is_object()) return true;
    auto id = j.find("request");
    if (id == j.end()) return true;
    if (!id->is_string() && !id->is_number()) return false;
    *request = JsonText(*id);
    return true;
}

}  // namespace

bool WritePayloadMeansOne(const std::string& payload, std::string* request, std::string* reason) {
    nlohmann::json j;
    if (!ReadPayload(payload, &j, reason)) return false;
    if (!RequestIn(j, request)) {
        *reason = RefusalText(Refusal::requestId);
        return false;
    }
    return WriteValueMeansOne(j, reason);
}

bool RequestIdOf(const std::string& payload, std::string* request) {
    nlohmann::json j;
    std::string reason;
    if (!ReadPayload(payload, &j, &reason)) return true;  // (refused by the payload rule)
    return RequestIn(j, request);
}

std::string SenderText(const CommandTicket& ticket) {
    return std::string(OriginName(ticket.origin)) + (ticket.who.empty() ? "" : " " + ticket.who);
}

bool StationActionOf(const std::string& word, StationAction* action) {
    for (const auto& a : kStationActions) {
        if (word != a.name) continue;
        *action = a.value;
        return true;
    }
    return false;
}

std::string StationCommandOf(const std::string& payload, std::string* request) {
    nlohmann::json j;
    std::string reason;
    if (!ReadPayload(payload, &j, &reason)) return "";
    if (j.is_object()) {
        if (!RequestIn(j, request)) return "";
        auto command = j.find("command");
        return command != j.end() && command->is_string() ? Trimmed(command->get<std::string>())
                                                          : "";
    }
    return j.is_string() ? Trimmed(j.get<std::string>()) : "";
}
