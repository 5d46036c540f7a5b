#include "gateway/app/Gateway.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "gateway/app/ScanRunner.h"
#include "gateway/core/Journal.h"
#include "gateway/metrics/MetricsServer.h"
#include "gateway/modbus/ModbusServer.h"
#include "gateway/opcua/OpcuaServer.h"
#include "gateway/sparkplug/SparkplugNode.h"
#include "gateway/mqtt/MqttBridge.h"
#include "gateway/web/WebServer.h"
#include "host/HostSession.h"

using namespace std::chrono;

namespace {

const milliseconds kTickPeriod(250);

void WakeFd(void* context) {
    uint64_t one = 1;
    (void)!::write(static_cast<int>(reinterpret_cast<intptr_t>(context)), &one, sizeof one);
}

}  // namespace

Gateway::Gateway(GatewayConfig config) : m_config(std::move(config)) {}

Gateway::~Gateway() {
    // every part that may wake the loop gone before its descriptor is closed
    HostEvents::SetWake(nullptr, nullptr);
    m_scans.reset();
    m_web.reset();
    m_bridge.reset();
    if (m_wakeFd >= 0) ::close(m_wakeFd);
    if (m_signalFd >= 0) ::close(m_signalFd);
}

int Gateway::Run() {
    std::string error;
    if (!Begin(&error)) {
        Journal(kError, error);
        End();
        return 2;
    }
    sd_notify(0, "READY=1");
    Journal(kInfo, "running " + std::to_string(m_channels.All().size()) + " channels for " +
                       m_config.topicPrefix);
    Remember(HistoryKind::gateway, "", "start", "", "",
             std::to_string(m_channels.All().size()) + " channels");
    Loop();
    sd_notify(0, "STOPPING=1");
    Journal(kInfo, "stopping");
    End();
    return 0;
}

bool Gateway::Begin(std::string* error) {
    // the signals arrive as readable data, on this thread only
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    m_signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    if (!m_channels.Open(m_config, error)) return false;
    HostEvents::Install();
    HostEvents::SetWake(&WakeFd, reinterpret_cast<void*>(static_cast<intptr_t>(m_wakeFd)));
    const int wakeFd = m_wakeFd;
    auto wake = [wakeFd] { WakeFd(reinterpret_cast<void*>(static_cast<intptr_t>(wakeFd))); };
    m_bridge.reset(new MqttBridge(m_config, wake));
    m_sinks.Add(m_bridge.get());
    m_writeCounts.SetKnown([this](const std::string& c) { return m_channels.Find(c) != nullptr; });
    m_sinks.Add(&m_writeCounts);
    // (recorded before the page is told: a write is in the history by the
    // time its answer leaves)
    if (!StartHistory(error)) return false;
    if (m_config.web.enabled) {
        m_web.reset(new WebServer(m_config.web, m_config.id, wake));
        m_web->SetHistory(m_history.get());
        m_sinks.Add(m_web.get());
        m_scans.reset(new ScanRunner(
            m_channels, *m_web,
            [this](HistoryKind kind, const std::string& channel, const std::string& state,
                   const std::string& who, const std::string& result, const std::string& detail) {
                Remember(kind, channel, state, who, result, detail);
            }));
    }
    if (m_config.opcua.enabled) {
        // (told before the channels start: it takes what they have from their descriptions)
        m_opcua.reset(new OpcuaServer(m_config, wake));
        m_sinks.Add(m_opcua.get());
    }
    if (m_config.sparkplug.enabled) {
        m_sparkplug.reset(new SparkplugNode(m_config, wake));
        m_sinks.Add(m_sparkplug.get());
    }
    m_channels.OnChange([this](const ChannelSet::Channels& now) {
        if (m_web) m_web->SetChannels(now);
        std::set<std::string> names;
        for (const auto& ch : now) names.insert(ch->Name());
        if (m_opcua) m_opcua->KeepChannels(names);
        if (m_sparkplug) m_sparkplug->KeepChannels(names);
    });
    if (!m_channels.Add(m_config.channels, error)) return false;
    if (!m_bridge->Start(error) || !m_channels.StartAll(error)) return false;
    if (m_web) {
        // the page is served once it knows the channels
        m_web->SetChannels(m_channels.All());
        if (!m_web->Start(error)) return false;
        Journal(kInfo, std::string("web page on ") + (m_config.web.Tls() ? "https" : "http") +
                           "://" + m_config.web.listen + ":" + std::to_string(m_config.web.port) +
                           "/");
    }
    if (m_config.modbus.enabled) {
        m_modbus.reset(new ModbusServer(m_config.modbus, *this));
        if (!m_modbus->Start(error)) return false;
    }
    if (m_opcua && !m_opcua->Start(error)) return false;
    if (m_sparkplug && !m_sparkplug->Start(error)) return false;
    if (m_config.metrics.enabled) {
        m_metrics.reset(new MetricsServer(m_config.metrics));
        PublishMetrics();
        if (!m_metrics->Start(error)) return false;
        Journal(kInfo, "metrics on http://" + m_config.metrics.listen + ":" +
                           std::to_string(m_config.metrics.port) + "/metrics");
    }
    sd_watchdog_enabled(0, &m_watchdogUsec);
    const auto start = steady_clock::now();
    m_nextTick = start;
    m_nextRetell = start + seconds(m_config.statusInterval);
    m_nextWatchdog = start;
    return true;
}

// Whatever Begin got to, in reverse: the page, the channels that started,
// what they still had to tell, the broker.
void Gateway::End() {
    m_metrics.reset();
    m_modbus.reset();
    if (m_opcua) {
        m_opcua->Stop();
        m_sinks.Remove(m_opcua.get());
    }
    m_channels.EndStops();  // (what they answer goes out before the page stops)
    if (m_web) {
        m_scans->End();
        m_web->Stop();
    }
    for (auto& ch : m_channels.All())
        if (ch->Handle() >= 0) ch->Stop();
    TakeHostEvents();
    Remember(HistoryKind::gateway, "", "stop");
    if (m_sparkplug) {
        m_sparkplug->Stop();  // (after the channels: their devices' deaths went first)
        m_sinks.Remove(m_sparkplug.get());
    }
    if (m_bridge) m_bridge->Stop();
    // the recorder first: nothing may reach a history that is gone
    m_sinks.Remove(m_recorder.get());
    m_recorder.reset();
    m_history.reset();  // (what waits is written first)
}

void Gateway::Loop() {
    bool stop = false;
    while (!stop) {
        auto now = steady_clock::now();
        const auto wakeAt = m_web ? std::min(m_nextTick, m_web->FlushDue()) : m_nextTick;
        int timeout = static_cast<int>(
            std::max<int64_t>(0, duration_cast<milliseconds>(wakeAt - now).count() + 1));
        // (one list, kept: a Modbus client's request is a pass of its own)
        std::vector<pollfd>& fds = m_pollFds;
        fds.assign({{m_wakeFd, POLLIN, 0}, {m_signalFd, POLLIN, 0}});
        if (m_modbus) m_modbus->AddPollFds(&fds);
        ::poll(fds.data(), fds.size(), timeout);
        if (fds[0].revents & POLLIN) {
            uint64_t n;
            (void)!::read(m_wakeFd, &n, sizeof n);
        }
        // a request waiting on its socket is answered first (from the values
        // as the last pass left them); the rest of the pass is not its wait
        if (m_modbus) m_modbus->Serve(fds.data() + 2, fds.size() - 2, m_channels.All());
        signalfd_siginfo si;
        while ((fds[1].revents & POLLIN) && ::read(m_signalFd, &si, sizeof si) == sizeof si) {
            if (si.ssi_signo == SIGHUP)
                Reload();
            else
                stop = true;
        }
        TakeHostEvents();
        if (m_channels.Stopping()) {
            m_channels.Tend();
            if (m_reloadAgain && !ChangingChannels()) {
                m_reloadAgain = false;
                Reload();
            }
        }
        m_bridge->ServeCommands(*this);
        if (m_opcua) m_opcua->ServeCommands(*this);
        if (m_sparkplug) m_sparkplug->Serve(*this);
        ServeWeb();
        now = steady_clock::now();
        if (m_web && now >= m_web->FlushDue()) m_web->Flush();
        if (m_bridge->TakeConnectedAgain()) {
            for (auto& ch : m_channels.All()) ch->RetellAll();
        }
        if (now >= m_nextTick) {
            m_nextTick = now + kTickPeriod;
            for (auto& ch : m_channels.All()) ch->Tick(now);
            TakeHostEvents();
            if (m_scans && m_scans->Any()) m_scans->Tend();
            WatchHistory(now);
            if (now >= m_nextMetrics) {
                m_nextMetrics = now + seconds(1);
                PublishMetrics();
                if (m_opcua)
                    for (auto& ch : m_channels.All()) m_opcua->OnReopens(ch->Name(), ch->Reopens());
            }
            if (m_web) {
                m_web->SetBroker(m_bridge->Connected());
                if (now >= m_nextWebRefresh) {
                    m_nextWebRefresh = now + seconds(1);
                    m_web->RefreshStations(m_channels.All());
                }
            }
            if (now >= m_nextRetell) {
                m_nextRetell = now + seconds(m_config.statusInterval);
                for (auto& ch : m_channels.All()) ch->RetellStates();
            }
            if (now >= m_nextTrim) {
                // what a burst took (a reconnection's retold values, a reload's
                // second set of channels) goes back to the system, not kept as the
                // heap's high-water mark for the months that follow
                m_nextTrim = now + seconds(60);
#ifdef __GLIBC__
                ::malloc_trim(0);
#endif
            }
            Notify(now);
        }
        // (what the tick's host events changed leaves in this pass, not the next)
        if (m_sparkplug) m_sparkplug->Serve(*this);
    }
}

void Gateway::TakeHostEvents() {
    for (HostEvent& e : HostEvents::Take()) {
        if (e.kind == HostEvent::value) {
            m_channels.TakeValue(e);
        } else if (e.kind == HostEvent::log) {
            const bool fault = e.code == kLogFault;
            if (GatewayChannel* ch = m_channels.OfEvent(e.caller, e.thread)) {
                ch->Log(fault, e.text);
            } else {
                Journal(fault ? kWarning : kInfo, e.text);
            }
        } else {
            Journal(kError, "host: " + e.text + " (" + std::to_string(e.code) + ")");
        }
    }
}

bool Gateway::ReadOnly(Origin origin) const {
    switch (origin) {
        case Origin::modbus:
            return m_config.modbus.readOnly;
        case Origin::web:
            return m_config.web.readOnly;
        case Origin::opcua:
            return m_config.opcua.readOnly;
        case Origin::sparkplug:
            return m_config.sparkplug.readOnly;
        case Origin::mqtt:
            break;
    }
    return m_config.readOnly;
}

bool Gateway::WriteBusy(const std::string& channel, const std::string& tag) {
    GatewayChannel* ch = m_channels.Find(channel);
    return ch && ch->WriteBusy(tag);
}

CommandReply Gateway::Execute(GatewayCommand& c) {
    c.ticket.id = m_nextTicket++;
    CommandReply reply;
    reply.ticket = c.ticket.id;
    GatewayChannel* ch = m_channels.Find(c.channel);
    const std::string what = SenderText(c.ticket) + ": " +
                             (c.kind == GatewayCommand::station ? "station " : "write ") +
                             c.channel + "/" + c.target;
    if (c.refused != Refusal::none) {
        reply.why = c.refused;
        reply.detail = c.refusedDetail;
    } else if (ReadOnly(c.ticket.origin)) {
        reply.why = Refusal::readOnly;
    } else if (!ch) {
        reply.why = Refusal::unknownChannel;
    } else if (ch->Reopening()) {
        reply.why = Refusal::driver;
        reply.detail = "the channel's port is being reopened";
    } else if (m_scans && m_scans->Scanning(c.channel)) {
        reply.why = Refusal::driver;
        reply.detail = "the channel's line is being scanned";
    } else if (ch->Stopping()) {
        reply.why = Refusal::driver;
        reply.detail = "the channel is being stopped (a reload or a settings save)";
    } else if (c.kind == GatewayCommand::station) {
        StationAction action = StationAction::reset;
        if (!ch->HasStation(c.target)) {
            reply.why = Refusal::unknownTarget;
        } else if (!StationActionOf(c.payload, &action)) {
            reply.why = Refusal::command;
        } else if (!ch->StationCommand(c.target, action)) {
            reply.why = Refusal::unknownTarget;
        } else {
            reply.result = WriteResult::done;
            ch->Tick(steady_clock::now());
        }
    } else if (!ch->HasTag(c.target)) {
        reply.why = Refusal::unknownTarget;
    } else {
        std::string request;
        if (!WritePayloadMeansOne(c.payload, &request, &reply.detail))
            reply.why = Refusal::payload;
        else
            reply = ch->Write(c.target, c.ticket);
    }
    // who, what and the outcome (a queued write's end is logged by its channel)
    if (reply.result == WriteResult::refused)
        Journal(kWarning, "refused: " + what + ": " + reply.Reason());
    else if (c.kind == GatewayCommand::station)
        Journal(kInfo, what + ": " + c.payload);
    else
        Journal(kInfo, what + ": " + WriteResultName(reply.result));
    // the outcome to every way in and out (the broker, the counts, the
    // history, the page), whichever way the command came; a queued write's
    // end follows from its channel the same way
    if (c.kind == GatewayCommand::station)
        m_sinks.OnStationResult(c.channel, c.target, reply, c.ticket);
    else
        m_sinks.OnWriteResult(c.channel, c.target, reply, c.ticket);
    return reply;
}

void Gateway::ServeWeb() {
    if (!m_web) return;
    for (std::unique_ptr<WebRequest>& r : m_web->TakeRequests()) {
        if (r->ask != WebAsk::command) {
            ServeAdmin(std::move(r));
            continue;
        }
        const CommandReply reply = Execute(r->command);
        if (reply.result == WriteResult::queued && r->wait) {
            m_web->AwaitOutcome(std::move(r), reply.ticket);
        } else {
            m_web->Respond(std::move(r), WebServer::Answer(reply));
        }
    }
}

void Gateway::Notify(steady_clock::time_point now) {
    int channelsInFault = 0, stationsInFault = 0;
    for (auto& ch : m_channels.All()) {
        if (ch->State() != ChannelState::ok && ch->State() != ChannelState::off) ++channelsInFault;
        for (const auto& s : ch->Stations())
            stationsInFault += s.last.state == StationHealth::fault;
    }
    std::string status = std::to_string(m_channels.All().size()) + " channels, " +
                         std::to_string(channelsInFault) + " not ok, " +
                         std::to_string(stationsInFault) + " stations in fault; broker " +
                         (m_bridge->Connected() ? "connected" : "disconnected");
    if (status != m_lastStatus) {
        m_lastStatus = status;
        sd_notify(0, ("STATUS=" + status).c_str());
    }
    if (m_watchdogUsec && now >= m_nextWatchdog) {
        m_nextWatchdog = now + microseconds(m_watchdogUsec / 2);
        bool progress = true;
        for (auto& ch : m_channels.All()) {
            if (!ch->MakesProgress(now)) {
                progress = false;
                Journal(kWarning, ch->Name() + ": its scan makes no progress: no watchdog signal");
            }
        }
        if (progress) sd_notify(0, "WATCHDOG=1");
    }
}
