// The gateway's Modbus TCP server: one unit id per channel, and for the
// station at position p of that channel
//   discrete inputs 8p..8p+7     its input bits I0-I7 as last received (function 2)
//   coils           8p..8p+7     its output bits O0-O7: writing 1 (5, 15) sends the
//                                one-bit command through the gateway's command
//                                entry; writing 0 does nothing; they read 0 (function 1)
//   input registers 16p..16p+15  (function 4, and the same as holding registers,
//                                read-only, function 3)
//       16p       state (0 ok, 1 fault, 2 disabled, 3 unknown)
//       16p+1..4  controls, control failures, polls, poll failures (16 bits, wrapping)
//       16p+5     the status byte as far as tags were registered for its bits
//       16p+6..13 the same four counters in 32 bits, high word first
//       16p+14,15 reserved, read 0
// Served from the gateway's loop on non-blocking sockets, each client with a
// buffer of its own either way: a client that sends slowly waits for itself
// alone, one whose request does not complete in time or whose replies are
// not taken is dropped, and nothing a client does holds the loop.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/core/Command.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/config/GatewayConfig.h"

// The 16 input registers of a station (as above) from its state and status byte.
void StationRegisterBlock(const StationState& state, uint8_t statusByte, uint16_t r[16]);

class ModbusServer {
public:
    // The exception a write's answer from the entry is told as (0: none, it
    // was queued; its final result goes to MQTT, the history and the metrics).
    static uint8_t ExceptionFor(const CommandReply& reply);
    ModbusServer(const GatewayModbusConfig& config, CommandEntry& entry);
    ~ModbusServer();

    // Listens: false with *error when the address cannot be had.
    bool Start(std::string* error);
    // The sockets to wait on, appended to fds.
    void AddPollFds(std::vector<pollfd>* fds) const;
    // Serves what the sockets in fds[0..count) (as AddPollFds put them and
    // poll returned them) have ready, for these channels; drops clients idle,
    // stalled or not reading.
    void Serve(const pollfd* fds, size_t count,
               const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    size_t Clients() const { return m_clients.size(); }
    // The requests answered, by function code and exception code (0: none).
    const std::map<std::pair<int, int>, uint64_t>& Requests() const { return m_requests; }

    // One request's answer (a whole ADU in, a whole ADU out), for these channels.
    std::string Answer(const std::string& request,
                       const std::vector<std::unique_ptr<GatewayChannel>>& channels,
                       const std::string& who);

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd;
        std::string address;
        std::string in, out;
        Clock::time_point last;          // the last byte either way
        Clock::time_point requestBegun;  // the first byte of an incomplete request
        Clock::time_point sendStalled;   // since replies wait unsent
    };
    void Accept();
    // false: drop the client
    bool Read(Client& c, const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    bool Write(Client& c);
    std::string Pdu(const uint8_t* pdu, size_t length, GatewayChannel& ch, const std::string& who);
    static std::string ReadRange(const uint8_t* pdu, size_t length, int most, int perStation,
                                 GatewayChannel& ch, int* address, int* count);
    static std::string ReadBits(const uint8_t* pdu, size_t length, GatewayChannel& ch);
    static std::string ReadRegisters(const uint8_t* pdu, size_t length, GatewayChannel& ch);
    std::string WriteCoils(const uint8_t* pdu, size_t length, GatewayChannel& ch,
                           const std::string& who);
    // Whether every coil of the range has an output tag (else outside the map).
    static bool AllTagged(const GatewayChannel& ch, int address, int count);
    std::string Writes(uint8_t function, const std::vector<int>& coils, GatewayChannel& ch,
                       const std::string& who);

    GatewayModbusConfig m_config;
    CommandEntry& m_entry;
    int m_listen = -1;
    std::vector<Client> m_clients;
    std::map<std::pair<int, int>, uint64_t> m_requests;
};
