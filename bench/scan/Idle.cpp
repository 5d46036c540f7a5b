// Section 5: the CPU of 36 idle channels.

#include <thread>

#include "ScanBench.h"
#include "host/DriverTable.h"

namespace scanbench {

double CpuShare(double seconds) {
    double c0 = ProcessCpuUs(), t0 = NowUs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (ProcessCpuUs() - c0) / (NowUs() - t0) * 100;
}

void PartIdle() {
    Heading("5. Idle cost of 36 channels (CPU of this whole process, % of one core)");
    double seconds = g_quick ? 3 : 10;
    Fleet fleet = OpenFleet(Answer::silent, 1000, "idle");
    for (int32_t h : fleet.handles) StartChannel(h, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double off = CpuShare(seconds);
    std::printf("  36 channels switched off (scan threads idle):         %.3f %%\n", off);
    for (int32_t h : fleet.handles) g_driver->SetActive(h, nullptr, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    double silent = CpuShare(seconds);
    std::printf("  36 channels polling silent stations (time-out 1 s):   %.3f %%\n", silent);
    StopFleet(fleet);
    Judge("36 channels switched off, CPU", off, 1, "% core");
    Judge("36 channels polling silent stations, CPU", silent, 1, "% core");
}

}  // namespace scanbench
