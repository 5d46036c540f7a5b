#include "gateway/modbus/ModbusServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "gateway/core/Journal.h"

namespace {

// Function codes and exception codes as the Modbus application protocol names them.
enum : uint8_t {
    kReadCoils = 1,
    kReadDiscreteInputs = 2,
    kReadHoldingRegisters = 3,
    kReadInputRegisters = 4,
    kWriteSingleCoil = 5,
    kWriteMultipleCoils = 15,
};
enum : uint8_t {
    kIllegalFunction = 1,
    kIllegalDataAddress = 2,
    kIllegalDataValue = 3,
    kServerFailure = 4,
    kServerBusy = 6,
    kGatewayTargetFailed = 0x0B,
};

const size_t kHeader = 7;  // MBAP: transaction, protocol, length, unit
// When every slot is taken, a client quiet this long gives its slot to a new one.
const auto kReclaimAfter = std::chrono::seconds(2);
const size_t kMaxPdu = 253;
// What one request may ask for at most (the protocol's own limits), and how
// a channel's stations are laid out in the map: 8 bits, 16 registers each.
const int kMostBitsRead = 2000;
const int kMostRegistersRead = 125;
const int kMostCoilsWritten = 1968;
const int kBitsPerStation = 8;
const int kRegistersPerStation = 16;
const size_t kMaxOut = 16 * 1024;  // replies waiting for a client; beyond, it is not read
const auto kRequestBound = std::chrono::seconds(2);  // a request begun must be complete by then
const auto kSendBound = std::chrono::seconds(5);     // replies not taken for this long: dropped

uint16_t Word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void PutWord(std::string* out, uint32_t v) {
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
    out->push_back(static_cast<char>(v & 0xFF));
}

std::string Exception(uint8_t function, uint8_t code) {
    return std::string{static_cast<char>(function | 0x80), static_cast<char>(code)};
}

// (the register's numbers are the map's, documented apart from the names)
uint16_t StateCode(StationHealth state) {
    switch (state) {
        case StationHealth::ok:
            return 0;
        case StationHealth::fault:
            return 1;
        case StationHealth::disabled:
            return 2;
        case StationHealth::unknown:
            break;
    }
    return 3;
}

}  // namespace

void StationRegisterBlock(const StationState& s, uint8_t statusByte, uint16_t r[16]) {
    const uint32_t counters[4] = {
        static_cast<uint32_t>(s.controls), static_cast<uint32_t>(s.controlFailures),
        static_cast<uint32_t>(s.polls), static_cast<uint32_t>(s.pollFailures)};
    std::fill(r, r + 16, 0);
    r[0] = StateCode(s.state);
    for (int i = 0; i < 4; ++i) {
        r[1 + i] = static_cast<uint16_t>(counters[i] & 0xFFFF);  // wraps as a counter does
        r[6 + 2 * i] = static_cast<uint16_t>(counters[i] >> 16);
        r[7 + 2 * i] = static_cast<uint16_t>(counters[i] & 0xFFFF);
    }
    r[5] = statusByte;
}

namespace {

void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string PeerAddress(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (a.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
    else if (a.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text,
                    sizeof text);
    return text;
}

}  // namespace

ModbusServer::ModbusServer(const GatewayModbusConfig& config, CommandEntry& entry)
    : m_config(config), m_entry(entry) {}

ModbusServer::~ModbusServer() {
    for (const Client& c : m_clients) ::close(c.fd);
    if (m_listen >= 0) ::close(m_listen);
}

bool ModbusServer::Start(std::string* error) {
    const std::string where = m_config.listen + ":" + std::to_string(m_config.port);
    sockaddr_storage address{};
    unsigned length = 0;
    if (!ListenAddress(m_config.listen, m_config.port, &address, &length)) {
        *error = "modbus: cannot serve " + where;
        return false;
    }
    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // (a backlog beyond max_clients: the one too many is accepted and closed, not left hanging)
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                    ::listen(fd, m_config.maxClients + 64) == 0;
    if (!ok) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        *error = "modbus: cannot listen on " + where + ": " + std::strerror(err);
        return false;
    }
    SetNonBlocking(fd);
    m_listen = fd;
    Journal(kInfo, "modbus: serving " + where);
    return true;
}

void ModbusServer::AddPollFds(std::vector<pollfd>* fds) const {
    if (m_listen < 0) return;
    fds->push_back({m_listen, POLLIN, 0});
    for (const Client& c : m_clients) {
        // a client that leaves its replies untaken is not read further
        short events = c.out.size() < kMaxOut ? POLLIN : 0;
        if (!c.out.empty()) events |= POLLOUT;
        fds->push_back({c.fd, events, 0});
    }
}

void ModbusServer::Accept() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (m_clients.size() >= static_cast<size_t>(m_config.maxClients)) {
            // full: the client quiet longest makes room, if it has been
            // quiet a while (idle connections do not lock the others out);
            // else the new one is closed
            auto idlest =
                std::min_element(m_clients.begin(), m_clients.end(),
                                 [](const Client& a, const Client& b) { return a.last < b.last; });
            if (Clock::now() - idlest->last < kReclaimAfter) {
                Journal(kWarning, "modbus: a client more than max_clients: closed");
                ::close(fd);
                continue;
            }
            Journal(kWarning, "modbus: max_clients reached: " + idlest->address +
                                  ", quiet longest, closed to make room");
            ::close(idlest->fd);
            m_clients.erase(idlest);
        }
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        const auto now = Clock::now();
        m_clients.push_back({fd, PeerAddress(peer), "", "", now, now, now});
    }
}

void ModbusServer::Serve(const pollfd* fds, size_t count,
                         const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    const auto now = Clock::now();
    std::vector<int> drop;
    bool incoming = false;
    for (size_t i = 0; i < count; ++i) {
        const pollfd& p = fds[i];
        if (!p.revents) continue;  // (most of them, most of the time)
        if (p.fd == m_listen && p.fd >= 0) {
            incoming = p.revents & POLLIN;
            continue;
        }
        // (in the order AddPollFds put them, after the listener, unless a
        // client came or went since)
        auto it = i >= 1 && i - 1 < m_clients.size() && m_clients[i - 1].fd == p.fd
                      ? m_clients.begin() + static_cast<std::ptrdiff_t>(i - 1)
                      : std::find_if(m_clients.begin(), m_clients.end(),
                                     [&](const Client& c) { return c.fd == p.fd; });
        if (it == m_clients.end()) continue;
        bool keep = !(p.revents & (POLLERR | POLLNVAL));
        if (keep && (p.revents & (POLLIN | POLLHUP))) keep = Read(*it, channels);
        if (keep && !it->out.empty()) keep = Write(*it);
        if (!keep) drop.push_back(p.fd);
    }
    for (Client& c : m_clients) {
        const char* why = nullptr;
        // (a client whose replies wait is not read: only the replies count then)
        if (!c.out.empty() && now - c.sendStalled > kSendBound)
            why = "it does not take its replies";
        else if (!c.in.empty() && c.out.size() < kMaxOut && now - c.requestBegun > kRequestBound)
            why = "its request did not complete in time";
        else if (now - c.last > std::chrono::seconds(m_config.idleTimeout))
            drop.push_back(c.fd);  // (idle: nothing to tell)
        if (why) {
            Journal(kWarning, "modbus: " + c.address + " dropped: " + why);
            drop.push_back(c.fd);
        }
    }
    for (int fd : drop) {
        auto it = std::find_if(m_clients.begin(), m_clients.end(),
                               [&](const Client& c) { return c.fd == fd; });
        if (it == m_clients.end()) continue;
        ::close(fd);
        m_clients.erase(it);
    }
    // (after the clients: a slot that a client left just now is free for the next)
    if (incoming) Accept();
}

bool ModbusServer::Read(Client& c, const std::vector<std::unique_ptr<GatewayChannel>>& channels) {
    char buffer[4096];
    for (;;) {
        if (c.out.size() >= kMaxOut) break;  // read on once its replies are taken
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0) return false;  // closed
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        const auto now = Clock::now();
        if (c.in.empty()) c.requestBegun = now;
        c.last = now;
        c.in.append(buffer, static_cast<size_t>(n));
        // less than asked for: that was all there is; poll tells of more
        // (one receive a request, not a second to hear it would block)
        const bool drained = static_cast<size_t>(n) < sizeof buffer;
        // every whole request in what has come
        while (c.in.size() >= kHeader) {
            const auto* h = reinterpret_cast<const uint8_t*>(c.in.data());
            const size_t length = Word(h + 4);  // the unit id and the PDU
            if (Word(h + 2) != 0 || length < 2 || length > kMaxPdu + 1) return false;  // not Modbus
            if (c.in.size() < 6 + length) break;
            if (c.out.empty()) c.sendStalled = now;
            c.out += Answer(c.in.substr(0, 6 + length), channels, c.address);
            c.in.erase(0, 6 + length);
            c.requestBegun = now;
        }
        if (drained) break;
    }
    return true;
}

bool ModbusServer::Write(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        const bool wasFull = c.out.size() >= kMaxOut;
        c.out.erase(0, static_cast<size_t>(n));
        c.last = c.sendStalled = Clock::now();
        if (wasFull && c.out.size() < kMaxOut) c.requestBegun = c.last;  // read again from now
    }
    return true;
}

std::string ModbusServer::Answer(const std::string& request,
                                 const std::vector<std::unique_ptr<GatewayChannel>>& channels,
                                 const std::string& who) {
    const auto* q = reinterpret_cast<const uint8_t*>(request.data());
    const uint8_t unit = q[6];
    GatewayChannel* ch = nullptr;
    for (const auto& c : channels)
        if (c && c->Config().unitId == unit) ch = c.get();
    const std::string pdu = ch ? Pdu(q + kHeader, request.size() - kHeader, *ch, who)
                               : Exception(q[kHeader], kGatewayTargetFailed);
    // (the function as asked; 0 for no exception)
    const int exception = static_cast<uint8_t>(pdu[0]) & 0x80 ? static_cast<uint8_t>(pdu[1]) : 0;
    ++m_requests[{q[kHeader], exception}];
    std::string reply = request.substr(0, 4);  // transaction and protocol, as asked
    PutWord(&reply, static_cast<uint32_t>(pdu.size() + 1));
    reply.push_back(static_cast<char>(unit));
    return reply + pdu;
}

std::string ModbusServer::Pdu(const uint8_t* pdu, size_t length, GatewayChannel& ch,
                              const std::string& who) {
    switch (pdu[0]) {
        case kReadCoils:
        case kReadDiscreteInputs:
            return ReadBits(pdu, length, ch);
        case kReadHoldingRegisters:
        case kReadInputRegisters:
            return ReadRegisters(pdu, length, ch);
        case kWriteSingleCoil:
        case kWriteMultipleCoils:
            return WriteCoils(pdu, length, ch, who);
        default:
            return Exception(pdu[0], kIllegalFunction);
    }
}

// A read's address and count, checked against its function's limit and the
// channel's size (perStation items a station): "" when they hold, else the
// exception answer.
std::string ModbusServer::ReadRange(const uint8_t* pdu, size_t length, int most, int perStation,
                                    GatewayChannel& ch, int* address, int* count) {
    if (length != 5) return Exception(pdu[0], kIllegalDataValue);
    *address = Word(pdu + 1);
    *count = Word(pdu + 3);
    if (*count < 1 || *count > most) return Exception(pdu[0], kIllegalDataValue);
    if (*address + *count > perStation * static_cast<int>(ch.Stations().size()))
        return Exception(pdu[0], kIllegalDataAddress);
    return "";
}

std::string ModbusServer::ReadBits(const uint8_t* pdu, size_t length, GatewayChannel& ch) {
    const uint8_t function = pdu[0];
    int address = 0, count = 0;
    const std::string refused =
        ReadRange(pdu, length, kMostBitsRead, kBitsPerStation, ch, &address, &count);
    if (!refused.empty()) return refused;
    // (coils read 0: the outputs are pulses) A coil no output tag serves is
    // outside the map, for a read as for a write.
    if (function == kReadCoils && !AllTagged(ch, address, count))
        return Exception(function, kIllegalDataAddress);
    std::string bytes(static_cast<size_t>((count + 7) / 8), '\0');
    uint8_t status = 0;  // (a station's byte, read once for its 8 bits)
    for (int i = 0; function == kReadDiscreteInputs && i < count; ++i) {
        const int bit = address + i;
        if (i == 0 || bit % 8 == 0) status = ch.StatusByte(bit / 8);
        if ((status >> (bit % 8)) & 1)
            bytes[static_cast<size_t>(i / 8)] |= static_cast<char>(1 << (i % 8));
    }
    return std::string{static_cast<char>(function), static_cast<char>(bytes.size())} + bytes;
}

std::string ModbusServer::ReadRegisters(const uint8_t* pdu, size_t length, GatewayChannel& ch) {
    const uint8_t function = pdu[0];
    int address = 0, count = 0;
    const std::string refused =
        ReadRange(pdu, length, kMostRegistersRead, kRegistersPerStation, ch, &address, &count);
    if (!refused.empty()) return refused;
    std::string out{static_cast<char>(function), static_cast<char>(2 * count)};
    uint16_t r[16];
    for (int i = address; i < address + count; ++i) {
        if (i == address || i % 16 == 0)
            StationRegisterBlock(ch.Stations()[static_cast<size_t>(i / 16)].last,
                                 ch.StatusByte(i / 16), r);
        PutWord(&out, r[i % 16]);
    }
    return out;
}

std::string ModbusServer::WriteCoils(const uint8_t* pdu, size_t length, GatewayChannel& ch,
                                     const std::string& who) {
    const uint8_t function = pdu[0];
    const int bits = 8 * static_cast<int>(ch.Stations().size());
    std::vector<int> ones;
    if (function == kWriteSingleCoil) {
        if (length != 5) return Exception(function, kIllegalDataValue);
        const int address = Word(pdu + 1), value = Word(pdu + 3);
        if (value != 0xFF00 && value != 0) return Exception(function, kIllegalDataValue);
        if (address >= bits || !AllTagged(ch, address, 1))
            return Exception(function, kIllegalDataAddress);
        // 0 is taken and does nothing: a momentary button writes 1 on press
        // and 0 on release, and the release must not fail
        if (value == 0xFF00) ones.push_back(address);
    } else {
        if (length < 6) return Exception(function, kIllegalDataValue);
        const int address = Word(pdu + 1), count = Word(pdu + 3), bytes = pdu[5];
        // the byte count must be exactly what the quantity needs: a
        // request that says otherwise is not carried out in part
        if (count < 1 || count > kMostCoilsWritten || bytes != (count + 7) / 8 ||
            length != 6 + static_cast<size_t>(bytes))
            return Exception(function, kIllegalDataValue);
        if (address + count > bits || !AllTagged(ch, address, count))
            return Exception(function, kIllegalDataAddress);
        for (int i = 0; i < count; ++i)
            if ((pdu[6 + i / 8] >> (i % 8)) & 1) ones.push_back(address + i);
    }
    const std::string refusal = Writes(function, ones, ch, who);
    // the answer echoes the request's address and value (5) or quantity (15)
    return refusal.empty() ? std::string(reinterpret_cast<const char*>(pdu), 5) : refusal;
}

bool ModbusServer::AllTagged(const GatewayChannel& ch, int address, int count) {
    for (int coil = address; coil < address + count; ++coil)
        if (ch.OutputTag(coil / 8, coil % 8).empty()) return false;
    return true;
}

uint8_t ModbusServer::ExceptionFor(const CommandReply& reply) {
    switch (reply.result) {
        case WriteResult::queued:
            return 0;
        case WriteResult::busy:
            return kServerBusy;
        case WriteResult::refused:
            break;
        default:  // (a final result: not what the entry answers at once)
            return kServerFailure;
    }
    switch (reply.why) {
        case Refusal::readOnly:
            return kIllegalFunction;
        case Refusal::unknownChannel:
        case Refusal::unknownTarget:
        case Refusal::notOutput:
            return kIllegalDataAddress;
        case Refusal::payload:
        case Refusal::command:
        case Refusal::requestId:
            return kIllegalDataValue;
        case Refusal::driver:
        case Refusal::none:
            break;
    }
    return kServerFailure;
}

std::string ModbusServer::Writes(uint8_t function, const std::vector<int>& coils,
                                 GatewayChannel& ch, const std::string& who) {
    std::vector<std::string> tags;
    for (int coil : coils) {
        tags.push_back(ch.OutputTag(coil / 8, coil % 8));
    }
    // nothing is queued while one of them still waits
    for (const std::string& t : tags)
        if (m_entry.WriteBusy(ch.Name(), t)) return Exception(function, kServerBusy);
    for (const std::string& t : tags) {
        GatewayCommand c;
        c.kind = GatewayCommand::write;
        c.ticket.origin = Origin::modbus;
        c.ticket.who = who;
        c.channel = ch.Name();
        c.target = t;
        c.payload = "1";
        const uint8_t refused = ExceptionFor(m_entry.Execute(c));
        if (refused) return Exception(function, refused);
    }
    return "";
}
