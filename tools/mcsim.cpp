// mcsim: motor controllers on a pseudo-terminal, for commissioning and
// testing without a plant. It answers the eight-byte frames for any number of
// stations, checks what it receives as strictly as a controller does, can be
// told to misbehave, and is controlled by commands on standard input or on a
// loopback TCP port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Simulator.h"
#include "krandolix_version.h"

namespace {

const char kUsage[] =
    "usage: mcsim [--link PATH] [--control-port PORT] [--trace] [--baud N] STATION...\n"
    "  STATION   NUMBER[:STATUS[:RULE]]  number 0-255, status byte (0x.. or decimal),\n"
    "            RULE what a control for output n does: none, set (input n on), toggle\n"
    "  --link PATH          also place a symbolic link to the pseudo-terminal at PATH\n"
    "  --control-port PORT  accept commands on 127.0.0.1:PORT (0: any free port)\n"
    "  --trace              print every frame in and out with a time stamp\n"
    "  --baud N             the controllers' speed: frames sent while the line is set to\n"
    "                       another speed are not understood (not answered)\n"
    "Commands (stdin or TCP, one per line; each answers one line, ok ... or error ...):\n"
    "  add N [STATUS] [RULE]   remove N   reset   status N VALUE   rule N none|set|toggle\n"
    "  fault N silent|badcheck|garbage|wrongstation|badthengood|restart on|off\n"
    "  fault N delay MS        fault N split MS        fault N clear\n"
    "  fault N hold on|off     (replies kept back until off: a reply comes exactly when told)\n"
    "  get N                   counters   trace on|off   hangup   baud N|any   quit\n";

void OnSignal(int) {
    mcsim::g_stop = 1;
}

}  // namespace

using mcsim::ParseNumber;
using mcsim::Simulator;

int main(int argc, char** argv) {
    Simulator sim;
    std::string link;
    int controlPort = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        long v;
        if (a == "--trace") {
            sim.trace = true;
        } else if (a == "--baud" && i + 1 < argc && ParseNumber(argv[i + 1], 1, 10000000, &v)) {
            sim.baud = v;
            ++i;
        } else if (a == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else if (a == "--control-port" && i + 1 < argc &&
                   ParseNumber(argv[i + 1], 0, 65535, &v)) {
            controlPort = static_cast<int>(v);
            ++i;
        } else if (a == "--version") {
            std::printf("mcsim (Krandolix) %s\n", KRANDOLIX_VERSION);
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!a.empty() && a[0] != '-') {
            std::string words = a;
            for (char& c : words)
                if (c == ':') c = ' ';
            std::string reply = sim.Command("add " + words);
            if (reply != "ok") {
                std::fprintf(stderr, "mcsim: bad station %s\n%s", a.c_str(), kUsage);
                return 64;
            }
        } else {
            std::fputs(kUsage, stderr);
            return 64;
        }
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    if (!sim.OpenPty(link)) {
        std::fprintf(stderr, "mcsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("pty %s\n", sim.PtyPath().c_str());
    if (controlPort >= 0) {
        if (!sim.Listen(controlPort)) {
            std::fprintf(stderr, "mcsim: cannot listen on 127.0.0.1:%d\n", controlPort);
            return 1;
        }
        std::printf("control %d\n", sim.ControlPort());
    }
    std::fflush(stdout);
    return sim.Run();
}
