// Section 2: the client CPU of a poll beside libmodbus's RTU client, both
// against one minimal responder.
#include <fcntl.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <termios.h>

#include "ScanBench.h"
#include "channel/Channel.h"
#include "com_ports.h"

namespace scanbench {

// ---- section 2: beside libmodbus ----

// CPU per transaction over a batch (the thread's CPU clock is read once at
// each end: reading it costs a system call) and the median round trip.
struct Batch {
    double cpuUs, wallUs;
};

template <typename F>
Batch RunBatch(int count, F one) {
    std::vector<double> wall;
    wall.reserve(count);
    double u0 = ThreadCpuUs();
    for (int i = 0; i < count; ++i) {
        double w0 = NowUs();
        one();
        wall.push_back(NowUs() - w0);
    }
    return {(ThreadCpuUs() - u0) / count, Summarize(wall).median};
}

// The system calls a poll cannot do without, done bare: purge, write the
// frame, wait for the reply, read what is there until it is whole.
class BarePoll {
public:
    explicit BarePoll(const std::string& device) {
        m_fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio;
        if (m_fd < 0 || ::tcgetattr(m_fd, &tio) != 0) Fail("cannot open " + device);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fd, TCSANOW, &tio);
        CStationProtocol::BuildFrame(1, 0, m_frame);
    }
    ~BarePoll() { ::close(m_fd); }
    bool operator()() {
        ::tcflush(m_fd, TCIOFLUSH);
        if (::write(m_fd, m_frame, 8) != 8) return false;
        // as the line reads: wait, then take what is there until the reply is whole
        char reply[64];
        for (int got = 0; got < 8;) {
            pollfd p = {m_fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) return false;
            ssize_t n = ::read(m_fd, reply, sizeof reply);
            if (n <= 0) return false;
            got += static_cast<int>(n);
        }
        return true;
    }

private:
    int m_fd = -1;
    char m_frame[8];
};

void PartYardstick() {
    Heading("2. Client CPU per transaction beside libmodbus (RTU), same minimal responder");
    Pty ours = OpenPty(), bare = OpenPty(), theirs = OpenPty();
    g_links.Place(kComBenchFrames, ours.slave);
    Responder responder;
    responder.Add(ours, Answer::frames);
    responder.Add(bare, Answer::frames);
    responder.Add(theirs, Answer::modbus);
    responder.Start();

    std::unique_ptr<CChannel> channel = OpenLocalChannel(kComBenchFrames);
    CStationData* station = channel->GetStationAt(0);
    BarePoll barePoll(bare.slave);
    modbus_t* ctx = modbus_new_rtu(theirs.slave.c_str(), 9600, 'N', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0)
        Fail(std::string("libmodbus: ") + modbus_strerror(errno));
    modbus_set_response_timeout(ctx, 1, 0);

    const int rounds = g_quick ? 3 : 11, per = g_quick ? 300 : 1000;
    std::vector<double> cpu[3], wall[3];
    int failures[3] = {};
    uint16_t reg = 0;
    int c0[4], c1[4];
    station->GetStatus(&c0[0], &c0[1], &c0[2], &c0[3]);
    for (int r = 0; r < rounds; ++r) {
        Batch b[3] = {
            RunBatch(per, [&] { station->GetEngine().Poll(); }),
            RunBatch(per, [&] { failures[1] += !barePoll(); }),
            RunBatch(per,
                     [&] {
                         failures[2] +=
                             modbus_read_registers(ctx, 0, 1, &reg) != 1 || reg != 0x1234;
                     }),
        };
        for (int k = 0; k < 3; ++k) cpu[k].push_back(b[k].cpuUs), wall[k].push_back(b[k].wallUs);
    }
    station->GetStatus(&c1[0], &c1[1], &c1[2], &c1[3]);
    failures[0] = c1[3] - c0[3];
    modbus_close(ctx);
    modbus_free(ctx);
    if (failures[0] || failures[1] || failures[2])
        Fail("transactions failed against the minimal responder");

    double oc = Summarize(cpu[0]).median, bc = Summarize(cpu[1]).median,
           tc = Summarize(cpu[2]).median;
    std::printf("  %d rounds of %d transactions each, taking turns; medians of the rounds:\n",
                rounds, per);
    std::printf("  %-50s CPU %5.1f us  round trip %6.1f us\n",
                "this driver, poll (8 bytes out, 8 in)", oc, Summarize(wall[0]).median);
    std::printf("  %-50s CPU %5.1f us  round trip %6.1f us\n",
                "its system calls alone (purge, write, wait, read)", bc,
                Summarize(wall[1]).median);
    std::printf("  %-50s CPU %5.1f us  round trip %6.1f us\n",
                ("libmodbus " LIBMODBUS_VERSION_STRING ", read 1 register (8 out, 7 in)"), tc,
                Summarize(wall[2]).median);
    std::printf(
        "  ratios of CPU: driver / libmodbus %.2f; driver / its system calls %.2f;"
        " system calls / libmodbus %.2f\n",
        oc / tc, oc / bc, bc / tc);
    Judge("client CPU per transaction / libmodbus", oc / tc, 1.2, "x");
}

}  // namespace scanbench
