// Section 3: scan passes of the built driver, and of the same scan code in
// this program timed from inside, against the design's pauses.

#include <thread>

#include "ScanBench.h"
#include "channel/Channel.h"
#include "com_ports.h"
#include "host/DriverTable.h"
#include "host/HostTables.h"
#include "platform/Tick.h"

namespace scanbench {

// Deliveries to the host's tag database, time-stamped on the scan thread.
struct Deliveries {
    std::mutex lock;
    HostTagRef watched = 0;
    std::vector<double> at;
};
Deliveries g_deliveries;

void OnDelivery(void*, HostTagRef tag, double) {
    if (tag != g_deliveries.watched) return;
    double now = NowUs();
    std::lock_guard<std::mutex> hold(g_deliveries.lock);
    g_deliveries.at.push_back(now);
}

// A pass of the scan code in this program, timed from inside through the
// line (Send, ReceiveByte) and the sleep seam: how long it took, how long
// its sleeps and its transactions (request sent to eighth reply byte) took,
// and so what the scan itself added.
struct PassClock {
    std::mutex lock;
    int stations = 0, delay = 0;
    double passStart = 0, sleptUs = 0, pollsUs = 0, sendAt = 0;
    int bytes = 0;
    std::vector<double> pass, own, ratio, late, polls;
};
PassClock g_clock;

void TimedSleep(uint32_t ms) {
    double t0 = NowUs();
    if (ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    else
        std::this_thread::yield();
    double t1 = NowUs();
    std::lock_guard<std::mutex> hold(g_clock.lock);
    g_clock.sleptUs += t1 - t0;
    if (ms) g_clock.late.push_back(t1 - t0 - ms * 1000.0);
    if (ms != 50) return;
    // the pause that ends a pass
    if (g_clock.passStart > 0) {
        double pass = t1 - g_clock.passStart;
        double pauses = (g_clock.stations * g_clock.delay + 50) * 1000.0;
        g_clock.pass.push_back(pass);
        g_clock.own.push_back(pass - g_clock.sleptUs - g_clock.pollsUs);
        g_clock.ratio.push_back(pass / (pauses + g_clock.pollsUs));
    }
    g_clock.passStart = t1;
    g_clock.sleptUs = g_clock.pollsUs = 0;
}

class TimedChannel : public CChannel {
public:
    int Send(const char* bytes, int count) override {
        g_clock.sendAt = NowUs();  // scan thread only, as ReceiveByte
        g_clock.bytes = 0;
        return CChannel::Send(bytes, count);
    }
    int ReceiveByte(char* out, int* status) override {
        int got = CChannel::ReceiveByte(out, status);
        if (got && ++g_clock.bytes == 8) {
            double us = NowUs() - g_clock.sendAt;
            std::lock_guard<std::mutex> hold(g_clock.lock);
            g_clock.pollsUs += us;
            g_clock.polls.push_back(us);
        }
        return got;
    }
};

// Scans stations 1..count of the simulator on kComBenchSim with this program's
// copy of the scan code; prints what its passes are made of and returns
// the median pass over the design's pauses plus the pass's transactions.
double PassBreakdown(int stations, int delay, int passes) {
    TimedChannel channel;
    channel.SetPort(kComBenchSim - 1);
    channel.SetBaudRate(6);
    channel.SetDataBits(1);
    channel.SetTimeout(1000);
    channel.SetDelay(delay);
    for (int i = 1; i <= stations; ++i) {
        auto* station = new CStationData;
        station->SetName(("P" + std::to_string(i)).c_str());
        station->SetStationNo(i);
        station->SetPollPeriod(0);
        channel.AddStation(station);
    }
    {
        std::lock_guard<std::mutex> hold(g_clock.lock);
        g_clock.passStart = g_clock.sleptUs = g_clock.pollsUs = 0;
        g_clock.pass.clear(), g_clock.own.clear(), g_clock.ratio.clear();
        g_clock.late.clear(), g_clock.polls.clear();
        g_clock.stations = stations;
        g_clock.delay = delay;
    }
    tick_seam::SetSleepHook(&TimedSleep);
    channel.AttachStations();
    if (channel.Start() != 0) Fail("cannot open the simulator's line");
    channel.SetActive(nullptr, 1);
    channel.StartScan();
    double expectedMs = stations * (delay + g_pausedPollUs / 1000) + 50;
    std::this_thread::sleep_for(
        std::chrono::duration<double, std::milli>(expectedMs * (passes + 2) * 1.1));
    channel.Stop();
    tick_seam::SetSleepHook(nullptr);

    std::lock_guard<std::mutex> hold(g_clock.lock);
    Stats pass = Summarize(g_clock.pass), own = Summarize(g_clock.own);
    Stats ratio = Summarize(g_clock.ratio), polls = Summarize(g_clock.polls);
    Stats late = Summarize(g_clock.late);
    std::printf(
        "  %2d stations, delay %2d ms: pass median %7.2f ms, ratio %.3f (p99 %.3f); polls median "
        "%4.0f us,"
        " mean %4.0f us, p99 %5.0f us;\n"
        "      sleeps late by %3.0f us (mean); the scan's own work %5.1f us a pass (median), %4.1f "
        "us a visit\n",
        stations, delay, pass.median / 1000, ratio.median, ratio.p99, polls.median, polls.mean,
        polls.p99, late.mean, own.median, own.median / stations);
    if (pass.n == 0) Fail("the scan made no pass");
    return ratio.median;
}

void PartScanPass() {
    Heading("3. Scan pass over the design's minimum (stations polled on every visit)");
    std::printf(
        "  The built driver through its table; estimate = stations x (delay + one poll) + 50 ms,\n"
        "  a poll taking its median round trip from section 1: %.1f us back to back (delay 0),\n"
        "  %.1f us after a pause (delay 10 ms):\n",
        g_pollRoundTripUs, g_pausedPollUs);
    Simulator sim(kComBenchSim, 32);
    auto setNotify = reinterpret_cast<void (*)(DbmNotifyFn, void*)>(
        FindSymbol(LoadLib("ZeravDbm.DLL"), "DbmSetNotify"));
    if (!setNotify) Fail("the tag database has no DbmSetNotify");
    setNotify(&OnDelivery, nullptr);
    int passes = g_quick ? 10 : 40;
    for (int delay : {0, 10}) {
        for (int stations : {1, 8, 32}) {
            ChannelSetup setup{kComBenchSim, stations, delay, 0, 1000};
            int32_t h =
                OpenChannel(setup, "pass" + std::to_string(stations) + "d" + std::to_string(delay));
            HostTagRef watched = 5000 + h * 100;
            for (int i = 1; i <= stations; ++i) {
                std::string device = "BENCH.P" + std::to_string(i);
                RegisterNamed(h, device, "I0", watched + i - 1);
            }
            {
                std::lock_guard<std::mutex> hold(g_deliveries.lock);
                g_deliveries.watched = watched;
                g_deliveries.at.clear();
            }
            StartChannel(h, true);
            double pollUs = delay ? g_pausedPollUs : g_pollRoundTripUs;
            double minimumMs = stations * (delay + pollUs / 1000) + 50;
            std::this_thread::sleep_for(
                std::chrono::duration<double, std::milli>(minimumMs * (passes + 2) * 1.1));
            g_driver->Stop(h);
            std::vector<double> gaps;
            {
                std::lock_guard<std::mutex> hold(g_deliveries.lock);
                for (size_t i = 2; i < g_deliveries.at.size(); ++i)
                    gaps.push_back((g_deliveries.at[i] - g_deliveries.at[i - 1]) / 1000);
            }
            int32_t c[4];
            g_driver->GetStatus(h, nullptr, c);
            Stats s = Summarize(gaps);
            std::printf(
                "  %2d stations, delay %2d ms: pass median %7.2f ms  p99 %7.2f ms  estimate %7.2f "
                "ms  ratio %.3f (p99 %.3f)  %zu passes\n",
                stations, delay, s.median, s.p99, minimumMs, s.median / minimumMs,
                s.p99 / minimumMs, s.n);
            if (s.n == 0 || c[3] != 0) Fail("the scan did not poll as expected");
        }
    }
    setNotify(nullptr, nullptr);

    std::printf(
        "\n  The same scan code in this program, its sleeps and line timed from inside; minimum =\n"
        "  the design's pauses (stations x delay + 50 ms) + the pass's own transactions:\n");
    double worst = 0;
    for (int delay : {0, 10})
        for (int stations : {1, 8, 32})
            worst = std::max(worst, PassBreakdown(stations, delay, passes));
    Judge("scan pass / (design's pauses + its transactions)", worst, 1.05, "x");
}

}  // namespace scanbench
