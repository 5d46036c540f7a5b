#include "gateway/channel/ChannelSet.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "channel/Rs485.h"
#include "config/LineSettings.h"
#include "gateway/core/Journal.h"
#include "host/DriverTable.h"
#include "host/HostSession.h"

namespace {

// Without systemd's runtime directory, the port links go to a folder of the
// gateway's own: /tmp/drvgw.<pid>.XXXXXX.
const char kLinkFolderStem[] = "/tmp/drvgw.";

// The link folders of gateways that were killed: this user's, named for a
// process that is gone.
void RemoveStaleLinkFolders() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, 6, "drvgw.") != 0) continue;
        const size_t dot = name.find('.', 6);
        if (dot == std::string::npos || dot == 6 || name.find_first_not_of("0123456789", 6) != dot)
            continue;
        struct stat st;
        if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::getuid())
            continue;
        const long pid = std::strtol(name.c_str() + 6, nullptr, 10);
        if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
            std::filesystem::remove_all(entry.path(), ec);
            Journal(kInfo, "removed the stale link folder " + entry.path().string());
        }
    }
}

// A port as the configuration gives it (a default one where it says nothing).
GatewayPortConfig PortOf(const std::map<int, GatewayPortConfig>& ports, int port) {
    auto it = ports.find(port);
    return it == ports.end() ? GatewayPortConfig{} : it->second;
}

}  // namespace

ChannelSet::ChannelSet(GatewaySink& sink) : m_sink(sink) {}

ChannelSet::~ChannelSet() {
    // (the channels before the driver they run on)
    m_channels.clear();
    m_retired.clear();
    m_driver.reset();
    if (m_ownLinkFolder) std::filesystem::remove_all(m_linkFolder);
}

bool ChannelSet::Open(const GatewayConfig& config, std::string* error) {
    m_ports = config.ports;
    if (!PlacePortLinks(m_ports, error)) return false;
    m_driver.reset(new DriverTable);
    if (!m_driver->Loaded()) {
        *error = m_driver->Error();
        return false;
    }
    return true;
}

bool ChannelSet::Add(const std::vector<GatewayChannelConfig>& channels, std::string* error) {
    for (const GatewayChannelConfig& c : channels)
        if (!AddOne(c, &m_channels, error)) return false;
    return true;
}

bool ChannelSet::StartAll(std::string* error) {
    for (auto& ch : m_channels) {
        if (!ch->Start(error)) return false;
        if (!ch->PortRefused())
            Journal(kInfo, ch->Name() + ": started (" + std::to_string(ch->Stations().size()) +
                               " stations, " + std::to_string(ch->Tags().size()) + " tags)");
    }
    return true;
}

bool ChannelSet::AddOne(const GatewayChannelConfig& c, Channels* into, std::string* error) {
    into->emplace_back(new GatewayChannel(*m_driver, c, m_nextIndex++, m_sink));
    into->back()->SetPortPreparation(
        [this](int port, std::string* why) { return PreparePort(port, why); });
    return into->back()->Load(error);
}

bool ChannelSet::PreparePort(int port, std::string* why) const {
    auto it = m_ports.find(port);
    if (it == m_ports.end() || !it->second.rs485.enabled) return true;
    if (ApplyRs485(it->second.device, it->second.rs485, why)) return true;
    *why = "COM" + std::to_string(port) + ": " + *why;
    return false;
}

bool ChannelSet::PlacePortLinks(const std::map<int, GatewayPortConfig>& ports, std::string* error) {
    if (m_linkFolder.empty()) {
        const char* runtime = std::getenv("RUNTIME_DIRECTORY");  // systemd's RuntimeDirectory=
        if (runtime && *runtime) {
            m_linkFolder = std::string(runtime).substr(0, std::string(runtime).find(':'));
        } else {
            RemoveStaleLinkFolders();
            std::string name =
                std::string(kLinkFolderStem) + std::to_string(::getpid()) + ".XXXXXX";
            std::vector<char> folder(name.begin(), name.end());
            folder.push_back('\0');
            if (!::mkdtemp(folder.data())) {
                *error = "cannot make a folder for the port links";
                return false;
            }
            m_linkFolder = folder.data();
            m_ownLinkFolder = true;
        }
        ::setenv("KRANDOLIX_DOSDEVICES", m_linkFolder.c_str(), 1);
    }
    for (int n = 1; n <= line::kPortCount; ++n) {
        const std::string link = m_linkFolder + "/com" + std::to_string(n);
        auto it = ports.find(n);
        ::unlink(link.c_str());
        if (it != ports.end() && ::symlink(it->second.device.c_str(), link.c_str()) != 0) {
            *error = "cannot place the link " + link;
            return false;
        }
    }
    return true;
}

GatewayChannel* ChannelSet::Find(const std::string& name) const {
    for (auto& ch : m_channels)
        if (ch->Name() == name) return ch.get();
    return nullptr;
}

GatewayChannel* ChannelSet::OfEvent(int caller, uint64_t thread) const {
    for (auto& ch : m_channels) {
        const auto& scans = ch->ScanThreads();
        if (caller >= 0 ? ch->Index() == caller
                        : std::find(scans.begin(), scans.end(), thread) != scans.end())
            return ch.get();
    }
    return nullptr;
}

void ChannelSet::TakeValue(const HostEvent& e) {
    for (auto& ch : m_channels)
        if (ch->TakeValue(e)) return;
}

void ChannelSet::Changed() {
    if (m_changed) m_changed(m_channels);
}

void ChannelSet::StopThen(std::vector<GatewayChannel*> channels, std::function<void(bool)> then) {
    for (GatewayChannel* ch : channels) ch->BeginStop();
    // (followed in the loop's next pass, never from inside the caller)
    m_stops.push_back(PendingStop{std::move(channels), std::move(then)});
}

void ChannelSet::Tend() {
    // (what a continuation starts is looked at in the next pass)
    std::vector<PendingStop> ready;
    for (auto it = m_stops.begin(); it != m_stops.end();) {
        bool all = true;
        for (GatewayChannel* ch : it->channels) all = ch->StopEnded() && all;
        if (all) {
            ready.push_back(std::move(*it));
            it = m_stops.erase(it);
        } else {
            ++it;
        }
    }
    for (PendingStop& p : ready) p.then(false);
}

void ChannelSet::EndStops() {
    std::vector<PendingStop> stops;
    stops.swap(m_stops);
    for (PendingStop& p : stops) {
        for (GatewayChannel* ch : p.channels) ch->Stop();
        p.then(true);
    }
}

void ChannelSet::Restart(GatewayChannel* old,
                         std::function<void(bool started, const std::string& error)> done) {
    auto placeOf = [this](GatewayChannel* ch) {
        return std::find_if(m_channels.begin(), m_channels.end(),
                            [ch](const auto& c) { return c.get() == ch; });
    };
    if (placeOf(old) == m_channels.end()) {
        done(false, "the channel is gone");
        return;
    }
    Channels made;
    std::string error;
    if (!AddOne(old->Config(), &made, &error)) {
        done(false, error);
        return;
    }
    auto next = std::make_shared<std::unique_ptr<GatewayChannel>>(std::move(made.front()));
    StopThen({old}, [this, old, next, done, placeOf](bool ending) {
        if (ending) {
            done(false, "the gateway is stopping");
            return;
        }
        auto at = placeOf(old);
        if (at == m_channels.end()) {
            done(false, "the channel is gone");
            return;
        }
        std::string why;
        const bool started = (*next)->Start(&why);
        m_retired.push_back(std::move(*at));
        *at = std::move(*next);
        Changed();
        done(started, why);
    });
}

bool ChannelSet::Plan(const GatewayConfig& fresh, Next* next, std::string* error) {
    for (const GatewayChannelConfig& c : fresh.channels) {
        GatewayChannel* same = Find(c.name);
        // (kept when nothing of it changed, its port's settings neither; one
        // whose port was refused is tried again)
        if (same && !same->PortRefused() &&
            same->Fingerprint() == GatewayChannel::FingerprintOf(c) &&
            PortOf(fresh.ports, same->Port()) == PortOf(m_ports, same->Port())) {
            next->kept.push_back(same);
            next->made.emplace_back(nullptr);
            continue;
        }
        if (!AddOne(c, &next->made, error)) return false;
    }
    return true;
}

void ChannelSet::Swap(const GatewayConfig& fresh, Next next) {
    m_ports = fresh.ports;
    for (size_t i = 0, k = 0; i < fresh.channels.size(); ++i)
        if (!next.made[i]) next.kept[k++]->SetUnitId(fresh.channels[i].unitId);
    // what went (stopped by now), then what comes
    for (auto& ch : m_channels) {
        if (std::find(next.kept.begin(), next.kept.end(), ch.get()) != next.kept.end()) continue;
        ch->Stop();  // (ended already: this only makes sure)
        Journal(kInfo, ch->Name() + ": stopped by the reload");
        m_retired.push_back(std::move(ch));
    }
    std::string error;
    if (!PlacePortLinks(m_ports, &error)) Journal(kError, "reload: " + error);
    size_t k = 0;
    for (auto& slot : next.made) {
        if (!slot) {
            for (auto& ch : m_channels)
                if (ch && ch.get() == next.kept[k]) slot = std::move(ch);
            ++k;
        } else if (!slot->Start(&error)) {
            Journal(kError, "reload: " + error);
        } else if (!slot->PortRefused()) {
            Journal(kInfo, slot->Name() + ": started by the reload");
        }
    }
    m_channels = std::move(next.made);
    Changed();
}
