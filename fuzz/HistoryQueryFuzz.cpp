// The history API's query arguments, as any client may send them (lines of
// NAME=VALUE): a query within its bounds, or a refusal saying why.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include "gateway/history/History.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::map<std::string, std::string> args;
    std::istringstream lines(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) args[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (int most : {1000, 10000}) {
        HistoryQuery q;
        std::string refusal;
        const bool ok = HistoryQueryOf(
            [&](const char* name) {
                auto it = args.find(name);
                return it == args.end() ? std::string() : it->second;
            },
            most, &q, &refusal);
        if (!ok && refusal.empty()) __builtin_trap();
        if (ok && (q.limit < 1 || q.limit > most)) __builtin_trap();
    }
    return 0;
}
