// The reply decoder on its own, byte by byte: every way a reply is taken,
// dropped or restarted, without a line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/ReplyDecoder.h"
#include "protocol/StationProtocol.h"

namespace {

using R = CReplyDecoder::Result;

std::string Frame(int station, uint8_t data) {
    char f[8];
    CStationProtocol::BuildFrame(station, data, f);
    return std::string(f, 8);
}

// Every result the bytes give, in order, needMore left out.
std::vector<R> Feed(CReplyDecoder& d, const std::string& bytes) {
    std::vector<R> out;
    for (char c : bytes) {
        R r = d.Feed(static_cast<uint8_t>(c));
        if (r != CReplyDecoder::needMore) out.push_back(r);
    }
    return out;
}

const std::vector<R> kComplete{CReplyDecoder::complete};

}  // namespace

TEST(ReplyDecoder, AWholeReplyGivesItsStatusByteOnItsLastByteOnly) {
    for (int station : {0, 1, 0x1F, 0xA7, 254}) {
        for (int data : {0x00, 0x5A, 0xA5, 0xFF}) {
            CReplyDecoder d(station);
            std::string f = Frame(station, static_cast<uint8_t>(data));
            for (size_t i = 0; i + 1 < f.size(); ++i)
                ASSERT_EQ(d.Feed(static_cast<uint8_t>(f[i])), CReplyDecoder::needMore) << i;
            ASSERT_EQ(d.Feed(static_cast<uint8_t>(f[7])), CReplyDecoder::complete);
            EXPECT_EQ(d.GetStatusByte(), data) << station;
        }
    }
}

TEST(ReplyDecoder, BytesOutsideAFrameAreSkipped) {
    CReplyDecoder d(1);
    EXPECT_EQ(Feed(d, std::string("\x03\x31\xFF\x00garbage", 11) + Frame(1, 0x42)), kComplete);
    EXPECT_EQ(d.GetStatusByte(), 0x42);
    // after a reply the decoder hunts again: a lone tail is not a frame
    EXPECT_TRUE(Feed(d, Frame(1, 0x42).substr(1)).empty());
}

TEST(ReplyDecoder, StxRestartsTheFrameFromAnyPlace) {
    std::string good = Frame(1, 0x99);
    for (size_t cut = 1; cut < 8; ++cut) {
        CReplyDecoder d(1);
        // a frame broken off after `cut` bytes, then a whole one
        std::vector<R> got = Feed(d, Frame(1, 0x11).substr(0, cut) + good);
        EXPECT_EQ(got, kComplete) << cut;
        EXPECT_EQ(d.GetStatusByte(), 0x99) << cut;
    }
}

TEST(ReplyDecoder, AnotherStationsReplyIsDroppedAtItsFirstDifferingCharacter) {
    CReplyDecoder d(0x12);
    EXPECT_EQ(Feed(d, Frame(0x32, 0x01)), std::vector<R>{CReplyDecoder::otherStation});  // high
    EXPECT_EQ(Feed(d, Frame(0x13, 0x01)), std::vector<R>{CReplyDecoder::otherStation});  // low
    // the rest of a dropped frame is skipped, and the next good one is taken
    EXPECT_EQ(Feed(d, Frame(0x13, 0x01) + Frame(0x12, 0x07)),
              (std::vector<R>{CReplyDecoder::otherStation, CReplyDecoder::complete}));
    EXPECT_EQ(d.GetStatusByte(), 0x07);
}

TEST(ReplyDecoder, ACheckCharacterThatDiffersDropsTheFrame) {
    for (int place : {5, 6}) {
        CReplyDecoder d(1);
        std::string bad = Frame(1, 0x3C);
        bad[place] = static_cast<char>(bad[place] ^ 1);
        EXPECT_EQ(Feed(d, bad), std::vector<R>{CReplyDecoder::checkError}) << place;
        // the ETX after it does not complete anything; the next frame is read
        EXPECT_EQ(Feed(d, Frame(1, 0x3C)), kComplete);
    }
}

TEST(ReplyDecoder, ANonEtxEndDropsTheFrameSilently) {
    CReplyDecoder d(1);
    std::string f = Frame(1, 0x10);
    f[7] = 'X';
    EXPECT_TRUE(Feed(d, f).empty());
    EXPECT_EQ(Feed(d, Frame(1, 0x10)), kComplete);
}

TEST(ReplyDecoder, DataCharactersAreNotCheckedOnlyTheirLowNibblesCount) {
    // data characters outside '0'-'?' still give their low nibble, in
    // unsigned arithmetic, and the check covers the bytes as sent
    CReplyDecoder d(1);
    std::string f = Frame(1, 0);
    f[3] = static_cast<char>(0x2A);  // below '0': (0x2A - 0x30) & 0x0F = 0xA
    f[4] = static_cast<char>(0xF3);
    uint8_t x = 0;
    for (int i = 0; i < 5; ++i) x ^= static_cast<uint8_t>(f[i]);
    f[5] = static_cast<char>(0x30 + (x >> 4));
    f[6] = static_cast<char>(0x30 + (x & 0x0F));
    EXPECT_EQ(Feed(d, f), kComplete);
    EXPECT_EQ(d.GetStatusByte(), 0xA3);
}

TEST(ReplyDecoder, ResetForgetsAFrameBegun) {
    CReplyDecoder d(1);
    std::string f = Frame(1, 0x55);
    Feed(d, f.substr(0, 4));
    d.Reset();
    EXPECT_TRUE(Feed(d, f.substr(4)).empty());
}
