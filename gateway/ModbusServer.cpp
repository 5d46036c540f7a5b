#include "gateway/ModbusServer.h"

#include <modbus/modbus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gateway/Journal.h"

namespace {

// A client that stops in the middle of a request holds the loop no longer than this.
const uint32_t kByteTimeoutUs = 50000;

uint16_t Word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint16_t Clamp(int32_t v) {
    return static_cast<uint16_t>(std::min<int32_t>(std::max<int32_t>(v, 0), 0xFFFF));
}

uint16_t StateCode(const std::string& state) {
    return state == "ok" ? 0 : state == "fault" ? 1 : state == "disabled" ? 2 : 3;
}

}  // namespace

ModbusServer::ModbusServer(const GatewayModbusConfig& config, GatewaySink& results)
    : m_config(config), m_results(results) {}

ModbusServer::~ModbusServer() {
    for (const Client& c : m_clients) ::close(c.fd);
    if (m_listen >= 0) ::close(m_listen);
    if (m_ctx) modbus_free(m_ctx);
}

bool ModbusServer::Start(std::string* error) {
    const std::string port = std::to_string(m_config.port);
    m_ctx = modbus_new_tcp_pi(m_config.listen.c_str(), port.c_str());
    if (!m_ctx) {
        *error = "modbus: cannot serve " + m_config.listen + ":" + port;
        return false;
    }
    modbus_set_byte_timeout(m_ctx, 0, kByteTimeoutUs);
    // (a backlog beyond max_clients: the one too many is accepted and closed, not left hanging)
    m_listen = modbus_tcp_pi_listen(m_ctx, m_config.maxClients + 64);
    if (m_listen < 0) {
        *error = "modbus: cannot listen on " + m_config.listen + ":" + port + ": " +
                 modbus_strerror(errno);
        return false;
    }
    Journal(kInfo, "modbus: serving " + m_config.listen + ":" + port);
    return true;
}

void ModbusServer::AddPollFds(std::vector<pollfd>* fds) const {
    if (m_listen < 0) return;
    fds->push_back({m_listen, POLLIN, 0});
    for (const Client& c : m_clients) fds->push_back({c.fd, POLLIN, 0});
}

void ModbusServer::Accept() {
    int listen = m_listen;
    int fd = modbus_tcp_pi_accept(m_ctx, &listen);
    if (fd < 0) return;
    if (m_clients.size() >= static_cast<size_t>(m_config.maxClients)) {
        Journal(kWarning, "modbus: a client more than max_clients: closed");
        ::close(fd);
        return;
    }
    m_clients.push_back({fd, std::chrono::steady_clock::now()});
}

void ModbusServer::Serve(const std::vector<pollfd>& fds,
                         const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> drop;
    for (const pollfd& p : fds) {
        if (p.fd == m_listen && p.fd >= 0) {
            if (p.revents & POLLIN) Accept();
            continue;
        }
        auto it = std::find_if(m_clients.begin(), m_clients.end(),
                               [&](const Client& c) { return c.fd == p.fd; });
        if (it == m_clients.end() || !p.revents) continue;
        it->last = now;
        if (!(p.revents & POLLIN) || !Request(p.fd, channels)) drop.push_back(p.fd);
    }
    for (const Client& c : m_clients)
        if (now - c.last > std::chrono::seconds(m_config.idleTimeout)) drop.push_back(c.fd);
    for (int fd : drop) {
        auto it = std::find_if(m_clients.begin(), m_clients.end(),
                               [&](const Client& c) { return c.fd == fd; });
        if (it == m_clients.end()) continue;
        ::close(fd);
        m_clients.erase(it);
    }
}

bool ModbusServer::Request(int fd, const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    uint8_t q[MODBUS_TCP_MAX_ADU_LENGTH];
    modbus_set_socket(m_ctx, fd);
    const int length = modbus_receive(m_ctx, q);
    if (length <= 0) return false;  // closed, garbage, or stopped mid-request: dropped
    const int h = modbus_get_header_length(m_ctx);  // MBAP header, its last byte the unit id
    const int unit = q[h - 1], function = q[h];

    GatewayChannel* ch = nullptr;
    for (const auto& c : channels)
        if (c && c->Config().unitId == unit) ch = c.get();
    if (!ch) return modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_GATEWAY_TARGET) >= 0;

    const int stations = static_cast<int>(ch->Stations().size());
    const int bits = 8 * stations;
    const uint16_t address = length >= h + 5 ? Word(q + h + 1) : 0;
    uint16_t count = length >= h + 5 ? Word(q + h + 3) : 0;
    if (function == MODBUS_FC_WRITE_SINGLE_COIL) count = 1;
    auto outside = [&](int size) { return address + count > size; };

    modbus_mapping_t* map = modbus_mapping_new(bits, bits, 0, 16 * stations);
    if (!map)
        return modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE) >= 0;
    int rc;
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS:
        case MODBUS_FC_READ_INPUT_REGISTERS: {
            if (count >= 1 &&
                outside(function == MODBUS_FC_READ_INPUT_REGISTERS ? 16 * stations : bits)) {
                rc = modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
                break;
            }
            for (int p = 0; p < stations; ++p) {
                const uint8_t status = ch->StatusByte(p);
                for (int b = 0; b < 8; ++b) map->tab_input_bits[8 * p + b] = (status >> b) & 1;
                const StationState& s = ch->Stations()[static_cast<size_t>(p)].last;
                uint16_t* r = map->tab_input_registers + 16 * p;
                r[0] = StateCode(s.state);
                r[1] = Clamp(s.controls);
                r[2] = Clamp(s.controlFailures);
                r[3] = Clamp(s.polls);
                r[4] = Clamp(s.pollFailures);
                r[5] = status;
            }
            rc = modbus_reply(m_ctx, q, length, map);  // libmodbus checks the quantity
            break;
        }
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_MULTIPLE_COILS: {
            if (m_config.readOnly) {
                rc = modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
                break;
            }
            if (count < 1 || outside(bits)) {
                rc = modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
                break;
            }
            // the coils written 1: each a one-bit command; 0 does nothing. A
            // request libmodbus would refuse (a value other than 0xFF00 or 0,
            // a byte count that does not fit) is left to it to answer.
            bool wellFormed;
            std::vector<int> ones;
            if (function == MODBUS_FC_WRITE_SINGLE_COIL) {
                const uint16_t v = Word(q + h + 3);
                wellFormed = v == 0xFF00 || v == 0x0000;
                if (v == 0xFF00) ones.push_back(address);
            } else {
                const int bytes = length > h + 5 ? q[h + 5] : -1;
                wellFormed = bytes == (count + 7) / 8 && length >= h + 6 + bytes;
                for (int i = 0; wellFormed && i < count; ++i)
                    if ((q[h + 6 + i / 8] >> (i % 8)) & 1) ones.push_back(address + i);
            }
            if (!wellFormed) {
                rc = modbus_reply(m_ctx, q, length, map);
                break;
            }
            std::vector<std::string> commands;
            for (int coil : ones) commands.push_back(ch->OutputTag(coil / 8, coil % 8));
            if (std::find(commands.begin(), commands.end(), "") != commands.end()) {
                // a coil no output tag serves is outside the map
                rc = modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
                break;
            }
            // nothing is queued while one of them still waits
            if (std::any_of(commands.begin(), commands.end(),
                            [&](const std::string& t) { return ch->WriteBusy(t); })) {
                rc = modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
                break;
            }
            bool refused = false;
            for (const std::string& t : commands) {
                const WriteResult r = ch->Write(t, 1, "", false);
                m_results.OnWriteResult(ch->Name(), t, r, "");
                refused = refused || r != WriteResult::queued;
            }
            rc = refused
                     ? modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE)
                     : modbus_reply(m_ctx, q, length, map);
            break;
        }
        default:
            rc = modbus_reply_exception(m_ctx, q, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
            break;
    }
    modbus_mapping_free(map);
    return rc >= 0;
}
