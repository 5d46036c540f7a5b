// The gateway's web page and its API (libmicrohttpd), served by one thread
// of its own that waits on every connection at once (epoll):
//   GET  /, /app.js, /style.css  the page, built into the program
//   GET  /api/state              every channel, its stations and tag values
//   GET  /login, POST /login     the login page and its form: a session cookie
//   POST /logout                 the session ended
//   GET  /api/me                 who is logged in: {"user", "role", "session"}
//   GET  /api/names              the names of states, results, station commands
//                                and counters, with the page's words for them
//   GET  /api/events             Server-Sent Events: value, station, state, log,
//                                gateway, channels (read the state again), scan
//   POST /api/write              a one-bit command through the gateway's command entry
//   POST /api/station            enable, disable or reset a station
//   GET  /metrics                the gateway's figures for Prometheus
//   GET  /api/history[.csv]      the history's events, filtered, newest first
//   GET  /api/rules              the settings' lists and ranges, as the dialogs offer them
//   GET  /api/channels/C/settings   a channel's file as drvcfg show --json gives it
//   PUT  /api/channels/C/settings   (admin) the file changed, the channel restarted
//   POST /api/channels/C/scan       (admin) the channel stopped, its line scanned
//   DELETE /api/channels/C/scan     (admin) that scan cancelled
// What the page shows is kept here from what the channels tell (this is one
// of their sinks, fed on the gateway's thread); what it asks for is handed to
// the gateway's thread (TakeRequests) and answered from there (Respond).
//
// No client holds up another: a request waiting for the gateway, and an
// event stream with nothing to send, are set aside (suspended) rather than
// holding a thread; every event is written to the streams by the one server
// thread; connections are limited in number, per address and in idle time;
// a body has a size limit however it is sent; Stop closes everything open.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "gateway/channel/GatewayChannel.h"
#include "gateway/config/GatewayConfig.h"
#include "gateway/web/PageViews.h"
#include "gateway/web/WebSessions.h"
#include "gateway/web/WebUsers.h"

struct MHD_Daemon;
struct MHD_Connection;

// One HTTP exchange's state across the server's calls (defined with the server).
struct WebExchange;

// What the page asked the gateway to do, answered with an HTTP status and a
// JSON body through WebServer::Respond: a command, or an administrator's
// request about a channel (command.channel; who in command.ticket).
enum class WebAsk { command, readSettings, saveSettings, scan, cancelScan };

struct WebRequest {
    WebAsk ask = WebAsk::command;
    GatewayCommand command;
    std::string body;     // an administrator's request: its JSON
    std::string ifMatch;  // saveSettings: the file's tag the page read
    bool wait = true;     // a write: answer with its outcome, not "queued"
    std::shared_ptr<WebExchange> exchange;
};

class History;

class WebServer : public GatewaySink {
public:
    // wake: called (on the server's thread) when a request waits for TakeRequests.
    WebServer(const GatewayWebConfig& config, std::string gatewayId, std::function<void()> wake);
    ~WebServer() override;

    // Listens and serves on a thread of its own: false with *error when the
    // address cannot be had or the password cannot be read.
    bool Start(std::string* error);
    // Answers what waits with 503, closes every connection, ends the thread.
    void Stop();
    // HTTPS: reads the certificate and key files again (SIGHUP); new
    // connections get them, those open keep theirs. false with *error, the
    // certificate in use staying.
    bool ReloadCertificate(std::string* error);
    // The users (users_file, or user and password_file) read again (at the
    // start, and at SIGHUP): false with *error, the users in use staying.
    bool ReloadUsers(std::string* error);
    int Port() const { return m_port; }

    // The channels to show (at the start and after a reload), with what they
    // know now. Gateway thread.
    void SetChannels(const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    void SetBroker(bool connected);
    // The stations' counters as the channels read them last: the page shows
    // them live (the broker gets them with its periodic republish). Gateway
    // thread, about once a second; it also keeps quiet streams alive.
    void RefreshStations(const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    // What the page asked for since the last call. Gateway thread.
    std::vector<std::unique_ptr<WebRequest>> TakeRequests();
    // The answer to a request, now (with the ETag of what it gives, if any).
    void Respond(std::unique_ptr<WebRequest> request, const std::pair<int, std::string>& answer,
                 const std::string& etag = "");
    // A write that was queued: its answer waits for the outcome of that ticket.
    void AwaitOutcome(std::unique_ptr<WebRequest> request, uint64_t ticket);
    // Whether the client of a request that waits has gone (closed its
    // connection). Gateway thread.
    bool ClientGone(const WebRequest& request) const;
    // A scan's progress or finding, to the event streams ("scan"). Gateway thread.
    void OnScan(const std::string& json);
    // The history GET /api/history reads (before Start; null for none).
    void SetHistory(History* history) { m_history = history; }
    // The figures GET /metrics gives from now on. Gateway thread.
    void SetMetrics(std::string text) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_metrics = std::move(text);
    }
    // The clients holding the event stream now.
    size_t Streams() const;
    // Events wait a moment before they go to the streams, so that a change
    // reaches MQTT first and a burst of them goes out at once: when the
    // gateway's loop is to call Flush (time_point::max() for nothing waiting).
    std::chrono::steady_clock::time_point FlushDue() const;
    // Hands what waits to the streams. Gateway thread.
    void Flush();

    // GatewaySink (gateway thread)
    void OnValue(const std::string& channel, const std::string& tag, double value) override;
    void OnStation(const std::string& channel, const std::string& station,
                   const StationState& state) override;
    void OnChannelState(const std::string& channel, ChannelState state) override;
    void OnLog(const std::string& channel, bool fault, const std::string& text) override;
    void OnWriteResult(const std::string& channel, const std::string& tag,
                       const CommandReply& outcome, const CommandTicket& ticket) override;

    static std::pair<int, std::string> Reply(int status, const std::string& key,
                                             const std::string& text);
    // The entry's answer as the API gives it.
    static std::pair<int, std::string> Answer(const CommandReply& reply);

    // GET /api/names: every name the state, the events and the answers use,
    // with the page's words for it (the page keeps no list of its own).
    static std::string NamesJson();

private:
    // One client of the event stream: what waits to be sent to it.
    struct Stream {
        MHD_Connection* connection = nullptr;
        std::string user;  // who opened it ("" when nobody is asked)
        WebRole role = WebRole::viewer;
        std::string session;     // the session it was opened in ("" for a basic login)
        std::string queue;       // event text not yet sent
        bool suspended = false;  // set aside until there is something to send
        bool dropped = false;    // fell too far behind: closed, to reconnect
    };

    // libmicrohttpd's calls (the server's thread), defined with the server
    friend struct WebCalls;

    int Serve(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
              const std::string& url, const std::string& method);
    // /api/rules and /api/channels/...: -1 when the route is none of them.
    int ServeAdmin(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                   const std::string& url, const std::string& method);
    int OpenStream(MHD_Connection* connection, const WebExchange& exchange);
    // /login and /logout (WebLoginPage.cpp): -1 when the route is neither.
    int ServeLogin(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                   const std::string& url, const std::string& method);
    // The login page with a line saying why it is shown again ("" for none).
    static std::string LoginPage(const std::string& message);
    static void AnswerLoginPage(WebExchange& exchange, int status, const std::string& message);
    // Closes the event streams opened in a session (logged out).
    void EndStreamsOf(const std::string& session);
    // GET /api/history and /api/history.csv (WebHistory.cpp): the query
    // runs on the worker, the connection set aside meanwhile.
    int ServeHistory(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
                     const std::string& url);
    // Work that may take long (a hash check, a history query) on the
    // worker's thread, the exchange's connection set aside until it is done;
    // false when too much waits (answer 503). The work is told true when the
    // server stops first (answer at once).
    bool Defer(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
               std::function<void(bool stopping)> work);
    void Work();
    // (with m_lock held) A deferred exchange taken up again by the server's thread.
    void Resume(WebExchange& exchange);
    int Ask(MHD_Connection* connection, const std::shared_ptr<WebExchange>& exchange,
            std::unique_ptr<WebRequest> request);
    // The request a body asks for, or the refusal (request left null).
    std::pair<int, std::string> WriteRequest(const std::string& body,
                                             std::unique_ptr<WebRequest>* request) const;
    std::pair<int, std::string> StationRequest(const std::string& body,
                                               std::unique_ptr<WebRequest>* request) const;
    // Whether a request names this server in its Host header (not a name
    // someone made to lead here), and a browser's Origin, if any, is that host.
    bool OwnHost(const std::string& hostHeader) const;
    bool FromOwnPage(const std::string& site, const std::string& origin,
                     const std::string& host) const;
    // (with m_lock held)
    void Publish(const std::string& event, const std::string& json);
    // Ends the connections whose request head is late (see kHeadSeconds).
    void Reap(std::chrono::steady_clock::time_point now);
    // Ends waiting connections while there are too many (see kMaxConnections).
    void MakeRoom();
    void Wake(Stream& stream);
    void Finish(WebExchange& exchange, const std::pair<int, std::string>& answer);
    std::string StateJson() const;
    // An event of the views to every stream (none for an empty one).
    void Tell(const PageViews::Event& event);

    GatewayWebConfig m_config;
    std::string m_gatewayId;
    std::function<void()> m_wake;
    MHD_Daemon* m_daemon = nullptr;
    int m_port = 0;
    WebLogin m_login;
    WebSessions m_sessions;
    std::string m_metricsToken;  // read at the start
    History* m_history = nullptr;
    std::chrono::steady_clock::time_point m_nextKeepAlive;
    std::chrono::steady_clock::time_point m_flushDue = std::chrono::steady_clock::time_point::max();

    PageViews m_views;  // (its own lock)

    mutable std::mutex m_lock;  // everything below
    std::string m_metrics;
    std::vector<std::shared_ptr<Stream>> m_streams;
    std::vector<std::unique_ptr<WebRequest>> m_requests;
    std::map<uint64_t, std::unique_ptr<WebRequest>> m_awaiting;  // by ticket
    bool m_stopping = false;
    // the worker: what waits for it, at most kMostDeferred
    std::mutex m_workLock;
    std::condition_variable m_workWake;
    std::deque<std::function<void(bool)>> m_work;
    bool m_workStop = false;
    std::thread m_worker;
    // Every connection: its socket, and since when a request head is awaited
    // (its start, or its last request's end); none while a request is served.
    struct Connection {
        int fd = -1;
        std::chrono::steady_clock::time_point awaiting;
        bool inRequest = false, reaped = false;
        bool served = false;  // a request has been answered on it
        std::string address;  // the client's
    };
    std::map<MHD_Connection*, Connection> m_connections;
};
