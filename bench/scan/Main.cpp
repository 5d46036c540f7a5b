// The driver's cost beyond the wire, end to end on pseudo-terminals:
//   1. one poll and one control against mcsim answering at once;
//   2. the same poll beside a libmodbus RTU client, both against one minimal
//      responder, client CPU per transaction side by side;
//   3. scan passes of 1, 8 and 32 stations: the built driver's, against an
//      estimate, then the same scan code's, timed from inside against the
//      design's pauses plus the pass's own transactions;
//   4. host calls while 1 and 36 channels scan;
//   5. CPU of 36 idle channels (switched off, and polling silent stations);
//   6. memory per channel, station and tag.
// Sections 3-6 drive the built driver through its entry table, as a host does.
// Run: make bench (or build/native/bin/scan_bench [--quick] [--section N] [--strict]).
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ScanBench.h"
#include "host/DriverTable.h"

using namespace scanbench;

namespace {

int g_section = 0;  // 0: all

void PrintMachine() {
    utsname u;
    ::uname(&u);
    std::string cpu = "?";
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 10, "model name") == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    double load[3] = {};
    ::getloadavg(load, 3);
    std::printf("machine: %s, %u cores, Linux %s, load %.2f at start\n", cpu.c_str(),
                std::thread::hardware_concurrency(), u.release, load[0]);
    // what the system itself charges: the tails of section 4 are mostly these
    const int pages = 2000;
    char* mem = static_cast<char*>(::mmap(nullptr, pages * 4096UL, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    double t0 = NowUs();
    for (int i = 0; i < pages; ++i) mem[i * 4096UL] = 1;
    double fault = (NowUs() - t0) / pages;
    ::munmap(mem, pages * 4096UL);
    std::vector<double> over;
    int late = 0;
    for (int i = 0; i < 100; ++i) {
        double s0 = NowUs();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        over.push_back(NowUs() - s0 - 10000);
        late += over.back() > 1000;
    }
    std::printf(
        "system: first touch of a memory page %.1f us; a 10 ms sleep overshoots by %.0f us"
        " (median), by more than 1 ms in %d of 100\n",
        fault, Summarize(over).median, late);
    // the system calls a transaction is made of, on a pseudo-terminal
    Pty pty = OpenPty();
    ::fcntl(pty.held, F_SETFL, O_NONBLOCK);
    const int n = 20000;
    char c;
    double u0 = ThreadCpuUs();
    for (int i = 0; i < n; ++i) ::tcflush(pty.held, TCIOFLUSH);
    double purge = (ThreadCpuUs() - u0) / n;
    double readUs = 0;
    for (int i = 0; i < n / 8; ++i) {
        (void)!::write(pty.master, "12345678", 8);
        pollfd p = {pty.held, POLLIN, 0};
        ::poll(&p, 1, 1000);
        double r0 = ThreadCpuUs();
        for (int k = 0; k < 8; ++k) (void)!::read(pty.held, &c, 1);
        readUs += ThreadCpuUs() - r0;
    }
    u0 = ThreadCpuUs();
    for (int i = 0; i < n; ++i) {
        (void)!::write(pty.held, "12345678", 8);
        if (i % 64 == 63) ::tcflush(pty.held, TCIOFLUSH);
    }
    double write8 = (ThreadCpuUs() - u0) / n;
    ::close(pty.master);
    ::close(pty.held);
    std::printf(
        "system: on a pseudo-terminal a purge costs %.1f us of CPU, a write of 8 bytes %.1f us, "
        "a read of one waiting byte %.1f us\n",
        purge, write8, readUs / (n / 8 * 8));
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            g_quick = true;
        } else if (std::strcmp(argv[i], "--strict") == 0) {
            g_strict = true;
        } else if (std::strcmp(argv[i], "--section") == 0 && i + 1 < argc) {
            g_section = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: scan_bench [--quick] [--strict] [--section 1-6]\n");
            return 64;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    PrintMachine();
    auto want = [](int section) { return g_section == 0 || g_section == section; };
    // the scan pass's minimum takes the poll's round trip from section 1
    if (want(1) || want(3)) PartTransactions();
    if (want(2)) PartYardstick();

    DriverTable driver;
    if (!driver.Loaded()) Fail("cannot load the driver beside this program");
    g_driver = &driver;
    if (want(3)) PartScanPass();
    if (want(4)) PartHostCalls();
    if (want(5)) PartIdle();
    if (want(6)) PartMemory();

    const bool all = PrintTargets();
    std::fflush(stdout);
    std::filesystem::remove_all(ConfigFolder());
    g_links.Clear();
    // the driver stays loaded: its channels end with the process, as at a host's exit
    std::_Exit(all || !g_strict ? 0 : 2);
}
