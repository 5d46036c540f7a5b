// The scans of channels' lines the page asks for: each stops its channel,
// scans the line on a thread of its own (ScanJob), tells the page what it
// finds, and once it ends starts the channel again and answers. On the
// gateway's loop.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "gateway/app/AdminAnswer.h"
#include "gateway/history/History.h"

class ChannelSet;
class GatewayChannel;
class ScanJob;
class WebServer;
struct CommandTicket;
struct WebRequest;

class ScanRunner {
public:
    // (kind, channel, state, who, result, detail): an event for the history
    using Remember =
        std::function<void(HistoryKind, const std::string&, const std::string&, const std::string&,
                           const std::string&, const std::string&)>;
    ScanRunner(ChannelSet& channels, WebServer& web, Remember remember);
    ~ScanRunner();

    // Whether the channel's line is being scanned (its channel stopped for it).
    bool Scanning(const std::string& channel) const { return m_scans.count(channel) != 0; }
    bool Any() const { return !m_scans.empty(); }
    // Stops the channel and scans its line: false with *answer when it cannot
    // (the request is then still the caller's).
    bool Start(GatewayChannel& ch, std::unique_ptr<WebRequest>* request, admin::Answer* answer);
    admin::Answer Cancel(const std::string& channel, const CommandTicket& ticket);
    // The scans' events to the page; an ended scan answered, its channel started again.
    void Tend();
    // The gateway stopping: every scan cancelled and answered so.
    void End();

private:
    struct Running {
        std::unique_ptr<ScanJob> job;
        std::unique_ptr<WebRequest> request;
        GatewayChannel* stopped = nullptr;
        bool cancelAtStart = false;  // cancelled while its channel was stopping
        bool restarting = false;     // ended: its channel starting again
    };
    ChannelSet& m_channels;
    WebServer& m_web;
    Remember m_remember;
    std::map<std::string, Running> m_scans;
};
