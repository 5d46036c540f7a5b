#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tools/SimFrame.h"

using testsupport::FromHex;
using testsupport::ToHex;

namespace {

// Feeds bytes and returns what the reader made of them, one word per event.
std::string Read(sim::FrameReader& r, const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        switch (r.Feed(static_cast<uint8_t>(c))) {
            case sim::FrameReader::frame:
                out +=
                    "frame(" + std::to_string(r.Station()) + "," + std::to_string(r.Data()) + ") ";
                break;
            case sim::FrameReader::badFrame:
                out += "bad(" + r.Reason() + ") ";
                break;
            case sim::FrameReader::none:
                break;
        }
    }
    return out;
}

}  // namespace

TEST(SimFrame, BuildsTheControllersFrames) {
    EXPECT_EQ(ToHex(sim::BuildFrame(1, 0)), "02 30 31 30 30 30 33 03");
    EXPECT_EQ(ToHex(sim::BuildFrame(0, 0)), "02 30 30 30 30 30 32 03");
    EXPECT_EQ(ToHex(sim::BuildFrame(254, 0)), "02 3F 3E 30 30 30 33 03");
    EXPECT_EQ(ToHex(sim::BuildFrame(10, 0x08)), "02 30 3A 30 38 30 30 03");
    EXPECT_EQ(ToHex(sim::BuildFrame(1, 0x80)), "02 30 31 38 30 30 3B 03");
    EXPECT_EQ(ToHex(sim::BuildFrame(31, 0xA5)), "02 31 3F 3A 35 30 33 03");
}

TEST(SimFrame, ReadsStrictlyAndResynchronises) {
    sim::FrameReader r;
    EXPECT_EQ(Read(r, FromHex("02 30 31 30 30 30 33 03")), "frame(1,0) ");
    EXPECT_EQ(Read(r, FromHex("55 AA 03 02 30 3A 30 38 30 30 03")), "frame(10,8) ");
    EXPECT_EQ(r.Skipped(), 3u);
    EXPECT_EQ(Read(r, FromHex("02 30 31 02 30 31 30 30 30 33 03")),
              "bad(STX inside a frame: frame restarted) frame(1,0) ");
    EXPECT_EQ(Read(r, FromHex("02 30 31 30 30 30 34 03")), "bad(check byte 0x04, expected 0x03) ");
    EXPECT_EQ(Read(r, FromHex("02 30 31 41 30 30 33 03")),
              "bad(byte 3 (0x41) is not a nibble character) ");
    EXPECT_EQ(Read(r, FromHex("02 30 31 30 30 30 33 04")), "bad(byte 7 is not ETX) ");
    // the letters A-F are not nibble characters: 10-15 travel as 0x3A-0x3F
    EXPECT_EQ(Read(r, FromHex("02 30 41 30 30 30 30 03")),
              "bad(byte 2 (0x41) is not a nibble character) ");
}
