// The soak run: several channels with many stations each, driven for a while
// by several host threads at once (writes, status questions, stations
// switched off and on, tags registered while scanning, channels stopped and
// started again). The host threads write as a host does: an output again
// only once IsWriteDone said its last write was done, and now and then (a
// bounded share) a few writes fired without waiting. At the end every accepted
// write must have been served exactly once, and the process must end without
// a leak (run it in the AddressSanitizer build). Simulators on the soak's
// ports of scripts/com-ports.txt; SOAK_SECONDS (120).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SimControl.h"
#include "TestSupport.h"
#include "com_ports.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"
#include "host/HostInterface.h"
#include "host/TagVal.h"
#include "host/ZeravError.h"

namespace {

const int kChannels = kComSoakCount;
const int kStations = 6;
const int kDigital = kDigitalTagType;
const int kTimeoutMs = 200;
const int kRetries = 1;
// Writes to one output fired without waiting for the last, at most.
const int kUnwaited = 3;

struct Output {
    int32_t tag;
    int unconfirmed = 0;  // accepted since IsWriteDone last said done
};

struct Station {
    std::string name;
    std::vector<Output> outputs;
    std::atomic<int> accepted{0};
};

struct Channel {
    int handle = -1;
    std::mutex lock;  // registration and stop/start come from several threads
    Station stations[kStations];
};

void Quiet(int, const char*, int, const char* const*) {}

}  // namespace

int main() {
    CZeravError::SetHandler(&Quiet);
    const int seconds = std::getenv("SOAK_SECONDS") ? std::atoi(std::getenv("SOAK_SECONDS")) : 120;
    testsupport::ScratchDir dir;
    Channel channels[kChannels];
    int failures = 0;
    auto fail = [&](const std::string& what) {
        std::printf("FAIL: %s\n", what.c_str());
        ++failures;
    };
    {
        DriverTable drv;
        for (int c = 0; c < kChannels; ++c) {
            testsupport::SimControl sim(kComSoak + c);
            if (!sim.Connected()) {
                std::printf("run through scripts/with-mcsim with the soak's ports\n");
                return 2;
            }
            sim.Ok("reset");
            CConfigData config;
            config.SetPort(kComSoak - 1 + c);
            config.SetTimeout(kTimeoutMs);
            config.SetRetries(kRetries);
            for (int s = 0; s < kStations; ++s) {
                auto* st = new CStationData;
                channels[c].stations[s].name = "S" + std::to_string(s);
                st->SetName(channels[c].stations[s].name.c_str());
                st->SetStationNo(s + 1);
                st->SetPollPeriod(100);
                config.AddStation(st);
                // one station of each channel answers now and then only
                sim.Ok("add " + std::to_string(s + 1) + " 0 toggle");
            }
            sim.Ok("fault 3 badthengood on");
            std::string path = dir.Path("soak" + std::to_string(c) + ".cfg");
            config.Save(path.c_str());
            Channel& ch = channels[c];
            ch.handle = drv.Open(path);
            for (int s = 0; s < kStations; ++s) {
                ch.stations[s].outputs.push_back(
                    {drv.Register(ch.handle, ch.stations[s].name.c_str(), "O0", kDigital, 1)});
                drv.Register(ch.handle, ch.stations[s].name.c_str(), "I0", kDigital, 2);
            }
            if (drv.Start(ch.handle) != 0) fail("start channel " + std::to_string(c));
            drv.StartScan(ch.handle);
            drv.SetActive(ch.handle, nullptr, 1);
        }

        std::atomic<bool> stop{false};
        std::atomic<long> operations{0};
        auto host = [&](int seed) {
            std::mt19937 random(seed);
            while (!stop) {
                Channel& ch = channels[random() % kChannels];
                Station& st = ch.stations[random() % kStations];
                int32_t counters[4];
                switch (random() % 10) {
                    case 0:
                    case 1:
                    case 2: {
                        CTagVal value(kValueTypeNumber, 1.0);
                        std::lock_guard<std::mutex> hold(ch.lock);
                        Output& out = st.outputs[random() % st.outputs.size()];
                        if (drv.IsWriteDone(ch.handle, out.tag) == 1) {
                            out.unconfirmed = 0;
                        } else if (random() % 8 != 0 || out.unconfirmed >= kUnwaited) {
                            break;  // its last write still waits
                        }
                        if (drv.Write(ch.handle, out.tag, &value) == 0) {
                            ++out.unconfirmed;
                            ++st.accepted;
                        }
                        break;
                    }
                    case 3: {
                        std::lock_guard<std::mutex> hold(ch.lock);
                        drv.IsWriteDone(ch.handle, st.outputs.front().tag);
                        break;
                    }
                    case 4:
                        drv.GetStatus(ch.handle, random() % 2 ? st.name.c_str() : nullptr,
                                      counters);
                        break;
                    case 5: {
                        std::lock_guard<std::mutex> hold(ch.lock);
                        if (st.outputs.size() < 50) {
                            int32_t tag =
                                drv.Register(ch.handle, st.name.c_str(), "O1", kDigital, 3);
                            if (tag < 0) fail("register while scanning");
                            st.outputs.push_back({tag});
                        }
                        break;
                    }
                    case 6:
                        drv.SetActive(ch.handle, st.name.c_str(), static_cast<int>(random() % 2));
                        break;
                    case 7:
                        if (random() % 20 == 0) {
                            std::lock_guard<std::mutex> hold(ch.lock);
                            drv.Stop(ch.handle);
                            drv.Start(ch.handle);
                            drv.StartScan(ch.handle);
                        }
                        break;
                    default:
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        break;
                }
                ++operations;
            }
        };
        std::vector<std::thread> hosts;
        for (int i = 0; i < 4; ++i) hosts.emplace_back(host, 1000 + i);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        stop = true;
        for (auto& t : hosts) t.join();

        // everyone on again, then every queue drains: a pass serves one write
        // a station, and a pass in which every station serves one and every
        // transaction fails takes the longest
        for (Channel& ch : channels) {
            for (Station& st : ch.stations) drv.SetActive(ch.handle, st.name.c_str(), 1);
        }
        const int worstPassMs = kStations * (100 + (kRetries + 1) * kTimeoutMs * 2) + 50;
        for (Channel& ch : channels) {
            int longestQueue = 0;
            for (Station& st : ch.stations) {
                int queued = 0;
                for (const Output& out : st.outputs) queued += out.unconfirmed;
                if (queued > longestQueue) longestQueue = queued;
            }
            const int limitMs = (longestQueue + 1) * worstPassMs + 5000;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
            for (Station& st : ch.stations) {
                for (const Output& out : st.outputs) {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now());
                    if (!testsupport::WaitUntil(
                            [&] { return drv.IsWriteDone(ch.handle, out.tag) == 1; },
                            static_cast<int>(std::max<long long>(left.count(), 0)))) {
                        fail("a write never left the queue (" + std::to_string(longestQueue) +
                             " queued at most, " + std::to_string(limitMs) + " ms allowed)");
                    }
                }
                int32_t counters[4];
                drv.GetStatus(ch.handle, st.name.c_str(), counters);
                if (counters[0] != st.accepted) {
                    fail(st.name + ": " + std::to_string(st.accepted) + " writes taken, " +
                         std::to_string(counters[0]) + " served");
                }
            }
        }
        long writes = 0;
        for (Channel& ch : channels)
            for (Station& st : ch.stations) writes += st.accepted;
        std::printf("soak: %d s, %ld host calls, %ld writes taken and served once each\n", seconds,
                    operations.load(), writes);
        for (Channel& ch : channels) drv.Stop(ch.handle);
    }  // the driver unloads here
    std::printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
