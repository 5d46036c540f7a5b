// The channel object: its log lines as the host's message log receives them.
#include <gtest/gtest.h>

#include "HostRecorder.h"
#include "TestSupport.h"
#include "channel/Channel.h"
#include "host/HostInterface.h"

using testsupport::Cp949;
using testsupport::HostRecorder;

TEST(Channel, LogLinesReachTheHostWithPrefixFirstArgumentAndKind) {
    HostRecorder host;
    ASSERT_TRUE(host.Loaded());
    host.Clear();
    CChannel channel;
    ASSERT_TRUE(channel.GetRuntimeLink().IsLoaded());
    std::string text = Cp949("포트 초기화 성공");
    channel.LogFault(text.c_str());
    channel.LogInfo(text.c_str());
    channel.LogInfo("100% done %s %n");  // a text is never a format

    auto lines = host.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].first, 3);
    EXPECT_EQ(lines[0].kind, kLogFault);
    EXPECT_EQ(lines[0].text, "Krandolix : " + text);
    EXPECT_EQ(lines[1].kind, kLogProgress);
    EXPECT_EQ(lines[1].text, "Krandolix : " + text);
    EXPECT_EQ(lines[2].text, "Krandolix : 100% done %s %n");
}

TEST(Channel, AFreshChannelHasNoHandleAndAClosedLine) {
    CChannel channel;
    EXPECT_EQ(channel.GetHandle(), -1);
    EXPECT_EQ(channel.GetTimeout(), 5000);  // the configuration's defaults
    EXPECT_EQ(channel.Send("\x02", 1), 0);
    char c;
    int status = 0;
    EXPECT_EQ(channel.ReceiveByte(&c, &status), 0);
    EXPECT_EQ(status, CSerialLine::readNotOpen);
    channel.SetHandle(4);
    EXPECT_EQ(channel.GetHandle(), 4);
}

TEST(Channel, TagHandlesHoldNineBitsOfStationAndTwentyThreeOfTag) {
    int32_t h = 0;
    ASSERT_TRUE(CChannel::MakeTagHandle(2, 5, &h));
    EXPECT_EQ(h, 0x1000005);
    ASSERT_TRUE(CChannel::MakeTagHandle(300, 0, &h));
    EXPECT_EQ(CChannel::HandleStation(static_cast<uint32_t>(h)), 300);
    EXPECT_EQ(CChannel::HandleTag(static_cast<uint32_t>(h)), 0);
    ASSERT_TRUE(CChannel::MakeTagHandle(511, 0x7FFFFE, &h));
    EXPECT_EQ(CChannel::HandleStation(static_cast<uint32_t>(h)), 511);
    EXPECT_EQ(CChannel::HandleTag(static_cast<uint32_t>(h)), 0x7FFFFE);
    // what would alias another station's tag, or give the failure value -1
    EXPECT_FALSE(CChannel::MakeTagHandle(512, 0, &h));
    EXPECT_FALSE(CChannel::MakeTagHandle(0, 0x800000, &h));
    EXPECT_FALSE(CChannel::MakeTagHandle(511, 0x7FFFFF, &h));
    EXPECT_FALSE(CChannel::MakeTagHandle(-1, 0, &h));
}
