// The serial line against the motor-controller simulator on a pseudo-terminal:
// Two ports lead to simulators, one of them numbered from COM10 on (the test
// wrapper places the links).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "SimControl.h"
#include "TestSupport.h"
#include "channel/SerialLine.h"
#include "com_ports.h"
#include "platform/Tick.h"
#include "protocol/StationProtocol.h"

#if defined(_WIN32)
#include <windows.h>

#include "channel/SerialLine_win32.h"
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "channel/SerialLine_posix.h"
#endif

using testsupport::SimControl;

namespace {

const int kPort = kComSerial - 1;        // a port's index
const int kPortFar = kComSerialFar - 1;  // a port Windows names "\\.\COMn"
static_assert(kComSerialFar >= 10, "the second port is one of those named \\\\.\\COMn");
const std::string kPoll1("\x02\x30\x31\x30\x30\x30\x33\x03", 8);

CLineSettings Settings(int port, int baud = 6, int parity = 0, int dataBits = 1, int stopBits = 0) {
    CLineSettings s;
    s.m_nPort = port;
    s.m_nBaudRate = baud;
    s.m_nParity = parity;
    s.m_nDataBits = dataBits;
    s.m_nStopBits = stopBits;
    return s;
}

std::string ReadFrame(CSerialLine& line, int* lastStatus = nullptr) {
    std::string got;
    int status = 0;
    char c;
    while (got.size() < 8 && line.ReadByte(&c, &status)) got += c;
    if (lastStatus) *lastStatus = status;
    return got;
}

// A read that must fail: its status and how long it took, in milliseconds.
struct FailedRead {
    int status;
    uint32_t ms;
};
FailedRead ReadFails(CSerialLine& line) {
    char c;
    FailedRead r{0, 0};
    uint32_t start = GetTickMs();
    EXPECT_EQ(line.ReadByte(&c, &r.status), 0);
    r.ms = GetTickMs() - start;
    return r;
}

class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Connected()) << "run through scripts/with-mcsim";
        ASSERT_TRUE(sim.Ok("reset"));
        ASSERT_TRUE(sim.Ok("add 1 0xA5"));
    }
    SimControl sim{kComSerial};
};

}  // namespace

TEST(SerialLineNames, PortIndexToDevice) {
#if defined(_WIN32)
    EXPECT_EQ(CSerialLine::DeviceName(0), "COM1");
    EXPECT_EQ(CSerialLine::DeviceName(8), "COM9");
    EXPECT_EQ(CSerialLine::DeviceName(9), "\\\\.\\COM10");
    EXPECT_EQ(CSerialLine::DeviceName(35), "\\\\.\\COM36");
#else
    EXPECT_EQ(CSerialLine::DeviceName(kPort),
              testsupport::ProgramFolder() + "dosdevices/com" + std::to_string(kComSerial));
    EXPECT_EQ(CSerialLine::DeviceName(30), "/dev/ttyS30");  // no link for COM31

    // a folder of links a host names comes first, link by link
    testsupport::ScratchDir dir;
    ASSERT_EQ(::symlink("/dev/null", dir.Path("com31").c_str()), 0);
    ::setenv("KRANDOLIX_DOSDEVICES", dir.Dir().string().c_str(), 1);
    EXPECT_EQ(CSerialLine::DeviceName(30), dir.Dir().string() + "/com31");
    EXPECT_EQ(CSerialLine::DeviceName(kPort),
              testsupport::ProgramFolder() + "dosdevices/com" + std::to_string(kComSerial));
    ::setenv("KRANDOLIX_DOSDEVICES", "", 1);
    EXPECT_EQ(CSerialLine::DeviceName(30), "/dev/ttyS30");
    ::unsetenv("KRANDOLIX_DOSDEVICES");
#endif
}

TEST(SerialLineClosed, RefusesWritesAndReads) {
    CSerialLine line;
    EXPECT_EQ(line.GetReadTimeout(), 2000u);
    EXPECT_EQ(line.GetWriteTimeout(), 1000u);
    EXPECT_EQ(line.Write("x", 1), 0);
    char c;
    int status = 0;
    EXPECT_EQ(line.ReadByte(&c, &status), 0);
    EXPECT_EQ(status, CSerialLine::readNotOpen);
    EXPECT_EQ(line.ReadByte(&c, nullptr), 0);
}

TEST_F(SerialLine, PollAndReplyByteByByte) {
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    EXPECT_EQ(line.Write(kPoll1.data(), 8), 1);
    int status = -9;
    EXPECT_EQ(testsupport::ToHex(ReadFrame(line, &status)), "02 30 31 3A 35 30 3C 03");
    EXPECT_EQ(status, CSerialLine::readOk);
    EXPECT_EQ(sim.Get(1, "polls"), 1);

    // a count of -1 sends the text up to its terminating zero
    EXPECT_EQ(line.Write(kPoll1.c_str(), -1), 1);
    EXPECT_EQ(ReadFrame(line).size(), 8u);
    EXPECT_EQ(sim.Get(1, "polls"), 2);
    line.Close();
    EXPECT_EQ(line.Write(kPoll1.data(), 8), 0);
}

TEST_F(SerialLine, ASilentStationTimesOutAfterTheReadTimeout) {
    ASSERT_TRUE(sim.Ok("fault 1 silent on"));
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    EXPECT_EQ(line.SetReadTimeout(1500), 2000u);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    FailedRead r = ReadFails(line);
    EXPECT_EQ(r.status, CSerialLine::readTimeout);
    EXPECT_GE(r.ms, 1400u);
    EXPECT_LT(r.ms, 3000u);
}

TEST_F(SerialLine, AReadTimeoutShorterThanOneReadSliceEndsOnTimeAndTheLineGoesOn) {
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    line.SetReadTimeout(200);
    ASSERT_TRUE(sim.Ok("fault 1 silent on"));
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    FailedRead r = ReadFails(line);
    EXPECT_EQ(r.status, CSerialLine::readTimeout);
    EXPECT_LT(r.ms, 800u);

    ASSERT_TRUE(sim.Ok("fault 1 silent off"));
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    EXPECT_EQ(ReadFrame(line).size(), 8u);
}

TEST_F(SerialLine, AByteThatArrivesLateWithinTheTimeoutIsRead) {
    ASSERT_TRUE(sim.Ok("fault 1 delay 300"));
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    line.SetReadTimeout(1200);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    EXPECT_EQ(ReadFrame(line).size(), 8u);
}

// The first read after a write waits before it looks (the reply cannot be
// there yet); a reply that is there already is still taken at once, even
// when the read may not wait at all.
TEST_F(SerialLine, AReplyAlreadyWaitingIsReadAtOnceEvenWithoutTimeToWait) {
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return sim.Get(1, "replies") == 1; }));
    SleepMs(50);
    line.SetReadTimeout(0);
    int status = -9;
    EXPECT_EQ(ReadFrame(line, &status).size(), 8u);
    EXPECT_EQ(status, CSerialLine::readOk);

    line.SetReadTimeout(1000);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    SleepMs(100);
    uint32_t start = GetTickMs();
    EXPECT_EQ(ReadFrame(line, &status).size(), 8u);
    EXPECT_LT(GetTickMs() - start, 50u);
}

TEST_F(SerialLine, EveryWriteFirstDropsStaleInput) {
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    line.SetReadTimeout(300);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    SleepMs(200);  // the first reply now waits, unread, in the input buffer
    EXPECT_EQ(line.PendingInput(), 8);  // what the frame trace reports as purged
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    int status = 0;
    EXPECT_EQ(ReadFrame(line, &status).size(), 8u);
    char c;
    EXPECT_EQ(line.ReadByte(&c, &status), 0);  // only the second reply was there
    EXPECT_EQ(status, CSerialLine::readTimeout);
    EXPECT_EQ(sim.Get(1, "replies"), 2);
}

// One read takes every byte already there and hands them out one at a time:
// what it took beyond a reply is purged with the line's input before the next
// request, and a reply that comes in pieces is read as before.
TEST_F(SerialLine, BytesReadAheadDoNotSurviveThePurge) {
    ASSERT_TRUE(sim.Ok("fault 1 badthengood on"));  // a bad reply and the good one, at once
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    line.SetReadTimeout(300);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return sim.Get(1, "replies") == 1; }));
    SleepMs(50);
    int status = 0;
    EXPECT_EQ(ReadFrame(line, &status).size(), 8u);  // the bad one; the good one was read ahead
    EXPECT_EQ(line.PendingInput(), 8);
    ASSERT_TRUE(sim.Ok("fault 1 clear"));
    ASSERT_TRUE(sim.Ok("status 1 0x11"));
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    char want[8];
    CStationProtocol::BuildFrame(1, 0x11, want);
    EXPECT_EQ(ReadFrame(line, &status), std::string(want, 8));
    char c;
    EXPECT_EQ(line.ReadByte(&c, &status), 0);
    EXPECT_EQ(status, CSerialLine::readTimeout);
}

TEST_F(SerialLine, AReplyInPiecesAndTheTimeOutFromTheRequest) {
    ASSERT_TRUE(sim.Ok("fault 1 split 60"));  // three pieces, 60 ms apart
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    line.SetReadTimeout(1000);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    EXPECT_EQ(testsupport::ToHex(ReadFrame(line)), "02 30 31 3A 35 30 3C 03");
    // a reply later than the time-out: the wait counts from the request,
    // not from the last byte read
    ASSERT_TRUE(sim.Ok("fault 1 clear"));
    ASSERT_TRUE(sim.Ok("fault 1 delay 500"));
    line.SetReadTimeout(300);
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    FailedRead r = ReadFails(line);
    EXPECT_EQ(r.status, CSerialLine::readTimeout);
    EXPECT_LT(r.ms, 450u);
}

TEST_F(SerialLine, SettingsReachTheDevice) {
    struct Case {
        int baud, parity, dataBits, stopBits;
        unsigned long rate;
    };
    for (const Case& c : {Case{6, 0, 1, 0, 9600}, Case{8, 1, 0, 1, 38400}, Case{0, 2, 1, 0, 150},
                          Case{7, 1, 1, 1, 19200}}) {
        CSerialLine line;
        ASSERT_EQ(line.Open(Settings(kPort, c.baud, c.parity, c.dataBits, c.stopBits)), 1);
#if defined(_WIN32)
        // behind the pseudo-terminal Wine keeps the speed and the stop bits
        // but always reports 8 data bits without parity, so those are checked
        // on the control block the line hands the device
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(reinterpret_cast<HANDLE>(line.GetHandle()), &dcb));
        EXPECT_EQ(dcb.BaudRate, c.rate);
        EXPECT_EQ(dcb.StopBits, c.stopBits ? TWOSTOPBITS : ONESTOPBIT);
        COMMTIMEOUTS t;
        ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(line.GetHandle()), &t));
        EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
        EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

        DCB want;
        FillMemory(&want, sizeof want, 0xFF);
        FillLineDcb(&want, Settings(kPort, c.baud, c.parity, c.dataBits, c.stopBits));
        static const int kParity[3] = {NOPARITY, EVENPARITY, ODDPARITY};
        EXPECT_EQ(want.BaudRate, c.rate);
        EXPECT_EQ(want.Parity, kParity[c.parity]);
        EXPECT_EQ(want.ByteSize, c.dataBits ? 8 : 7);
        EXPECT_EQ(want.StopBits, c.stopBits ? TWOSTOPBITS : ONESTOPBIT);
        EXPECT_EQ(want.fBinary, 1u);
        EXPECT_EQ(want.fParity, 1u);
        EXPECT_EQ(want.fOutxCtsFlow | want.fOutxDsrFlow | want.fDsrSensitivity, 0u);
        EXPECT_EQ(want.fOutX | want.fInX | want.fTXContinueOnXoff, 0u);
        EXPECT_EQ(want.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
        EXPECT_EQ(want.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
        EXPECT_EQ(want.XonLim, 0xFFFF);  // a member the line does not set keeps its value
#else
        // a pseudo-terminal keeps the speed and the stop bits but always
        // reports 8 data bits without parity, so those are checked on the
        // settings the line hands the device
        struct termios tio;
        ASSERT_EQ(tcgetattr(static_cast<int>(line.GetHandle()), &tio), 0);
        static const speed_t kSpeed[9] = {B150,  B300,  B600,   B1200, B2400,
                                          B4800, B9600, B19200, B38400};
        EXPECT_EQ(cfgetospeed(&tio), kSpeed[c.baud]) << c.rate;
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopBits != 0);
        EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);

        struct termios want = tio;
        MakeLineTermios(&want, Settings(kPort, c.baud, c.parity, c.dataBits, c.stopBits));
        EXPECT_EQ((want.c_cflag & PARENB) != 0, c.parity != 0);
        EXPECT_EQ((want.c_cflag & PARODD) != 0, c.parity == 2);
        EXPECT_EQ(want.c_cflag & CSIZE, static_cast<tcflag_t>(c.dataBits ? CS8 : CS7));
        EXPECT_EQ(cfgetispeed(&want), kSpeed[c.baud]);
#endif
    }
}

TEST_F(SerialLine, SettingsNobodyChoseOpenNothing) {
    CSerialLine line;
    EXPECT_EQ(line.Open(Settings(kPort, 6, 3)), 0);
    EXPECT_EQ(line.Open(Settings(kPort, 9, 0)), 0);
    EXPECT_EQ(line.Open(Settings(kPort, -1, 0)), 0);
    EXPECT_EQ(line.Open(Settings(-1, 6, 0)), 0);
    EXPECT_EQ(line.IsOpen(), 0);
    EXPECT_EQ(line.Open(Settings(30, 6, 0)), 0);  // COM31 leads nowhere
}

TEST_F(SerialLine, APortServesOneLineAtATime) {
    CSerialLine first, second;
    ASSERT_EQ(first.Open(Settings(kPort)), 1);
#if !defined(_WIN32)
    // Windows refuses a second open of a COM port itself; Wine does not
    // emulate that for a device behind a link, so only the POSIX lock is tested
    EXPECT_EQ(second.Open(Settings(kPort)), 0);
#endif
    first.Close();
    EXPECT_EQ(second.Open(Settings(kPort)), 1);
    // opening again closes the old handle first
    EXPECT_EQ(second.Open(Settings(kPort, 5, 0)), 1);
    EXPECT_EQ(second.Write(kPoll1.data(), 8), 1);
    EXPECT_EQ(ReadFrame(second).size(), 8u);
}

TEST(SerialLineHighPort, Com12OpensByItsLongName) {
    SimControl sim12(kComSerialFar);
    ASSERT_TRUE(sim12.Connected());
    ASSERT_TRUE(sim12.Ok("reset"));
    ASSERT_TRUE(sim12.Ok("add 31 0xA5"));
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPortFar)), 1);
    std::string poll31("\x02\x31\x3F\x30\x30\x30\x0C\x03", 8);
    poll31[5] = 0x30 + ((0x02 ^ 0x31 ^ 0x3F ^ 0x30 ^ 0x30) >> 4);
    poll31[6] = 0x30 + ((0x02 ^ 0x31 ^ 0x3F ^ 0x30 ^ 0x30) & 0x0F);
    ASSERT_EQ(line.Write(poll31.data(), 8), 1);
    EXPECT_EQ(testsupport::ToHex(ReadFrame(line)), "02 31 3F 3A 35 30 33 03");
}

TEST_F(SerialLine, ATickWrapEndsTheWaitAsATimeout) {
    ASSERT_TRUE(sim.Ok("fault 1 silent on"));
    CSerialLine line;
    ASSERT_EQ(line.Open(Settings(kPort)), 1);
    line.SetReadTimeout(4000);
    tick_seam::SetOffset(0u - GetTickMs() - 100u);  // the tick wraps 100 ms from now
    ASSERT_EQ(line.Write(kPoll1.data(), 8), 1);
    char c;
    int status = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line.ReadByte(&c, &status), 0);
    auto took = std::chrono::steady_clock::now() - start;
    tick_seam::SetOffset(0);
    EXPECT_EQ(status, CSerialLine::readTimeout);
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

#if !defined(_WIN32)
// A line whose device hangs up ends a read at once as a failed read, without
// spinning until the time-out: both ways a device hangs up.
TEST_F(SerialLine, AHungUpDeviceEndsTheReadAtOnceWithoutSpinning) {
    for (bool vhangup : {false, true}) {
        ASSERT_TRUE(sim.Ok("reset"));
        ASSERT_TRUE(sim.Ok("add 1 0xA5"));
        CSerialLine line;
        ASSERT_EQ(line.Open(Settings(kPort)), 1);
        line.SetReadTimeout(3000);
        if (vhangup) {
            // the device itself hangs up (as the kernel does when an adapter goes)
            int fd = ::open(CSerialLine::DeviceName(kPort).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            const int rc = ::ioctl(fd, TIOCVHANGUP);
            ::close(fd);
            if (rc != 0) {  // needs CAP_SYS_TTY_CONFIG
                std::printf("TIOCVHANGUP refused here: that hang-up is not tried\n");
                continue;
            }
        } else {
            ASSERT_EQ(sim.Send("hangup").rfind("ok pty", 0), 0u);  // the far end closes
        }
        line.Write(kPoll1.data(), 8);
        char c;
        int status = 0;
        timespec cpu0, cpu1;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(line.ReadByte(&c, &status), 0) << vhangup;
        auto took = std::chrono::steady_clock::now() - start;
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        EXPECT_EQ(status, CSerialLine::readFailed) << vhangup;
        EXPECT_LT(took, std::chrono::milliseconds(500)) << vhangup;
        const double cpuMs =
            (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
        EXPECT_LT(cpuMs, 50.0) << vhangup;  // no busy loop
        // and the next read does not wait either
        EXPECT_EQ(line.ReadByte(&c, &status), 0);
        EXPECT_EQ(status, CSerialLine::readFailed);
    }
}
#endif
