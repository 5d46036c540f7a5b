#include "ConfigJson.h"

#include "Json.h"
#include "config/ConfigData.h"
#include "config/LineSettings.h"
#include "platform/Encoding.h"

std::string ConfigJson(const CConfigData& c) {
    const int32_t baud = line::BaudOf(c.GetBaudRate());
    std::string out = "{";
    out += "\"port\": " + (c.GetPort() >= 0 ? JsonString(line::PortName(c.GetPort())) : "null");
    out += ", \"baud\": " + (baud > 0 ? std::to_string(baud) : "null");
    out += ", \"parity\": " + (c.GetParity() >= 0 && c.GetParity() < line::kParityCount
                                   ? JsonString(line::kParityNames[c.GetParity()])
                                   : "null");
    out += ", \"data_bits\": " + std::string(c.GetDataBits() ? "8" : "7");
    out += ", \"stop_bits\": " + std::string(c.GetStopBits() ? "2" : "1");
    out += ", \"delay_ms\": " + std::to_string(c.GetDelay());
    out += ", \"timeout_ms\": " + std::to_string(c.GetTimeout());
    out += ", \"retries\": " + std::to_string(c.GetRetries());
    out += ", \"stations\": [";
    bool first = true;
    for (const auto& s : c.Stations()) {
        out += first ? "" : ", ";
        first = false;
        out += "{\"name\": " + JsonString(Cp949ToUtf8(s->GetName().Str()));
        out += ", \"number\": " + std::to_string(s->GetStationNo());
        out += ", \"description\": " + JsonString(Cp949ToUtf8(s->GetDescription().Str()));
        out += ", \"period_ms\": " + std::to_string(s->GetPollPeriod()) + "}";
    }
    return out + "]}";
}
