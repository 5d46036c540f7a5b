// The gateway's channels: those running, in the configuration's order, and
// those a reload or a restart took out (stopped, kept until the driver
// unloads, for a scan thread may still be reporting through their session);
// where the COM ports lead (a folder of links the driver opens); and the
// changes of channels under way, each waiting for slot 5 on threads of its
// own. All on the gateway's loop.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/channel/GatewayChannel.h"
#include "gateway/config/GatewayConfig.h"

class DriverTable;
struct HostEvent;

class ChannelSet {
public:
    using Channels = std::vector<std::unique_ptr<GatewayChannel>>;

    explicit ChannelSet(GatewaySink& sink);
    ~ChannelSet();

    // Where the ports lead, before the driver is loaded (it reads the
    // folder's name at its start), then the driver: false with *error.
    bool Open(const GatewayConfig& config, std::string* error);
    DriverTable& Driver() { return *m_driver; }
    // Every channel of the configuration made and loaded, then started.
    bool Add(const std::vector<GatewayChannelConfig>& channels, std::string* error);
    bool StartAll(std::string* error);
    // Told whenever the running channels change (a reload, a restart).
    void OnChange(std::function<void(const Channels&)> changed) { m_changed = std::move(changed); }

    const Channels& All() const { return m_channels; }
    GatewayChannel* Find(const std::string& name) const;
    // The channel a host event is from: by its caller index, else by the
    // scan thread that wrote it; null for none.
    GatewayChannel* OfEvent(int caller, uint64_t thread) const;
    void TakeValue(const HostEvent& e);

    // The channels stopped, each by slot 5 on a thread of its own (it waits
    // for a pass in progress: seconds with silent stations, and the loop
    // goes on meanwhile), then `then` on the loop once all have; `then` is
    // told true when the gateway ends first. Tend looks at them each pass.
    void StopThen(std::vector<GatewayChannel*> channels, std::function<void(bool ending)> then);
    void Tend();
    // The gateway ending: every stop waited for, each `then` told so.
    void EndStops();
    bool Stopping() const { return !m_stops.empty(); }

    // The channel made again from its files and started in its place once it
    // has stopped; then `done` (started, or why not).
    void Restart(GatewayChannel* old,
                 std::function<void(bool started, const std::string& error)> done);

    // A reload in two steps: the channels the fresh configuration makes
    // (a null place where one is kept as it is), and once the others have
    // stopped, the change (the ports first, so that what starts now makes
    // its port ready with them).
    struct Next {
        Channels made;
        std::vector<GatewayChannel*> kept;
    };
    bool Plan(const GatewayConfig& fresh, Next* next, std::string* error);
    void Swap(const GatewayConfig& fresh, Next next);

private:
    bool AddOne(const GatewayChannelConfig& c, Channels* into, std::string* error);
    // Before a channel's port is opened: its RS-485 mode, if [ports] asks for it.
    bool PreparePort(int port, std::string* why) const;
    bool PlacePortLinks(const std::map<int, GatewayPortConfig>& ports, std::string* error);
    void Changed();

    GatewaySink& m_sink;
    std::unique_ptr<DriverTable> m_driver;
    std::map<int, GatewayPortConfig> m_ports;
    Channels m_channels;
    Channels m_retired;
    int m_nextIndex = 0;
    std::string m_linkFolder;
    bool m_ownLinkFolder = false;
    struct PendingStop {
        std::vector<GatewayChannel*> channels;
        std::function<void(bool ending)> then;
    };
    std::vector<PendingStop> m_stops;
    std::function<void(const Channels&)> m_changed;
};
