// Section 4: the host's calls while 1 and 36 channels scan.
#include <sys/resource.h>

#include <functional>
#include <thread>

#include "ScanBench.h"
#include "host/DriverTable.h"
#include "protocol/StationProtocol.h"

namespace scanbench {

// Minor page faults of the calling thread so far.
long ThreadFaults() {
    rusage u;
    ::getrusage(RUSAGE_THREAD, &u);
    return u.ru_minflt;
}

// One host call's latencies, and which of them took a page fault.
struct CallTimes {
    std::vector<double> all, clean;
    size_t faulted = 0;
    void Add(double us, bool fault) {
        all.push_back(us);
        if (fault)
            ++faulted;
        else
            clean.push_back(us);
    }
};

double TimeCall(CallTimes* times, const std::function<void()>& call) {
    long f0 = ThreadFaults();
    double t0 = NowUs();
    call();
    double us = NowUs() - t0;
    times->Add(us, ThreadFaults() != f0);
    return us;
}

void PartHostCalls() {
    Heading("4. Host calls while channels scan (4 stations each, period 100 ms)");
    std::printf(
        "  the host writes an output again once IsWriteDone says its last write is done,\n"
        "  asks for status and registers one more input (up to 16 per station), every 250 us,\n"
        "  channel by channel\n");
    Fleet fleet = OpenFleet(Answer::frames, 1000, "calls");
    double worstP99 = 0;
    size_t scanning = 0;
    double seconds = g_quick ? 2 : 6;
    for (size_t target : {size_t(1), size_t(36)}) {
        for (; scanning < target; ++scanning) StartChannel(fleet.handles[scanning], true);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CallTimes write, done, status, summary, reg;
        // the host's tags exist, named, before any is registered
        const HostTagRef firstRef = 900000 + 10000 * target;
        for (size_t i = 0; i < 64 * scanning; ++i) DefineTag(firstRef + i);
        std::vector<std::vector<bool>> pending(scanning, std::vector<bool>(32, false));
        CTagVal value(7, 1.0);
        double end = NowUs() + seconds * 1e6;
        for (int r = 0; NowUs() < end; ++r) {
            size_t index = r % scanning;
            int32_t h = fleet.handles[index];
            int output = (r / static_cast<int>(scanning)) % 32;
            int32_t tag = fleet.outputs[index][output];
            std::string name = "P" + std::to_string(output / 8 + 1);
            std::string device = "BENCH." + name;
            std::string address = "I" + std::to_string(r % 8);
            int32_t c[4];
            int isDone = 0;
            TimeCall(&done, [&] { isDone = g_driver->IsWriteDone(h, tag); });
            if (isDone) pending[index][output] = false;
            if (!pending[index][output]) {
                int wrote = -1;
                TimeCall(&write, [&] { wrote = g_driver->Write(h, tag, &value); });
                if (wrote != 0) Fail("WriteTag was refused");
                pending[index][output] = true;
            }
            TimeCall(&status, [&] { g_driver->GetStatus(h, name.c_str(), c); });
            TimeCall(&summary, [&] { g_driver->GetStatus(h, nullptr, c); });
            if (reg.all.size() < 64 * scanning) {  // 16 more per station at most
                HostTagRef ref = firstRef + reg.all.size();
                int32_t added = -1;
                TimeCall(&reg, [&] {
                    added = g_driver->Register(h, device.c_str(), address.c_str(), kType, ref);
                });
                if (added < 0) Fail("RegisterTag was refused");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
        std::printf("  %zu channel%s scanning, %.0f s:\n", scanning, scanning > 1 ? "s" : "",
                    seconds);
        std::printf("    %-22s %6s %8s %9s %9s | %s\n", "", "calls", "median", "p99", "max",
                    "calls with a page fault: share, p99 of the others");
        auto row = [&](const char* what, const CallTimes& t) {
            Stats s = Summarize(t.all), c = Summarize(t.clean);
            std::printf("    %-22s %6zu %6.2f us %6.2f us %6.1f us | %5.2f %%  %6.2f us\n", what,
                        s.n, s.median, s.p99, s.max, 100.0 * t.faulted / std::max<size_t>(1, s.n),
                        c.p99);
            if (target == 36) worstP99 = std::max(worstP99, s.p99);
        };
        row("WriteTag", write);
        row("IsWriteDone", done);
        row("GetStatus (a station)", status);
        row("GetStatus (summary)", summary);
        row("RegisterTag", reg);
    }
    StopFleet(fleet);
    Judge("host call latency, p99 (worst call, 36 channels)", worstP99, 20, "us");
}

}  // namespace scanbench
