// A channel's configuration file changed from the page: the JSON drvcfg
// shows read back into the file's object, every value through the same checks
// as the settings dialogs and drvcfg, refusals in their words; the file's tag
// for If-Match; the lists and ranges the page offers.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

class CConfigData;

struct SettingsRefusal {
    std::string field;  // "baud", "stations[2].number", ...
    std::string text;   // UTF-8, the dialogs' words
};

// Puts the JSON's line settings and station list into *config (loaded from
// the file, so that what the JSON does not hold stays): false with *refusal
// at the first value refused, *config then half changed (not to be saved).
bool ApplySettingsJson(const nlohmann::json& settings, CConfigData* config,
                       SettingsRefusal* refusal);

// The file's tag: a SHA-256 of its bytes, in hex.
std::string FileEtag(const std::string& bytes);

// {"ports", "baud_rates", "parities", "data_bits", "stop_bits", "delay_ms",
//  "timeout_s", "retries", "station_number", "period_s"}: the lists and the
// ranges ({"low", "high"}) of the settings, as the dialogs offer them.
std::string SettingsRulesJson();
