// One channel of the gateway: the driver's channel run through a host
// session, its stations' states and the channel's own, the one write path
// with its outcomes, and the reopening of a port that was lost.
//
// Used by the gateway's loop alone (a reopen runs slot 3 on a thread of its
// own and the channel leaves the session alone meanwhile); what it has to
// tell goes to a sink.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Backoff.h"
#include "gateway/core/Command.h"
#include "gateway/core/Sink.h"
#include "host/HostSession.h"

class CConfigData;
class DriverTable;

using Clock = std::chrono::steady_clock;

class GatewayChannel {
public:
    struct Station {
        std::string name;   // UTF-8
        std::string cp949;  // as the driver knows it
        int number = 0;
        StationState last;  // as last read
        bool told = false;  // told at least once
    };

    GatewayChannel(DriverTable& driver, const GatewayChannelConfig& config, int index,
                   GatewaySink& sink);

    // Reads the driver's configuration and the tag list: false with *error.
    // given: the configuration to take instead of the file's (to try a
    // change before it is saved).
    bool Load(std::string* error, const CConfigData* given = nullptr);
    // Opens the channel, registers its tags, opens the port, starts the scan and
    // switches the channel on. False when the driver refuses the file. The
    // port not opening is not a failure: the channel waits for its port.
    bool Start(std::string* error);
    // Stops the channel (slot 5). The driver keeps the channel until it is
    // unloaded; a channel started again is a new one. Once only. Every write
    // still pending gets its final outcome (what the driver logged of it
    // before its scan ended, else cancelled or no_reply).
    // Slot 5 waits for the pass in progress, which with silent stations takes
    // seconds: BeginStop runs it on a thread of its own (the session is that
    // thread's meanwhile, as in a reopen), and StopEnded, asked on the
    // gateway's thread, is true once it has returned and the rest is done.
    // Stop does both and waits (the gateway's own end).
    void Stop();
    void BeginStop();
    bool StopEnded();
    bool Stopping() const;  // begun and not yet ended
    // Reopening or stopping: the session is another thread's, commands are
    // refused. (The host side's tags and values stay the loop's: slots 3
    // and 5 on those threads touch neither, they only call the driver.)
    bool Busy() const;
    bool Running() const { return m_on && !m_stopBegun; }

    // The one write path: the one-bit command of an output tag (the entry has
    // decided that 1 is asked for and that writes are allowed). busy while
    // that output's last write is still queued (nothing is queued then); the
    // outcome of a queued write follows through the sink with its own ticket,
    // once: done when the driver logged the controller's answer ("제어 성공"),
    // no_reply when it logged the command sent and no answer (its time-outs,
    // a failed send) or logged nothing of it in time, timeout when the driver
    // has not taken it within WriteBound(), cancelled when the channel stopped
    // before it was sent.
    CommandReply Write(const std::string& tag, const CommandTicket& ticket);
    // Whether a write to this output would be answered busy now.
    bool WriteBusy(const std::string& tag);
    // Whether the port is being reopened (slot 3 on a thread of its own): the
    // session is that thread's until it returns, and commands are refused.
    bool Reopening() const;
    // The output tag of bit `bit` of station `station` (list position), "" when
    // no tag was registered for it.
    std::string OutputTag(int station, int bit) const;
    // The station's last status byte as its input tags have it (a bit no tag
    // was registered for reads 0).
    uint8_t StatusByte(int station) const;
    bool HasStation(const std::string& name) const;
    // The station a tag belongs to, "" for a tag the channel does not have.
    std::string StationOfTag(const std::string& tag) const;
    bool HasTag(const std::string& name) const { return m_session->FindTag(name) != nullptr; }
    // Where the tag at list position i sits: its station's position (-1 for
    // none), its bit, and whether it is an output.
    void TagPlace(size_t i, int* station, int* bit, bool* output) const {
        *station = m_tagStation[i];
        *bit = m_tagBit[i];
        *output = m_isOutput[i];
    }
    // Station commands: "enable", "disable", "reset"; false for another.
    bool StationCommand(const std::string& station, StationAction action);
    // After a stop: every station is unknown again, and told so.
    void ForgetStations();

    // A log line of this channel: to standard error and to the sink; the
    // driver's lines of a command's progress decide a pending write's outcome.
    void Log(bool fault, const std::string& text);
    // Whether the driver reported this from this channel's threads.
    bool OwnsEvent(const HostEvent& e) const;
    // A value the driver delivered, when it is one of this channel's tags.
    bool TakeValue(const HostEvent& e);
    // Looks at the stations, the writes and the port: call a few times a second.
    void Tick(Clock::time_point now);
    // Tells the sink every state again (a reconnected broker, a periodic republish).
    void RetellAll();
    // The channel's state and its stations' again (retained with an expiry
    // on MQTT: told again before it runs out).
    void RetellStates();
    void RetellStations();
    // {"channel", "stations": [{"name", "number", "tags": [{"name", "kind",
    // "bit", "topic", "set", "result"}]}], "tags" (those of no station)}.
    std::string Description() const;

    // Whether the scan is seen to make progress (for the watchdog).
    bool MakesProgress(Clock::time_point now) const;
    // How long a write may take before it is reported as timed out.
    std::chrono::milliseconds WriteBound() const { return m_writeBound; }

    const std::string& Name() const { return m_config.name; }
    const GatewayChannelConfig& Config() const { return m_config; }
    // A reload may give a running channel another Modbus unit id.
    void SetUnitId(int unit) { m_config.unitId = unit; }
    // Called before the driver opens the channel's port (at the start, and
    // before each reopen of a lost line): false with *why when the port
    // cannot be made ready (a UART that refuses RS-485 mode). The channel
    // then does not start (its state fault, the reason in its log), or is
    // not reopened until the port can be had.
    using PortPreparation = std::function<bool(int port, std::string* why)>;
    void SetPortPreparation(PortPreparation prepare) { m_prepare = std::move(prepare); }
    int Port() const { return m_port; }  // its COM number, from its configuration
    bool PortRefused() const { return m_portRefused; }
    // How often its port was opened again after the line was lost.
    uint64_t Reopens() const { return m_reopens; }
    ChannelState State() const { return m_state; }
    std::vector<Station>& Stations() { return m_stations; }
    std::vector<HostTag>& Tags() { return m_session->Tags(); }
    int Index() const { return m_index; }
    int32_t Handle() const { return m_session ? m_session->Handle() : -1; }
    // The bytes this channel was made of (its table, configuration and tag list), for reloads.
    const std::string& Fingerprint() const { return m_fingerprint; }
    static std::string FingerprintOf(const GatewayChannelConfig& config);

    // The scan threads the driver started for this channel (their system numbers).
    const std::vector<uint64_t>& ScanThreads() const { return m_scanThreads; }

private:
    // Load's parts: the stations of the driver's file, the tags (every bit, or
    // the tag list), where each tag sits, and the bounds of a write and a pass.
    bool LoadStations(const CConfigData& config, std::string* error);
    std::vector<HostTag> EveryBit() const;
    bool LoadTagList(std::vector<HostTag>* tags, std::string* error) const;
    void PlaceTags(const std::vector<HostTag>& tags);
    void SetBounds(const CConfigData& config);
    void TellState(ChannelState state);
    // Its last write still waits in the driver's queue (slot 8 says not done).
    bool Busy(const HostTag& tag);
    void CheckPort(Clock::time_point now, int faulted, int enabled);
    void StartPort();

    DriverTable& m_driver;
    GatewayChannelConfig m_config;
    int m_index;
    GatewaySink& m_sink;
    std::unique_ptr<CHostSession> m_session;
    std::vector<Station> m_stations;
    std::vector<bool> m_isOutput;
    std::vector<int> m_tagStation, m_tagBit;  // per tag: station position (-1: none) and bit
    std::string m_fingerprint;
    ChannelState m_state = ChannelState::off;
    bool m_stateTold = false;
    bool m_on = false;  // switched on by Start

    struct PendingWrite {
        HostTag* tag = nullptr;
        CommandTicket ticket;
        Clock::time_point deadline;  // the driver takes it from its queue by then
        int station = -1;            // its station's position
        // waiting in the driver's queue; taken from it (slot 8 says done);
        // started (the driver logged "제어 실시" for it)
        enum Phase { waiting, taken, started } phase = waiting;
        int failures = 0;             // receive failures the driver logged since its start
        Clock::time_point verdictBy;  // taken or started: no answer heard by then is no reply
    };
    void Finish(std::vector<PendingWrite>::iterator write, WriteResult result);
    void Taken(PendingWrite& write, Clock::time_point now);
    // A line of the driver's about a station's command: its write's outcome.
    void ControlLine(const std::string& text, Clock::time_point now);
    std::vector<PendingWrite> m_pending;
    std::chrono::milliseconds m_writeBound{30000};
    // one command with all its attempts, each running out its time-out
    std::chrono::milliseconds m_commandBound{7000};
    int m_retries = 0;

    // the port
    bool m_portLost = false;
    std::future<int32_t> m_reopen;  // slot 3 again, on a thread of its own
    std::future<void> m_stop;       // slot 5, on a thread of its own
    bool m_stopBegun = false, m_stopped = false;
    PortPreparation m_prepare;
    int m_port = 0;
    bool m_portRefused = false;     // at the start: the channel did not start
    std::string m_lastPortRefusal;  // before a reopen, as last logged
    Backoff m_backoff{1000};        // between reopens of a lost line
    uint64_t m_reopens = 0;
    Clock::time_point m_nextReopen;

    // progress, for the watchdog
    int64_t m_lastWork = -1;
    Clock::time_point m_lastProgress;
    std::chrono::milliseconds m_stallLimit{60000};

    std::vector<uint64_t> m_scanThreads;
};
