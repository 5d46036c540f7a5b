#include "Reference.h"

#include <modbus/modbus.h>
#include <open62541/plugin/log_stdout.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace gwbench {
namespace {

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

pid_t Child() {
    const pid_t pid = ::fork();
    if (pid == 0) ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return pid;
}

}  // namespace

ModbusLoad LoadModbus(int port, int unit, int stations, int clients, double seconds) {
    std::mutex lock;
    std::vector<double> trips;
    std::atomic<size_t> failed{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            modbus_t* c = modbus_new_tcp("127.0.0.1", port);
            if (!c || modbus_connect(c) != 0) {
                ++failed;
                if (c) modbus_free(c);
                return;
            }
            modbus_set_slave(c, unit);
            modbus_set_response_timeout(c, 5, 0);
            std::vector<double> mine;
            uint8_t bits[8];
            while (!go) std::this_thread::yield();
            const double end = NowMs() + seconds * 1000;
            for (int n = i; NowMs() < end; ++n) {
                const double t0 = NowMs();
                if (modbus_read_input_bits(c, 8 * (n % stations), 8, bits) != 8) {
                    ++failed;
                    continue;
                }
                mine.push_back(NowMs() - t0);
            }
            modbus_close(c);
            modbus_free(c);
            std::lock_guard<std::mutex> hold(lock);
            trips.insert(trips.end(), mine.begin(), mine.end());
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // (every client connected)
    const double t0 = NowMs();
    go = true;
    for (auto& t : threads) t.join();
    const double wall = (NowMs() - t0) / 1000;
    ModbusLoad load;
    load.failed = failed;
    if (trips.empty()) return load;
    std::sort(trips.begin(), trips.end());
    load.perSecond = static_cast<double>(trips.size()) / wall;
    load.median = trips[trips.size() / 2];
    load.p99 = trips[std::min(trips.size() - 1, trips.size() * 99 / 100)];
    return load;
}

pid_t StartLibmodbusServer(int port, int stations) {
    const pid_t pid = Child();
    if (pid != 0) return pid;
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t* map = modbus_mapping_new_start_address(0, 0, 0, 8 * stations, 0, 0, 0, 0);
    for (int i = 0; i < 8 * stations; ++i) map->tab_input_bits[i] = static_cast<uint8_t>(i % 3 == 0);
    const int listener = modbus_tcp_listen(ctx, 128);
    fd_set all;
    FD_ZERO(&all);
    FD_SET(listener, &all);
    int highest = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fd_set ready = all;
        if (::select(highest + 1, &ready, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            _exit(1);
        }
        for (int fd = 0; fd <= highest; ++fd) {
            if (!FD_ISSET(fd, &ready)) continue;
            if (fd == listener) {
                const int client = ::accept(listener, nullptr, nullptr);
                if (client >= 0 && client < FD_SETSIZE) {
                    FD_SET(client, &all);
                    highest = std::max(highest, client);
                } else if (client >= 0) {
                    ::close(client);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int n = modbus_receive(ctx, query);
            if (n > 0) {
                modbus_reply(ctx, query, n, map);
            } else if (n < 0) {
                ::close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
}

BareOpcua StartBareOpcua(int port, const std::vector<std::string>& ids) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = Child();
    if (pid != 0) {
        ::close(fds[0]);
        return {pid, fds[1]};
    }
    ::close(fds[1]);
    static UA_Logger quiet = {[](void*, UA_LogLevel, UA_LogCategory, const char*, va_list) {},
                              nullptr, nullptr};
    UA_ServerConfig config;
    std::memset(&config, 0, sizeof config);
    config.logging = &quiet;
    UA_ServerConfig_setMinimal(&config, static_cast<UA_UInt16>(port), nullptr);
    config.maxMonitoredItemsPerSubscription = 5000;
    // the limits ours has: a publish every 50 ms at the fastest
    config.publishingIntervalLimits = UA_DurationRange{50.0, 3600.0 * 1000.0};
    config.samplingIntervalLimits = UA_DurationRange{50.0, 24.0 * 3600.0 * 1000.0};
    config.maxSessions = 100;
    UA_Server* server = UA_Server_newWithConfig(&config);
    const UA_UInt16 ns = 1;  // (the server's own namespace, where ours has its nodes too)
    for (const std::string& id : ids) {
        UA_VariableAttributes attr = UA_VariableAttributes_default;
        UA_Boolean value = false;
        UA_Variant_setScalar(&attr.value, &value, &UA_TYPES[UA_TYPES_BOOLEAN]);
        attr.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(id.c_str()));
        UA_Server_addVariableNode(server, UA_NODEID_STRING(ns, const_cast<char*>(id.c_str())),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
                                  UA_QUALIFIEDNAME(ns, const_cast<char*>(id.c_str())),
                                  UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE), attr,
                                  nullptr, nullptr);
    }
    // the producer: lines from the pipe, each a value written as it comes
    std::thread producer([&] {
        FILE* in = ::fdopen(fds[0], "r");
        size_t index;
        int value;
        while (in && std::fscanf(in, "%zu %d", &index, &value) == 2) {
            if (index >= ids.size()) continue;
            UA_Boolean b = value != 0;
            UA_Variant v;
            UA_Variant_setScalar(&v, &b, &UA_TYPES[UA_TYPES_BOOLEAN]);
            UA_Server_writeValue(server, UA_NODEID_STRING(ns, const_cast<char*>(ids[index].c_str())),
                                 v);
        }
        _exit(0);
    });
    UA_Server_runUntilInterrupt(server);
    _exit(0);
}

void SetBareValue(const BareOpcua& server, size_t index, bool value) {
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%zu %d\n", index, value ? 1 : 0);
    (void)!::write(server.pipe, line, static_cast<size_t>(n));
}

}  // namespace gwbench
