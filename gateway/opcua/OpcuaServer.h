// The gateway's OPC UA server (open62541): its channels, stations and tags
// under Objects/<gateway id>/, their values with quality and source time,
// writes and method calls through the gateway's one command entry.
//
//   ns=1;i=1                          the gateway (Objects/<gateway id>)
//   ns=1;s=<channel>                  a channel: /State (String), /StateCode (Int32),
//                                     /Reopens (UInt32)
//   ns=1;s=<channel>.<station>        a station: /State, /Enabled, /Controls,
//                                     /ControlFailures, /Polls, /PollFailures (UInt32),
//                                     /StatusByte (Byte); methods /ResetCounters,
//                                     /Enable, /Disable
//   ns=1;s=<channel>.<station>.<tag>  a tag (Boolean): an input read-only, an
//                                     output writable (true sends its command);
//                                     an output's /LastResult (String, a property)
//                                     and its station's method <...>.<tag>/Command
//
// Threads: the server runs on a thread of its own, and everything that
// touches the address space happens there. The loop tells the server what
// the channels tell (the GatewaySink calls) through a queue under the
// server's lock; the server's thread takes it every 10 ms. A client's write
// or method call is handed the other way, to the loop (ServeCommands, woken
// by `wake`), and its server thread waits for the entry's answer, which the
// loop gives at once; the loop never waits for the server, never takes
// open62541's lock, so the two cannot hold each other. Command(), declared
// asynchronous, does not wait: its answer leaves when the write's outcome
// comes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Command.h"
#include "gateway/core/Sink.h"

class OpcuaServer : public GatewaySink {
public:
    OpcuaServer(const GatewayConfig& config, std::function<void()> wake);
    ~OpcuaServer() override;

    // Reads the certificate (or makes one), the users and the trust folders,
    // listens and starts the server's thread: false with *error.
    bool Start(std::string* error);
    // Stops the thread and closes every session (a client's call still
    // waiting for the loop is answered Bad_ServerHalted, not executed).
    void Stop();

    // The loop: the writes and method calls the clients sent, through the entry.
    void ServeCommands(CommandEntry& entry);
    // The loop: the channels there are now (the others leave the address space).
    void KeepChannels(const std::set<std::string>& names);
    // At a reload: the users (of [web] users_file) and the certificate read
    // again (from cert_file and key_file, which a reload may change): false
    // with *error, and those in use stay.
    bool Reload(const GatewayConfig& fresh, std::string* error);

    // The loop, once a second: how often each channel's lost port was opened again.
    void OnReopens(const std::string& channel, uint64_t reopens);

    struct Figures {
        uint64_t sessions = 0, sessionsRejected = 0, sessionsTimedOut = 0, channels = 0,
                 channelsRejected = 0, writes = 0, calls = 0, refused = 0, notifications = 0,
                 subscriptions = 0, monitoredItems = 0, unactivatedClosed = 0,
                 certificatesRejected = 0;
        // the services the sessions asked for, by name and whether answered Good
        std::map<std::pair<std::string, bool>, uint64_t> requests;
    };
    Figures Read() const;

    // GatewaySink (the loop)
    void OnValue(const std::string& channel, const std::string& tag, double value) override;
    void OnStation(const std::string& channel, const std::string& station,
                   const StationState& state) override;
    void OnChannelState(const std::string& channel, ChannelState state) override;
    void OnLog(const std::string&, bool, const std::string&) override {}
    void OnDescription(const std::string& channel, const std::string& json) override;
    void OnWriteResult(const std::string& channel, const std::string& tag,
                       const CommandReply& outcome, const CommandTicket& ticket) override;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// The status code a write's answer from the entry is told as (queued: Good).
uint32_t OpcuaStatusFor(const CommandReply& reply);
// The NodeId text of a tag, a station, a channel ("<channel>.<station>.<tag>";
// station "" for a tag of no station).
std::string OpcuaTagId(const std::string& channel, const std::string& station,
                       const std::string& tag);
// "open62541 1.4.11": the OPC UA stack this was built with.
const char* OpcuaLibraryVersion();
