// What our servers compete with: the bare libraries they are built on,
// serving the same registers and variables in processes of their own, and
// the loads gateway_bench puts on both alike.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace gwbench {

struct ModbusLoad {
    double perSecond = 0, median = 0, p99 = 0;  // requests a second in all; round trip, ms
    size_t failed = 0;
};

// `clients` libmodbus clients on as many threads, each reading the 8
// discrete inputs of a station of `unit` back to back for `seconds`.
ModbusLoad LoadModbus(int port, int unit, int stations, int clients, double seconds);

// A libmodbus server answering from a mapping (the 8 discrete inputs of
// `stations` stations), a select() loop over its clients, in a child process.
pid_t StartLibmodbusServer(int port, int stations);

// A bare open62541 server (its minimal configuration) holding a Boolean
// variable for each of `ids` in namespace 1, in a child process; a line
// "INDEX VALUE\n" on the returned pipe sets one, through the server's own
// thread-safe write, as a producer beside the server would.
struct BareOpcua {
    pid_t pid = -1;
    int pipe = -1;
};
BareOpcua StartBareOpcua(int port, const std::vector<std::string>& ids);
void SetBareValue(const BareOpcua& server, size_t index, bool value);

}  // namespace gwbench
