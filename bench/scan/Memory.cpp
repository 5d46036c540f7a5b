// Section 6: memory per channel, station, tag and scan thread.
#include <malloc.h>

#include <fstream>
#include <thread>

#include "ScanBench.h"
#include "com_ports.h"
#include "host/DriverTable.h"

namespace scanbench {

size_t HeapInUse() {
    struct mallinfo2 m = ::mallinfo2();
    return m.uordblks + m.hblkhd;
}

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return 0;
}

void PartMemory() {
    Heading("6. Memory (heap of this process, measured around the driver's calls)");
    const int channels = 36;
    std::vector<int32_t> one, many;
    size_t h0 = HeapInUse();
    for (int i = 0; i < channels; ++i)
        one.push_back(
            OpenChannel({kComBenchMany + i, 1, 0, 1000, 1000}, "mem1_" + std::to_string(i)));
    size_t h1 = HeapInUse();
    for (int i = 0; i < channels; ++i)
        many.push_back(
            OpenChannel({kComBenchMany + i, 33, 0, 1000, 1000}, "mem33_" + std::to_string(i)));
    size_t h2 = HeapInUse();
    // a channel of 33 stations over one of 1: 32 stations
    double perStation = (double(h2 - h1) - double(h1 - h0)) / (channels * 32.0);
    const int tags = 100;
    for (int i = 0; i < tags; ++i) DefineTag(700000 + i);  // the host's memory, not ours
    h2 = HeapInUse();
    for (int i = 0; i < tags; ++i)
        for (int32_t h : many)
            g_driver->Register(h, "BENCH.P1", i % 2 ? "I3" : "O3", kType, 700000 + i);
    size_t h3 = HeapInUse();
    double perChannel = double(h1 - h0) / channels - perStation;
    double perTag = double(h3 - h2) / (channels * tags);
    std::printf("  per channel (its object, line, log link; no stations)  %7.0f bytes\n",
                perChannel);
    std::printf("  per station (settings, engine, tag table)               %7.0f bytes\n",
                perStation);
    std::printf("  per tag                                                 %7.0f bytes\n", perTag);

    // a scanning channel adds its thread: a stack reserved, a few pages used
    Fleet fleet = OpenFleet(Answer::silent, 1000, "memthreads");
    long r0 = RssKb();
    for (int32_t h : fleet.handles) StartChannel(h, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long r1 = RssKb();
    std::printf("  per scan thread, resident                               %7.0f bytes\n",
                (r1 - r0) * 1024.0 / fleet.handles.size());
    StopFleet(fleet);
}

}  // namespace scanbench
