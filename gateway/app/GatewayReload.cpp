// A reload (SIGHUP): the file read again, the channels that changed stopped
// and made again (ChannelSet), the rest applied live or named as waiting for
// the next start.
#include <systemd/sd-daemon.h>

#include <algorithm>

#include "gateway/app/Gateway.h"
#include "gateway/core/Journal.h"
#include "gateway/opcua/OpcuaServer.h"
#include "gateway/mqtt/MqttBridge.h"
#include "gateway/web/WebServer.h"

struct Gateway::ReloadPlan {
    GatewayConfig fresh;
    ChannelSet::Next next;
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
        !m_channels.Plan(plan->fresh, &plan->next, &error)) {
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
    const std::vector<GatewayChannel*>& kept = plan->next.kept;
    for (auto& ch : m_channels.All())
        if (std::find(kept.begin(), kept.end(), ch.get()) == kept.end()) going.push_back(ch.get());
    m_reloading = true;
    m_channels.StopThen(going, [this, plan](bool ending) {
        m_reloading = false;
        if (!ending) FinishReload(*plan);
    });
}

void Gateway::FinishReload(ReloadPlan& plan) {
    const GatewayConfig& fresh = plan.fresh;
    m_channels.Swap(fresh, std::move(plan.next));
    m_config.ports = fresh.ports;
    m_config.channels = fresh.channels;
    // read_only holds from the next command on, whichever way it comes
    m_config.readOnly = fresh.readOnly;
    m_config.modbus.readOnly = fresh.modbus.readOnly;
    m_config.web.readOnly = fresh.web.readOnly;
    m_config.opcua.readOnly = fresh.opcua.readOnly;
    m_config.statusInterval = fresh.statusInterval;
    m_bridge->SetStatusInterval(fresh.statusInterval);
    std::string error;
    if (m_web) {
        // a renewed certificate, for the connections from now on
        if (!m_web->ReloadCertificate(&error))
            Journal(kError, "reload: web: " + error + "; the certificate in use stays");
        if (!m_web->ReloadUsers(&error))
            Journal(kError, "reload: web: " + error + "; the users in use stay");
    }
    if (m_opcua && !m_opcua->Reload(fresh, &error))
        Journal(kError, "reload: opcua: " + error + "; the users and the certificate in use stay");
    Journal(kInfo, "reloaded: " + std::to_string(m_channels.All().size()) + " channels");
    Remember(HistoryKind::gateway, "", "reload", "", "done",
             std::to_string(m_channels.All().size()) + " channels");
    sd_notify(0, "READY=1");
}
