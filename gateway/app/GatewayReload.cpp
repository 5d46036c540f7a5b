// A reload (SIGHUP) and where the COM ports lead: the part of the gateway
// that changes its channels while it runs.
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "config/LineSettings.h"
#include "gateway/app/Gateway.h"
#include "gateway/core/Journal.h"
#include "gateway/mqtt/MqttBridge.h"
#include "gateway/web/WebServer.h"

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
GatewayPortConfig PortOf(const GatewayConfig& config, int port) {
    auto it = config.ports.find(port);
    return it == config.ports.end() ? GatewayPortConfig{} : it->second;
}

}  // namespace

bool Gateway::PlacePortLinks(const GatewayConfig& config, std::string* error) {
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
        auto it = config.ports.find(n);
        ::unlink(link.c_str());
        if (it != config.ports.end() && ::symlink(it->second.device.c_str(), link.c_str()) != 0) {
            *error = "cannot place the link " + link;
            return false;
        }
    }
    return true;
}

struct Gateway::ReloadPlan {
    GatewayConfig fresh;
    std::vector<std::unique_ptr<GatewayChannel>> next;
    std::vector<GatewayChannel*> kept;
};

void Gateway::Reload() {
    if (ChangingChannels()) {  // (after what is under way)
        m_reloadAgain = true;
        return;
    }
    sd_notify(0, "RELOADING=1");
    auto plan = std::make_shared<ReloadPlan>();
    std::string error;
    if (!LoadGatewayConfig(m_config.path, &plan->fresh, &error) ||
        !NextChannels(plan->fresh, &plan->next, &plan->kept, &error)) {
        Journal(kError, "reload refused: " + error + "; the running configuration stays");
        Remember(HistoryKind::gateway, "", "reload", "", "refused", error);
        sd_notify(0, "READY=1");
        return;
    }
    const std::vector<std::string> later = TablesNeedingRestart(m_config, plan->fresh);
    if (!later.empty()) {
        std::string tables;
        for (const std::string& t : later) tables += (tables.empty() ? "" : ", ") + t;
        Journal(kWarning, "reload: what changed in " + tables +
                              " takes effect at the next start (the rest is applied now)");
    }
    // what goes is stopped first; the rest follows once it has
    std::vector<GatewayChannel*> going;
    for (auto& ch : m_channels) {
        if (std::find(plan->kept.begin(), plan->kept.end(), ch.get()) != plan->kept.end()) continue;
        ch->BeginStop();
        going.push_back(ch.get());
    }
    m_reloading = true;
    StopThen(going, [this, plan](bool ending) {
        m_reloading = false;
        if (!ending) FinishReload(*plan);
    });
}

void Gateway::FinishReload(ReloadPlan& plan) {
    const GatewayConfig& fresh = plan.fresh;
    // (the ports first: the channels started now make theirs ready with them)
    m_config.ports = fresh.ports;
    SwapChannels(fresh, std::move(plan.next), plan.kept);
    m_config.channels = fresh.channels;
    // read_only holds from the next command on, whichever way it comes
    m_config.readOnly = fresh.readOnly;
    m_config.modbus.readOnly = fresh.modbus.readOnly;
    m_config.web.readOnly = fresh.web.readOnly;
    m_config.statusInterval = fresh.statusInterval;
    m_bridge->SetStatusInterval(fresh.statusInterval);
    std::string error;
    if (m_web) {
        m_web->SetChannels(m_channels);
        // a renewed certificate, for the connections from now on
        if (!m_web->ReloadCertificate(&error))
            Journal(kError, "reload: web: " + error + "; the certificate in use stays");
        if (!m_web->ReloadUsers(&error))
            Journal(kError, "reload: web: " + error + "; the users in use stay");
    }
    Journal(kInfo, "reloaded: " + std::to_string(m_channels.size()) + " channels");
    Remember(HistoryKind::gateway, "", "reload", "", "done",
             std::to_string(m_channels.size()) + " channels");
    sd_notify(0, "READY=1");
}

void Gateway::StopThen(std::vector<GatewayChannel*> channels, std::function<void(bool)> then) {
    for (GatewayChannel* ch : channels) ch->BeginStop();
    // (followed in the loop's next pass, never from inside the caller)
    m_stops.push_back(PendingStop{std::move(channels), std::move(then)});
}

void Gateway::TendStops() {
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
    if (m_reloadAgain && !ChangingChannels()) {
        m_reloadAgain = false;
        Reload();
    }
}

void Gateway::EndStops() {
    std::vector<PendingStop> stops;
    stops.swap(m_stops);
    for (PendingStop& p : stops) {
        for (GatewayChannel* ch : p.channels) ch->Stop();
        p.then(true);
    }
}

bool Gateway::NextChannels(const GatewayConfig& fresh,
                           std::vector<std::unique_ptr<GatewayChannel>>* next,
                           std::vector<GatewayChannel*>* kept, std::string* error) {
    // the new list, each channel kept (a null place) when nothing of it changed
    for (const GatewayChannelConfig& c : fresh.channels) {
        GatewayChannel* same = FindChannel(c.name);
        // (kept when nothing of it changed, its port's settings neither; one
        // whose port was refused is tried again)
        if (same && !same->PortRefused() &&
            same->Fingerprint() == GatewayChannel::FingerprintOf(c) &&
            PortOf(fresh, same->Port()) == PortOf(m_config, same->Port())) {
            kept->push_back(same);
            next->emplace_back(nullptr);
            continue;
        }
        if (!AddChannel(c, next, error)) return false;
    }
    return true;
}

void Gateway::SwapChannels(const GatewayConfig& fresh,
                           std::vector<std::unique_ptr<GatewayChannel>> next,
                           const std::vector<GatewayChannel*>& kept) {
    for (size_t i = 0, k = 0; i < fresh.channels.size(); ++i)
        if (!next[i]) kept[k++]->SetUnitId(fresh.channels[i].unitId);
    // what went (stopped by now), then what comes
    for (auto& ch : m_channels) {
        if (std::find(kept.begin(), kept.end(), ch.get()) != kept.end()) continue;
        ch->Stop();  // (ended already: this only makes sure)
        Journal(kInfo, ch->Name() + ": stopped by the reload");
        m_retired.push_back(std::move(ch));
    }
    std::string error;
    if (!PlacePortLinks(fresh, &error)) Journal(kError, "reload: " + error);
    size_t k = 0;
    for (auto& slot : next) {
        if (!slot) {
            for (auto& ch : m_channels)
                if (ch && ch.get() == kept[k]) slot = std::move(ch);
            ++k;
        } else if (!slot->Start(&error)) {
            Journal(kError, "reload: " + error);
        } else if (!slot->PortRefused()) {
            Journal(kInfo, slot->Name() + ": started by the reload");
        }
    }
    m_channels = std::move(next);
}
