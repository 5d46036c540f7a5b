// A channel's settings as the page sends them (JSON), put into a loaded
// configuration: refused at a field with a reason, or taken; what is taken
// saves and loads again.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "config/ConfigData.h"
#include "config/StationData.h"
#include "gateway/channel/ChannelSettings.h"
#include "platform/Archive.h"
#include "platform/File.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const nlohmann::json body = nlohmann::json::parse(
        std::string(reinterpret_cast<const char*>(data), size), nullptr, false);
    if (body.is_discarded()) return 0;
    CConfigData config;
    auto* s = new CStationData;
    s->SetName("P1");
    s->SetStationNo(1);
    config.AddStation(s);
    SettingsRefusal refused;
    if (!ApplySettingsJson(body, &config, &refused)) {
        if (refused.text.empty()) __builtin_trap();
        return 0;
    }
    CMemFile saved;
    CArchive ar(&saved, CArchive::store);
    config.Serialize(ar);
    ar.Close();
    CMemFile again(saved.Bytes());
    CConfigData reloaded;
    if (reloaded.LoadFrom(&again) != 0 || reloaded.GetStationCount() != config.GetStationCount())
        __builtin_trap();
    return 0;
}
