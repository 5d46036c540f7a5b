// A gateway channel's loading: the stations of the driver's file, its tags
// (every bit, or drvhost's tag list) and where each sits, the bounds of a
// write and of a pass.
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "config/ConfigData.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/core/Topics.h"
#include "platform/Encoding.h"
#include "platform/NoCase.h"

namespace {

std::string FileBytes(const std::string& path) {
    std::string bytes;
    ReadWholeFile(path, &bytes);  // (a file that cannot be read: empty)
    return bytes;
}

// The host's tag references of each channel's session, apart from every other's.
HostTagRef g_nextRefBase = 1u << 20;

}  // namespace

std::string GatewayChannel::FingerprintOf(const GatewayChannelConfig& c) {
    // (not the unit id: a channel moved to another one needs no restart)
    return c.name + '\0' + c.configPath + '\0' + c.tagsPath + '\0' + FileBytes(c.configPath) +
           '\0' + (c.tagsPath.empty() ? "" : FileBytes(c.tagsPath));
}

bool GatewayChannel::Load(std::string* error, const CConfigData* given) {
    m_fingerprint = FingerprintOf(m_config);
    CConfigData read;
    if (!given) {
        if (int rc = read.Load(m_config.configPath.c_str())) {
            *error = m_config.configWhere + ": " + m_config.configPath +
                     ": the driver cannot load it (code " + std::to_string(rc) + ")";
            return false;
        }
    }
    const CConfigData& config = given ? *given : read;
    m_port = config.GetPort() + 1;
    std::vector<HostTag> tags;
    if (!LoadStations(config, error)) return false;
    if (m_config.tagsPath.empty())
        tags = EveryBit();
    else if (!LoadTagList(&tags, error))
        return false;
    PlaceTags(tags);
    SetBounds(config);
    m_session.reset(
        new CHostSession(m_driver, m_config.configPath, std::move(tags), g_nextRefBase));
    g_nextRefBase += 1u << 20;
    return true;
}

bool GatewayChannel::LoadStations(const CConfigData& config, std::string* error) {
    const std::string where = m_config.configWhere + ": " + m_config.configPath + ": station \"";
    for (const auto& s : config.Stations()) {
        Station st;
        st.cp949 = s->GetName().Str();
        st.name = Cp949ToUtf8(st.cp949);
        st.number = s->GetStationNo();
        if (!IsTopicLevel(st.name)) {
            *error = where + st.name + "\" cannot be a topic level";
            return false;
        }
        // its bits' topics would be taken for the channel's own (station commands)
        if (topic::TagNameClashes(st.name + "/I0")) {
            *error = where + st.name + "\" is a name the channel's own topics use: rename it";
            return false;
        }
        m_stations.push_back(st);
    }
    return true;
}

std::vector<HostTag> GatewayChannel::EveryBit() const {
    std::vector<HostTag> tags;
    for (const Station& st : m_stations) {
        for (const char* kind : {"I", "O"}) {
            for (int bit = 0; bit < 8; ++bit) {
                HostTag t;
                t.name = st.name + "/" + kind + std::to_string(bit);
                t.device = "gw." + st.cp949;  // the driver takes what follows the first '.'
                t.address = kind + std::to_string(bit);
                t.place.kind = kind[0];
                t.place.bit = bit;
                tags.push_back(t);
            }
        }
    }
    return tags;
}

bool GatewayChannel::LoadTagList(std::vector<HostTag>* tags, std::string* error) const {
    const std::string where = m_config.tagsWhere + ": " + m_config.tagsPath + ": ";
    std::vector<std::string> lines;
    if (!ReadTagFile(m_config.tagsPath, &lines)) {
        *error = where + "cannot be read";
        return false;
    }
    std::set<std::string> names;
    for (const std::string& line : lines) {
        HostTag t;
        if (!ParseTagLine(line, &t)) {
            *error = where + "\"" + line + "\" is not NAME=DEVICE:ADDRESS";
            return false;
        }
        if (!IsTopicLevel(t.name, true) || topic::TagNameClashes(t.name)) {
            *error = where + "tag \"" + t.name + "\" cannot be a topic";
            return false;
        }
        if (!names.insert(t.name).second) {
            *error = where + "tag \"" + t.name + "\" is named twice";
            return false;
        }
        tags->push_back(t);
    }
    return true;
}

void GatewayChannel::PlaceTags(const std::vector<HostTag>& tags) {
    for (const HostTag& t : tags) {
        m_isOutput.push_back(t.place.IsOutput());
        // the station as the driver finds it: what follows the device name's first '.'
        const size_t dot = t.device.find('.');
        const std::string station = dot == std::string::npos ? t.device : t.device.substr(dot + 1);
        int position = -1;
        for (size_t i = 0; i < m_stations.size() && position < 0; ++i)
            if (StrICmp(m_stations[i].cp949.c_str(), station.c_str()) == 0)
                position = static_cast<int>(i);
        // (an address the driver refuses places the tag nowhere)
        m_tagStation.push_back(t.place.kind ? position : -1);
        m_tagBit.push_back(t.place.bit);
    }
}

void GatewayChannel::SetBounds(const CConfigData& config) {
    // A pass in which every station serves a write with all its retries and
    // then polls, every transaction running out its time-out, is the longest;
    // a write taken has been served within two of them.
    const int64_t timeout = config.GetTimeout() >= 1 ? config.GetTimeout() : 5000;
    const int64_t retries = std::max(0, config.GetRetries());
    const int64_t delay = std::max(0, config.GetDelay());
    const int64_t pass =
        static_cast<int64_t>(m_stations.size()) * ((retries + 2) * timeout + delay + 100) + 50;
    m_writeBound = std::chrono::milliseconds(2 * pass + 5000);
    m_retries = static_cast<int>(retries);
    m_commandBound = std::chrono::milliseconds((retries + 1) * (timeout + 200) + 2000);
    int64_t period = 0;
    for (const auto& s : config.Stations())
        period = std::max<int64_t>(period, std::max(0, s->GetPollPeriod()));
    m_stallLimit = std::chrono::milliseconds(3 * pass + period + 10000);
}
