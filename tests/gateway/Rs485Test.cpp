// A UART's RS-485 mode: the request the kernel is sent for each setting, a
// device that refuses it, and [ports] written as a table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "channel/Rs485.h"
#include "gateway/config/GatewayConfig.h"

namespace {

// What the seam was asked, in order.
std::vector<std::pair<unsigned long, serial_rs485>> g_asked;

int Record(int, unsigned long request, serial_rs485* data) {
    g_asked.emplace_back(request, *data);
    return 0;
}

class Rs485 : public ::testing::Test {
protected:
    void SetUp() override {
        g_asked.clear();
        rs485_seam::SetIoctl(&Record);
    }
    void TearDown() override { rs485_seam::SetIoctl(nullptr); }
    testsupport::ScratchDir dir;
};

}  // namespace

TEST_F(Rs485, TheRequestForEachCombinationOfKeys) {
    const std::string device = dir.Path("ttyS1");
    testsupport::WriteBytes(device, "");  // opened, and asked through the seam
    struct Case {
        bool onSend;
        int before, after;
    };
    for (const Case& c : std::initializer_list<Case>{
             {true, 0, 0}, {false, 0, 0}, {true, 5, 0}, {true, 0, 100}, {false, 100, 7}}) {
        g_asked.clear();
        Rs485Settings s;
        s.enabled = true;
        s.rtsOnSend = c.onSend;
        s.rtsAfterSend = !c.onSend;
        s.delayBeforeSendMs = c.before;
        s.delayAfterSendMs = c.after;
        std::string error;
        ASSERT_TRUE(ApplyRs485(device, s, &error)) << error;
        ASSERT_EQ(g_asked.size(), 1u);
        EXPECT_EQ(g_asked[0].first, static_cast<unsigned long>(TIOCSRS485));
        const serial_rs485& r = g_asked[0].second;
        EXPECT_EQ(r.flags, SER_RS485_ENABLED |
                               (c.onSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND));
        EXPECT_EQ(r.delay_rts_before_send, static_cast<__u32>(c.before));
        EXPECT_EQ(r.delay_rts_after_send, static_cast<__u32>(c.after));
    }
    // not enabled: the device is left as it is, not even opened
    g_asked.clear();
    std::string error;
    EXPECT_TRUE(ApplyRs485(dir.Path("missing"), Rs485Settings{}, &error));
    EXPECT_TRUE(g_asked.empty());
    // what the kernel would quietly change is refused before anything is sent
    Rs485Settings same;
    same.enabled = true;
    same.rtsAfterSend = true;
    EXPECT_FALSE(ApplyRs485(device, same, &error));
    EXPECT_NE(error.find("must differ"), std::string::npos) << error;
    Rs485Settings late;
    late.enabled = true;
    late.delayAfterSendMs = 101;
    EXPECT_FALSE(ApplyRs485(device, late, &error));
    EXPECT_TRUE(g_asked.empty());
}

// A pseudo-terminal has no RS-485 mode: the refusal names the device, the
// request and the system's reason, whether set or only read.
TEST(Rs485Device, APseudoTerminalRefusesItSayingWhy) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string device = ::ptsname(master);
    Rs485Settings s;
    s.enabled = true;
    std::string error;
    EXPECT_FALSE(ApplyRs485(device, s, &error));
    EXPECT_NE(error.find(device + ": refuses RS-485 mode (TIOCSRS485): "), std::string::npos)
        << error;
    // (the system's reason: ENOTTY here; under user-mode emulation, which
    // does not pass this request on, ENOSYS)
    EXPECT_GT(error.size(), (device + ": refuses RS-485 mode (TIOCSRS485): ").size()) << error;
    EXPECT_FALSE(ProbeRs485(device, &error));
    EXPECT_NE(error.find("(TIOCGRS485)"), std::string::npos) << error;
    EXPECT_FALSE(ProbeRs485("/nonexistent/ttyS9", &error));
    EXPECT_NE(error.find("/nonexistent/ttyS9: cannot open it"), std::string::npos) << error;
    ::close(master);
}

TEST(Rs485Config, APortIsAPathOrATableOfExactlyTheseKeys) {
    testsupport::ScratchDir dir;
    const std::string head =
        "[broker]\nhost = \"h\"\n[[channel]]\nname = \"A\"\nconfig = \"A.cfg\"\n";
    auto read = [&](const std::string& ports, GatewayConfig* c) {
        testsupport::WriteBytes(dir.Path("gw.toml"), "[ports]\n" + ports + head);
        std::string error;
        return LoadGatewayConfig(dir.Path("gw.toml"), c, &error) ? std::string() : error;
    };
    GatewayConfig c;
    ASSERT_EQ(read("COM1 = \"/dev/ttyUSB0\"\n"
                   "COM2 = { device = \"/dev/ttyS1\", rs485 = true, rts_on_send = false, "
                   "rts_after_send = true, delay_before_send_ms = 3, delay_after_send_ms = 4 }\n"
                   "COM3 = { device = \"/dev/ttyS2\" }\n",
                   &c),
              "");
    EXPECT_EQ(c.ports[1].device, "/dev/ttyUSB0");
    EXPECT_FALSE(c.ports[1].rs485.enabled);
    const Rs485Settings& r = c.ports[2].rs485;
    EXPECT_EQ(c.ports[2].device, "/dev/ttyS1");
    EXPECT_TRUE(r.enabled);
    EXPECT_FALSE(r.rtsOnSend);
    EXPECT_TRUE(r.rtsAfterSend);
    EXPECT_EQ(r.delayBeforeSendMs, 3);
    EXPECT_EQ(r.delayAfterSendMs, 4);
    EXPECT_FALSE(c.ports[3].rs485.enabled);  // the default: the device's mode as it is
    EXPECT_TRUE(c.ports[3].rs485.rtsOnSend);
    const std::string file = dir.Path("gw.toml");
    struct Case {
        std::string ports, refusal;
    };
    for (const Case& k : std::initializer_list<Case>{
             {"COM2 = { device = \"/dev/ttyS1\", rs486 = true }\n",
              file + ":2: ports.COM2.rs486: unknown key"},
             {"COM2 = { rs485 = true }\n", "ports.COM2.device: must name a device"},
             {"COM2 = { device = \"/dev/ttyS1\", rs485 = \"yes\" }\n",
              "ports.COM2.rs485: must be true or false"},
             {"COM2 = { device = \"/dev/ttyS1\", rs485 = true, delay_after_send_ms = 500 }\n",
              "ports.COM2.delay_after_send_ms: must be from 0 to 100"},
             {"COM2 = { device = \"/dev/ttyS1\", rs485 = true, rts_after_send = true }\n",
              "must differ"},
             {"COM2 = 5\n", "ports.COM2: must name a device, or be a table"},
         }) {
        const std::string refusal = read(k.ports, &c);
        EXPECT_NE(refusal.find(k.refusal), std::string::npos) << k.ports << "=> " << refusal;
    }
}
