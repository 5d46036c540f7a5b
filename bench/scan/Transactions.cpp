// Section 1: one poll and one control against mcsim answering at once.

#include <thread>

#include "ScanBench.h"
#include "channel/Channel.h"
#include "com_ports.h"

namespace scanbench {

struct Transactions {
    Stats wall, cpu;
    int failed;
};

template <typename F>
Transactions Measure(CStationData* station, int count, F one, int pauseMs = 0) {
    int c0[4], c1[4];
    station->GetStatus(&c0[0], &c0[1], &c0[2], &c0[3]);
    std::vector<double> wall, cpu;
    for (int i = 0; i < count + 50; ++i) {
        if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        double t0 = NowUs(), u0 = ThreadCpuUs();
        one();
        double u1 = ThreadCpuUs(), t1 = NowUs();
        if (i < 50) continue;  // warming up
        wall.push_back(t1 - t0);
        cpu.push_back(u1 - u0);
    }
    station->GetStatus(&c1[0], &c1[1], &c1[2], &c1[3]);
    return {Summarize(wall), Summarize(cpu), (c1[1] - c0[1]) + (c1[3] - c0[3])};
}

void PrintTransactions(const char* what, const Transactions& t) {
    std::printf(
        "  %s:\n    round trip median %6.1f us  p99 %6.1f us | driver CPU median %5.1f us  p99 "
        "%5.1f us  (%zu, %d failed)\n",
        what, t.wall.median, t.wall.p99, t.cpu.median, t.cpu.p99, t.wall.n, t.failed);
}

void PartTransactions() {
    Heading("1. One transaction against mcsim answering at once (pseudo-terminal)");
    Simulator sim(kComBenchSim, 1);
    std::unique_ptr<CChannel> channel = OpenLocalChannel(kComBenchSim);
    CStationData* station = channel->GetStationAt(0);
    int count = g_quick ? 500 : 3000;
    Transactions poll = Measure(station, count, [&] { station->GetEngine().Poll(); });
    CTagVal on(7, 1.0);
    Transactions control = Measure(station, count / 3, [&] {
        station->WriteValue(1, on);  // O0 (the host's queueing is timed in section 4)
        station->GetEngine().ServeControl();
    });
    Transactions paused = Measure(
        station, count / 10, [&] { station->GetEngine().Poll(); }, 10);
    PrintTransactions("poll", poll);
    PrintTransactions("control", control);
    PrintTransactions("poll, each after a 10 ms pause (both sides idle)", paused);
    std::printf(
        "  (a poll: purge, write 8 bytes, read what is there (one read for a whole reply),\n"
        "   decode byte by byte, push 8 inputs;\n"
        "   a control also fetches the tag's name and logs two lines)\n");
    g_pollRoundTripUs = poll.wall.median;
    g_pausedPollUs = paused.wall.median;
    Judge("poll round trip, median", poll.wall.median / 1000, 0.3, "ms");
    Judge("control round trip, median", control.wall.median / 1000, 0.3, "ms");
    if (poll.failed || control.failed) Fail("transactions failed against mcsim");
}

}  // namespace scanbench
