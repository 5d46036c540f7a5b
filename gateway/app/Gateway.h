// drvgw's host: loads the driver as a host does, runs one gateway channel per
// [[channel]], bridges them to the MQTT broker, Modbus TCP and the web page,
// takes every command through one entry (Execute), and serves systemd
// (ready, status, watchdog, reload on SIGHUP, a clean stop on SIGTERM).
//
// Threads, and what each may touch:
//   the loop          Run's thread: the channels and their host sessions, the
//                     Modbus server (its sockets too), the command entry, the
//                     sinks' calls, reloads, systemd. Everything below hands
//                     work to it and wakes it (an eventfd).
//   the broker's      MqttBridge::Network: libmosquitto's connection and
//   network thread    callbacks; commands and the backlog under MqttBridge's
//                     lock, taken by the loop (ServeCommands).
//   the history       History's writer: its queue under its lock (Record, from
//   writer            the loop); queries on the web worker (below), on a
//                     connection of their own under History's read lock.
//   the history's     History::Checkpoints: copies the WAL into the database
//   checkpointer      on a connection of its own, woken by the writer's commits.
//   the OPC UA        [opcua]: open62541's loop and everything that touches the
//   server's thread   address space; what the channels tell is queued for it
//                     under OpcuaServer's lock (the sink calls, from the loop),
//                     its clients' writes and calls handed to the loop
//                     (ServeCommands) and waited for there; the loop never
//                     takes open62541's lock.
//   the metrics       [metrics]: libmicrohttpd's thread, serving the text the
//   listener          loop made last (under MetricsServer's lock).
//   the web server's  libmicrohttpd's one thread: HTTP, event streams; the
//   thread            page's views under their own lock (PageViews, told by
//                     the loop), the streams and waiting requests under
//                     WebServer's lock; requests taken by the loop
//                     (TakeRequests), answered by it (Respond, AwaitOutcome).
//                     A login seen to pass is known there at once; the TLS
//                     handshakes take the certificate under WebTls's lock;
//                     the loop replaces users and certificate at a reload.
//   the web worker    WebServer::Work: what may take long for a page client,
//                     a login's hash check (under WebLogin's lock) and a
//                     history query; the connection set aside meanwhile and
//                     taken up again under WebServer's lock.
//   a scan            ScanJob's thread: a stopped channel's line, for the page;
//                     its findings under ScanJob's lock, taken by the loop
//                     (ScanRunner::Tend), which starts the channel again at its
//                     end.
//   a reopen          GatewayChannel::CheckPort runs slot 3 on std::async; the
//                     channel's session is that thread's until it returns
//                     (Reopening()): the loop does not call the driver through
//                     it meanwhile.
//   a stop            GatewayChannel::BeginStop runs slot 5 on std::async (it
//                     waits for a pass in progress), the same way; what
//                     follows it (a reload's rest, a restart, a scan) runs on
//                     the loop once it has ended (ChannelSet::StopThen, Tend).
//                     In both, the loop still reads the session's tags and
//                     values (Modbus, TakeValue): slots 3 and 5 touch neither.
//   the scan threads  the driver's, one a channel: they report values and log
//                     lines through the host's libraries into HostEvents (its
//                     own lock), taken by the loop.
// No lock is held across a call into another part, but two: libmicrohttpd's
// suspend and resume of a connection run under WebServer's lock (they only
// mark it, and must not cross the exchange's end), and the host's wake runs
// under its own lock (a write to an eventfd), so that once it is replaced
// nobody calls the old one.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/channel/ChannelSet.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/config/GatewayConfig.h"
#include "gateway/history/History.h"
#include "gateway/history/HistoryRecorder.h"
#include "gateway/metrics/Metrics.h"

class MetricsServer;
class ModbusServer;
class OpcuaServer;
class SparkplugNode;
class ScanRunner;
struct WebRequest;
class MqttBridge;
class WebServer;

class Gateway : public CommandEntry {
public:
    explicit Gateway(GatewayConfig config);
    ~Gateway() override;

    // CommandEntry (the gateway's thread)
    CommandReply Execute(GatewayCommand& command) override;
    bool WriteBusy(const std::string& channel, const std::string& tag) override;

    // Runs until SIGTERM or SIGINT: 0 after a clean stop, 2 when the start
    // fails (the driver, a channel's files, the broker settings).
    int Run();

private:
    // Start: false with *error when something cannot be had (End undoes the rest).
    bool Begin(std::string* error);
    // Until SIGTERM or SIGINT.
    void Loop();
    void End();
    void TakeHostEvents();
    bool ReadOnly(Origin origin) const;
    void ServeWeb();
    // An administrator's request from the page (GatewayAdmin.cpp): a
    // channel's settings, a scan of its line (ScanRunner).
    void ServeAdmin(std::unique_ptr<WebRequest> request);
    std::pair<int, std::string> ReadSettings(const GatewayChannel& ch, std::string* etag);
    // Answers the request itself: at once when it is refused, else once the
    // channel has been started again with the saved settings.
    void SaveSettings(GatewayChannel& ch, std::unique_ptr<WebRequest> request);
    std::pair<int, std::string> SaveSettingsFile(GatewayChannel& ch, const WebRequest& request,
                                                 std::string* etag);
    // One change of channels at a time: a reload waits for the stops under
    // way, saves and scans wait for a reload.
    bool ChangingChannels() const { return m_channels.Stopping() || m_reloading; }
    // SIGHUP (GatewayReload.cpp): the file read again, what changed applied
    // or named as needing a restart; the channels that go stopped first.
    void Reload();
    struct ReloadPlan;
    void FinishReload(ReloadPlan& plan);
    bool m_reloading = false, m_reloadAgain = false;
    // The figures for Prometheus, to /metrics on the page and on [metrics]
    // (GatewayMetrics.cpp); once a second.
    std::string Metrics();
    void PublishMetrics();
    // The history ([history], GatewayHistory.cpp): started before the
    // channels; the gateway's own events recorded (nothing without it); the
    // broker's changes and the dropped events looked at each tick.
    bool StartHistory(std::string* error);
    void Remember(HistoryKind kind, const std::string& channel, const std::string& state,
                  const std::string& who = "", const std::string& result = "",
                  const std::string& detail = "");
    void WatchHistory(std::chrono::steady_clock::time_point now);
    void Notify(std::chrono::steady_clock::time_point now);

    GatewayConfig m_config;
    // what the channels tell goes to every way in and out
    FanoutSink m_sinks;
    WriteCounts m_writeCounts;
    // (before what may still report through it: destroyed after them)
    std::unique_ptr<History> m_history;
    std::unique_ptr<HistoryRecorder> m_recorder;
    ChannelSet m_channels{m_sinks};
    std::unique_ptr<MqttBridge> m_bridge;
    std::unique_ptr<ModbusServer> m_modbus;
    std::unique_ptr<OpcuaServer> m_opcua;
    std::unique_ptr<SparkplugNode> m_sparkplug;
    std::unique_ptr<WebServer> m_web;
    std::unique_ptr<ScanRunner> m_scans;
    std::unique_ptr<MetricsServer> m_metrics;
    bool m_brokerRecorded = false;
    uint64_t m_droppedLogged = 0;
    std::chrono::steady_clock::time_point m_nextDropLog;
    int m_wakeFd = -1;
    int m_signalFd = -1;
    std::vector<pollfd> m_pollFds;  // what the loop waits on, kept from pass to pass
    std::string m_lastStatus;
    std::chrono::steady_clock::time_point m_nextTick, m_nextRetell, m_nextWatchdog,
        m_nextWebRefresh, m_nextMetrics, m_nextTrim;
    uint64_t m_watchdogUsec = 0;
    uint64_t m_nextTicket = 1;
};
