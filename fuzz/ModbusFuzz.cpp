// One Modbus TCP request (a whole ADU, as a client may send anything) for a
// channel of three stations, some bits without tags: an answer or an
// exception of the request's own transaction, never a crash; a write reaches
// the command entry only for a coil that has an output tag.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigData.h"
#include "config/StationData.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/modbus/ModbusServer.h"
#include "host/DriverTable.h"

namespace {

// The command entry: takes every write (nothing is sent anywhere).
class Taker : public CommandEntry {
public:
    CommandReply Execute(GatewayCommand& command) override {
        if (command.target.empty()) __builtin_trap();
        CommandReply r;
        r.result = WriteResult::queued;
        return r;
    }
    bool WriteBusy(const std::string&, const std::string&) override { return false; }
};

struct World {
    DriverTable driver;  // (never called: the channel is loaded, not started)
    NullSink sink;
    Taker entry;
    GatewayModbusConfig config;
    std::unique_ptr<ModbusServer> server;
    std::vector<std::unique_ptr<GatewayChannel>> channels;
    World() {
        char folder[] = "/tmp/modbusfuzz.XXXXXX";
        if (!::mkdtemp(folder)) std::abort();
        const std::string cfg = std::string(folder) + "/line.cfg",
                          tags = std::string(folder) + "/line.tags";
        CConfigData c;
        for (int n = 1; n <= 3; ++n) {
            auto* s = new CStationData;
            s->SetName(("P" + std::to_string(n)).c_str());
            s->SetStationNo(n);
            c.AddStation(s);
        }
        if (c.Save(cfg.c_str()) != 0) std::abort();
        std::ofstream(tags) << "a=Line.P1:I0\nb=Line.P1:O1\nc=Line.P3:O7\nd=Line.P2:I5\n";
        GatewayChannelConfig gc;
        gc.name = "Line";
        gc.configPath = cfg;
        gc.tagsPath = tags;
        gc.unitId = 1;
        auto ch = std::make_unique<GatewayChannel>(driver, gc, 0, sink);
        std::string error;
        if (!ch->Load(&error)) std::abort();
        channels.push_back(std::move(ch));
        server = std::make_unique<ModbusServer>(config, entry);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // (never destroyed: the driver stays loaded to the end, as in a host)
    static World& world = *new World;
    // (the server hands on whole ADUs, as their header says: made so here)
    if (size < 8 || size > 6 + 254) return 0;
    std::string request(reinterpret_cast<const char*>(data), size);
    request[2] = request[3] = 0;
    request[4] = static_cast<char>((size - 6) >> 8);
    request[5] = static_cast<char>((size - 6) & 0xFF);
    const std::string answer = world.server->Answer(request, world.channels, "fuzz");
    if (answer.size() < 9 || answer.compare(0, 4, request, 0, 4) != 0) __builtin_trap();
    return 0;
}
