// The command payload rule on any bytes a broker client may publish: it
// decides or refuses (with a reason), never crashes or grows without bound;
// a request id, when kept, is a JSON number or string.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "gateway/core/Command.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    std::string request, reason;
    const bool one = WritePayloadMeansOne(payload, &request, &reason);
    if (!one && reason.empty()) __builtin_trap();
    for (const std::string& id : {request}) {
        if (id.empty()) continue;
        const nlohmann::json j = nlohmann::json::parse(id, nullptr, false);
        if (!j.is_number() && !j.is_string()) __builtin_trap();
    }
    request.clear();
    const std::string word = StationCommandOf(payload, &request);
    StationAction action;
    StationActionOf(word, &action);
    request.clear();
    RequestIdOf(payload, &request);
    return 0;
}
