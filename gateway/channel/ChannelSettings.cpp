#include "gateway/channel/ChannelSettings.h"

#include <gnutls/crypto.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

#include "config/ConfigData.h"
#include "config/LineSettings.h"
#include "config/StationRules.h"
#include "driver/DriverStrings.h"
#include "driver_texts.h"
#include "gateway/core/Command.h"
#include "platform/Encoding.h"
#include "platform/NoCase.h"

using nlohmann::json;

namespace {

// What the page may give a station: a name that fits a topic level, a log
// line and the dialog's field; a description of a line.
const size_t kMostNameBytes = 64, kMostDescriptionBytes = 255;

// A refusal: the field, and the driver's message of that id.
struct Refused {
    std::string field;
    int id = 0;
    std::string text;  // when it is not one of the driver's messages
};

std::string DriverText(int id) {
    CString text;
    if (!LookUpCatalogueString(id, &text)) return "refused (" + std::to_string(id) + ")";
    return Cp949ToUtf8(text.Str());
}

void Check(const std::string& field, int id) {
    if (id != 0) throw Refused{field, id, ""};
}

// A whole number of the JSON, or the refusal of that field.
long long Whole(const json& settings, const std::string& key, const std::string& field, int id) {
    auto it = settings.find(key);
    if (it == settings.end() || !it->is_number_integer()) throw Refused{field, id, ""};
    return it->get<long long>();
}

std::string Text(const json& settings, const std::string& key, const std::string& field, int id) {
    auto it = settings.find(key);
    if (it == settings.end() || !it->is_string()) throw Refused{field, id, ""};
    return it->get<std::string>();
}

std::string ToCp949(const std::string& utf8, const std::string& field, const char* what,
                    size_t most) {
    for (unsigned char ch : utf8)
        if (ch < 0x20 || ch == 0x7F)
            throw Refused{field, 0, std::string(what) + "에 제어 문자를 쓸 수 없습니다"};
    std::string out;
    if (!Utf8ToCp949(utf8, &out))
        throw Refused{field, 0, std::string(what) + "에 CP949로 나타낼 수 없는 문자가 있습니다"};
    if (out.size() > most)
        throw Refused{field, 0,
                      std::string(what) + "은(는) CP949로 " + std::to_string(most) +
                          "바이트까지 쓸 수 있습니다"};
    return out;
}

void ApplyLine(const json& s, CConfigData* c) {
    const std::string port = Text(s, "port", "port", txt::IDS_PORT_RANGE);
    long long n = 0;
    if (port.size() < 4 || StrICmp(port.substr(0, 3).c_str(), "COM") != 0 ||
        port.find_first_not_of("0123456789", 3) != std::string::npos || port.size() > 6)
        throw Refused{"port", txt::IDS_PORT_RANGE, ""};
    n = std::stoll(port.substr(3));
    Check("port", CheckPort(n - 1));
    const int baud = line::BaudIndexOf(Whole(s, "baud", "baud", txt::IDS_BAUD_RANGE));
    Check("baud", CheckBaudRate(baud));
    const std::string parityName = Text(s, "parity", "parity", txt::IDS_PARITY_RANGE);
    int parity = -1;
    for (int i = 0; i < line::kParityCount; ++i)
        if (parityName == line::kParityNames[i]) parity = i;
    Check("parity", CheckParity(parity));
    const int dataBits =
        line::IndexIn(line::kDataBits, Whole(s, "data_bits", "data_bits", txt::IDS_DATABITS_RANGE));
    Check("data_bits", CheckDataBits(dataBits));
    const int stopBits =
        line::IndexIn(line::kStopBits, Whole(s, "stop_bits", "stop_bits", txt::IDS_STOPBITS_RANGE));
    Check("stop_bits", CheckStopBits(stopBits));
    const long long delay = Whole(s, "delay_ms", "delay_ms", txt::IDS_DELAY_RANGE);
    Check("delay_ms", CheckDelay(delay));
    // the dialogs take whole seconds
    const long long timeout = Whole(s, "timeout_ms", "timeout_ms", txt::IDS_TIMEOUT_RANGE);
    if (timeout % 1000 != 0) throw Refused{"timeout_ms", txt::IDS_TIMEOUT_RANGE, ""};
    Check("timeout_ms", CheckTimeoutSeconds(timeout / 1000));
    const long long retries = Whole(s, "retries", "retries", txt::IDS_RETRIES_RANGE);
    Check("retries", CheckRetries(retries));
    c->SetPort(static_cast<int>(n - 1));
    c->SetBaudRate(baud);
    c->SetParity(parity);
    c->SetDataBits(dataBits);
    c->SetStopBits(stopBits);
    c->SetDelay(static_cast<int>(delay));
    c->SetTimeout(static_cast<int>(timeout));
    c->SetRetries(static_cast<int>(retries));
}

// One station of the list, checked against those before it.
std::unique_ptr<CStationData> Station(const json& s, size_t i, const CConfigData& before) {
    const std::string at = "stations[" + std::to_string(i) + "].";
    if (!s.is_object()) throw Refused{at + "name", txt::IDS_NO_NAME, ""};
    const std::string name =
        ToCp949(s.contains("name") && s["name"].is_string() ? s["name"].get<std::string>() : "",
                at + "name", "이름", kMostNameBytes);
    const std::string description =
        ToCp949(s.contains("description") && s["description"].is_string()
                    ? s["description"].get<std::string>()
                    : "",
                at + "description", "설명", kMostDescriptionBytes);
    long long number = Whole(s, "number", at + "number", txt::IDS_NUMBER_RANGE);
    if (number < -2147483647LL || number > 2147483647LL) number = -1;
    const long long periodMs = Whole(s, "period_ms", at + "period_ms", txt::IDS_PERIOD_RANGE);
    if (periodMs < 0 || periodMs > 1000000000LL)
        throw Refused{at + "period_ms", txt::IDS_PERIOD_RANGE, ""};
    char period[32];
    std::snprintf(period, sizeof period, "%lld.%03lld", periodMs / 1000, periodMs % 1000);
    const CStationData* sameNumber = nullptr;
    for (const auto& other : before.Stations())
        if (other->GetStationNo() == number) sameNumber = other.get();
    int checkedMs = 0;
    StationField field;
    const int id =
        CheckStationEntry(StationEntry{name.c_str(), static_cast<int>(number), period}, nullptr,
                          before.FindStation(name.c_str()), sameNumber, &checkedMs, &field);
    const char* fieldName = field == StationField::name     ? "name"
                            : field == StationField::number ? "number"
                                                            : "period_ms";
    Check(at + fieldName, id);
    auto station = std::make_unique<CStationData>();
    station->SetName(name.c_str());
    station->SetDescription(description.c_str());
    station->SetStationNo(static_cast<int>(number));
    station->SetPollPeriod(checkedMs);
    return station;
}

}  // namespace

bool ApplySettingsJson(const json& settings, CConfigData* config, SettingsRefusal* refusal) {
    try {
        if (!settings.is_object()) throw Refused{"", 0, "the settings are not a JSON object"};
        ApplyLine(settings, config);
        auto list = settings.find("stations");
        if (list == settings.end() || !list->is_array())
            throw Refused{"stations", 0, "\"stations\" must be a list"};
        config->RemoveAllStations();
        for (size_t i = 0; i < list->size(); ++i)
            config->AddStation(Station((*list)[i], i, *config).release());
        return true;
    } catch (const Refused& r) {
        refusal->field = r.field;
        refusal->text = r.id ? DriverText(r.id) : r.text;
        return false;
    }
}

std::string FileEtag(const std::string& bytes) {
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, bytes.data(), bytes.size(), digest) != 0) return "";
    std::string hex;
    char two[3];
    for (unsigned char b : digest) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

std::string SettingsRulesJson() {
    auto range = [](const line::LineRange& r) { return json{{"low", r.low}, {"high", r.high}}; };
    json ports = json::array(), bauds = json::array(), parities = json::array();
    for (int i = 0; i < line::kPortCount; ++i) ports.push_back(line::PortName(i));
    for (int32_t b : line::kBaudRates) bauds.push_back(b);
    for (const char* p : line::kParityNames) parities.push_back(p);
    return JsonText(json{{"ports", ports},
                         {"baud_rates", bauds},
                         {"parities", parities},
                         {"data_bits", line::kDataBits},
                         {"stop_bits", line::kStopBits},
                         {"delay_ms", range(line::kDelayMs)},
                         {"timeout_s", range(line::kTimeoutSeconds)},
                         {"retries", range(line::kRetries)},
                         {"station_number", range(line::kStationNumber)},
                         {"period_s",
                          {{"low", line::kPollPeriodTenths.low / 10.0},
                           {"high", line::kPollPeriodTenths.high / 10.0}}}});
}
