// The frame trace file: its lines for what a run against a simulator does not
// produce (the simulator's runs are checked frame by frame in the drvhost
// tests), its cap and the rename, and the environment variable that turns it on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "TestSupport.h"
#include "channel/FrameTrace.h"
#include "channel/SerialLine.h"
#include "protocol/ReplyDecoder.h"
#include "protocol/StationProtocol.h"

namespace {

using testsupport::FromHex;
using testsupport::ReadBytes;
using testsupport::ScratchDir;

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(ReadBytes(path));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// What a line says after its time stamp ("YYYY-MM-DD hh:mm:ss.mmm ").
std::string Said(const std::string& line) {
    return line.size() > 24 ? line.substr(24) : "";
}

// Feeds bytes as the engine's Receive does: through a decoder, each with
// the decoder's state before it and its verdict.
void Feed(CFrameTrace& trace, int station, const std::string& bytes) {
    CReplyDecoder decoder(station);
    for (unsigned char c : bytes) {
        int before = decoder.GetState();
        CReplyDecoder::Result r = decoder.Feed(c);
        trace.Received(c, before, r, decoder.GetStatusByte());
    }
}

void SetTraceVariable(const char* value) {
#if defined(_WIN32)
    _putenv_s("KRANDOLIX_TRACE", value);
    SetEnvironmentVariableA("KRANDOLIX_TRACE", *value ? value : nullptr);
#else
    if (*value)
        setenv("KRANDOLIX_TRACE", value, 1);
    else
        unsetenv("KRANDOLIX_TRACE");
#endif
}

}  // namespace

TEST(FrameTrace, LinesForFramesThatEndBadlyAndForThePurge) {
    ScratchDir dir;
    CFrameTrace trace(dir.Dir().string(), "Line1");
    ASSERT_TRUE(trace.Open());
    EXPECT_EQ(trace.Path(), dir.Path("Line1.trace"));
    char frame[8];
    CStationProtocol::BuildFrame(5, 0x40, frame);
    trace.Sent(frame, 8, 3);
    trace.BeginReply(5);
    // a reply whose last byte is not ETX, then half a reply when the wait ends
    Feed(trace, 5, FromHex("02 30 35 30 31 30 36 04 02 30 35"));
    trace.TimedOut(300);
    trace.BeginReply(5);
    trace.ReadFailed(CSerialLine::readFailed, 2);

    std::vector<std::string> lines = Lines(trace.Path());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(Said(lines[0]), "-- purge: 3 bytes received and never read dropped");
    EXPECT_EQ(Said(lines[1]), "TX 02 30 35 34 30 30 33 03  control 5 output bit 6");
    EXPECT_EQ(Said(lines[2]), "RX 02 30 35 30 31 30 36 04  no ETX at the end: dropped");
    EXPECT_EQ(Said(lines[3]), "RX 02 30 35  incomplete");
    EXPECT_EQ(Said(lines[4]), "-- time-out after 300 ms waiting for station 5");
    EXPECT_EQ(Said(lines[5]), "-- read error (-1) after 2 ms waiting for station 5");
}

TEST(FrameTrace, AFullFileBecomesDotOneAndANewOneBegins) {
    ScratchDir dir;
    testsupport::WriteBytes(dir.Path("L.trace.1"), "the oldest, dropped\n");
    testsupport::WriteBytes(dir.Path("L.trace"), std::string(900, 'x') + "\n");
    char frame[8];
    CStationProtocol::BuildFrame(1, 0, frame);
    {
        CFrameTrace trace(dir.Dir().string(), "L", 1000);
        ASSERT_TRUE(trace.Open());
        // a TX line is 59 bytes: the first fits below the cap, the second does not
        trace.Sent(frame, 8, 0);
        trace.Sent(frame, 8, 0);
        trace.Sent(frame, 8, 0);
    }
    std::string older = ReadBytes(dir.Path("L.trace.1"));
    EXPECT_EQ(older.substr(0, 900), std::string(900, 'x'));
    EXPECT_EQ(Lines(dir.Path("L.trace.1")).size(), 2u);  // appended to, then renamed
    EXPECT_EQ(Lines(dir.Path("L.trace")).size(), 2u);
    EXPECT_LE(older.size(), 1000u);
}

TEST(FrameTrace, OnlyWhenTheVariableNamesAFolderThatCanBeWritten) {
    ScratchDir dir;
    std::string error;
    SetTraceVariable("");
    EXPECT_EQ(OpenFrameTrace("Line1", &error), nullptr);
    EXPECT_EQ(error, "");

    SetTraceVariable(dir.Dir().string().c_str());
    auto trace = OpenFrameTrace("Line1", &error);
    ASSERT_NE(trace, nullptr);
    EXPECT_EQ(error, "");

    testsupport::WriteBytes(dir.Path("a-file"), "");
    SetTraceVariable(dir.Path("a-file").c_str());  // a file is no folder
    EXPECT_EQ(OpenFrameTrace("Line1", &error), nullptr);
    EXPECT_NE(error.find("Line1.trace"), std::string::npos);
    SetTraceVariable("");
}
