// The gateway's Modbus TCP server (libmodbus's server side): one unit id per
// channel, and for the station at position p of that channel
//   discrete inputs 8p..8p+7   its input bits I0-I7 as last received (function 2)
//   coils           8p..8p+7   its output bits O0-O7: writing 1 (5, 15) sends the
//                              one-bit command through the gateway's write path;
//                              writing 0 does nothing; they read 0 (function 1)
//   input registers 16p..16p+5 state (0 ok, 1 fault, 2 disabled, 3 unknown), the
//                              four counters, the last status byte (function 4);
//                              16p+6..16p+15 are reserved and read 0
// Any number of clients, served one request at a time by the gateway's loop
// as their sockets become readable; nothing here blocks for long.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway/GatewayChannel.h"
#include "gateway/GatewayConfig.h"

struct _modbus;

class ModbusServer {
public:
    ModbusServer(const GatewayModbusConfig& config, GatewaySink& results);
    ~ModbusServer();

    // Listens: false with *error when the address cannot be had.
    bool Start(std::string* error);
    // The sockets to wait on, appended to fds.
    void AddPollFds(std::vector<pollfd>* fds) const;
    // Serves what the sockets in fds (as poll returned them) have ready, for
    // these channels; drops clients idle too long.
    void Serve(const std::vector<pollfd>& fds,
               const std::vector<std::unique_ptr<GatewayChannel>>& channels);
    size_t Clients() const { return m_clients.size(); }

private:
    struct Client {
        int fd;
        std::chrono::steady_clock::time_point last;
    };
    void Accept();
    bool Request(int fd, const std::vector<std::unique_ptr<GatewayChannel>>& channels);

    GatewayModbusConfig m_config;
    GatewaySink& m_results;
    _modbus* m_ctx = nullptr;
    int m_listen = -1;
    std::vector<Client> m_clients;
};
