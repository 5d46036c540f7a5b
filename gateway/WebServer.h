// The gateway's web page and its API (cpp-httplib), served on threads of its
// own:
//   GET  /, /app.js, /style.css  the page, built into the program
//   GET  /api/state              every channel, its stations and tag values
//   GET  /api/events             Server-Sent Events: value, station, state, log
//   POST /api/write              a one-bit command through the gateway's write path
//   POST /api/station            enable, disable or reset a station
// What the page shows is kept here from what the channels tell (this is one
// of their sinks, fed on the gateway's thread); what it asks for is handed to
// the gateway's thread (TakeRequests) and answered from there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "gateway/GatewayChannel.h"
#include "gateway/GatewayConfig.h"

namespace httplib {
class Server;
struct Request;
}

// What the page asked the gateway to do, answered with an HTTP status and a
// JSON body.
struct WebRequest {
    GatewayCommand command;
    bool wait = true;  // a write: answer with its outcome, not "queued"
    std::promise<std::pair<int, std::string>> reply;
};

class WebServer : public GatewaySink {
public:
    // wake: called (on any thread) when a request waits for TakeRequests.
    WebServer(const GatewayWebConfig& config, std::string gatewayId, std::function<void()> wake);
    ~WebServer() override;

    // Listens and serves on a thread of its own: false with *error when the
    // address cannot be had or the password cannot be read.
    bool Start(std::string* error);
    void Stop();
    int Port() const { return m_port; }

    // The channels to show (at the start and after a reload), with what they
    // know now. Gateway thread.
    void SetChannels(const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    void SetBroker(bool connected);
    // The stations' counters as the channels read them last: the page shows
    // them live (the broker gets them with its periodic republish). Gateway
    // thread, about once a second.
    void RefreshStations(const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    // What the page asked for since the last call. Gateway thread.
    std::vector<std::unique_ptr<WebRequest>> TakeRequests();
    // A write that was queued: its reply waits for the outcome of that ticket.
    void AwaitOutcome(std::unique_ptr<WebRequest> request, uint64_t ticket);
    // The clients holding the event stream now.
    size_t Streams() const;

    // GatewaySink (gateway thread)
    void OnValue(const std::string& channel, const std::string& tag, double value) override;
    void OnStation(const std::string& channel, const std::string& station,
                   const StationState& state) override;
    void OnChannelState(const std::string& channel, const std::string& state) override;
    void OnLog(const std::string& channel, bool fault, const std::string& text) override;
    void OnWriteResult(const std::string& channel, const std::string& tag,
                       const CommandReply& outcome, const CommandTicket& ticket) override;

    static std::pair<int, std::string> Reply(int status, const std::string& key,
                                             const std::string& text);
    // The entry's answer as the API gives it.
    static std::pair<int, std::string> Answer(const CommandReply& reply);

private:
    struct StationView {
        std::string name;
        int number = 0;
        StationState state;
        std::string inputs[8], outputs[8];  // tag names, "" for none
    };
    struct TagView {
        std::string name;
        bool known = false;
        double value = 0;
    };
    struct LogLine {
        std::string kind, text, time;
    };
    struct ChannelView {
        std::string name, state;
        std::vector<StationView> stations;
        std::vector<TagView> tags;
        std::deque<LogLine> log;
    };
    // One client of the event stream: what waits to be sent to it.
    struct Stream {
        std::deque<std::string> queue;
        bool dropped = false;  // fell too far behind: closed, to reconnect
    };

    void Routes();
    // Whether a request names this server in its Host header (not a name
    // someone made to lead here), and a browser's Origin, if any, is that host.
    bool OwnHost(const httplib::Request& req) const;
    bool FromOwnPage(const httplib::Request& req) const;
    void Publish(const std::string& event, const std::string& json);
    std::string StateJson() const;
    ChannelView* Find(const std::string& channel);
    static nlohmann::json StationObject(const std::string& channel, const StationView& s);
    // Hands a request to the gateway's thread and waits for its answer.
    std::pair<int, std::string> Ask(std::unique_ptr<WebRequest> request);

    GatewayWebConfig m_config;
    std::string m_gatewayId;
    std::function<void()> m_wake;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
    std::string m_authorization;  // the Authorization header that is let in
    std::chrono::milliseconds m_answerBound{60000};

    mutable std::mutex m_lock;  // everything below
    std::condition_variable m_changed;
    std::vector<ChannelView> m_channels;
    bool m_broker = false;
    std::vector<std::shared_ptr<Stream>> m_streams;
    std::vector<std::unique_ptr<WebRequest>> m_requests;
    std::map<uint64_t, std::unique_ptr<WebRequest>> m_awaiting;  // by ticket

    bool m_stopping = false;
};
