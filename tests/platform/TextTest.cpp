#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/CString.h"
#include "platform/Encoding.h"
#include "platform/File.h"
#include "platform/NoCase.h"
#include "platform/Tick.h"

TEST(NoCase, FoldsEveryAsciiLetterByteAndNothingElse) {
    EXPECT_TRUE(SameName("pump", "PUMP"));
    EXPECT_TRUE(SameName("Line1.St1", "LINE1.st1"));
    EXPECT_FALSE(SameName("pump", "pump "));
    EXPECT_FALSE(SameName("", "a"));
    // 0xC6 0x41 and 0xC6 0x61 are both valid CP949 characters; the runtime's
    // compare folds the trailing byte all the same, so they are one name
    EXPECT_TRUE(SameName("\xC6\x41", "\xC6\x61"));
    // bytes outside A-Z are compared as they are
    EXPECT_FALSE(SameName("\xC7\xD1", "\xE7\xD1"));
    EXPECT_LT(StrICmp("a", "B"), 0);
    EXPECT_TRUE(SameName(nullptr, ""));
}

TEST(CStringOps, TrimUpperAndFormat) {
    CString s(" \t i5 \n");
    s.TrimLeft();
    s.TrimRight();
    s.MakeUpper();
    EXPECT_STREQ(s, "I5");

    CString korean(testsupport::Cp949("태그 i").c_str());
    korean.MakeUpper();
    EXPECT_EQ(korean.Str(), testsupport::Cp949("태그 I"));

    CString f;
    f.Format("%s|%03d", "100%", 7);
    EXPECT_STREQ(f, "100%|007");
    f.Format("%s", std::string(1000, 'z').c_str());
    EXPECT_EQ(f.GetLength(), 1000);
}

TEST(FileTitle, NameWithoutFolderAndExtension) {
    EXPECT_EQ(FileTitleOf("/plant/line1/Line1.cfg"), "Line1");
    EXPECT_EQ(FileTitleOf("C:\\plant\\pumps.v2.cfg"), "pumps.v2");
    EXPECT_EQ(FileTitleOf("C:noext"), "noext");
    EXPECT_EQ(FileTitleOf("plain"), "plain");
    EXPECT_EQ(FileTitleOf("dir/"), "");
}

TEST(Encoding, RoundTripsKoreanAndMarksBadBytes) {
    std::string cp;
    ASSERT_TRUE(Utf8ToCp949("펌프 1호기", &cp));
    EXPECT_EQ(Cp949ToUtf8(cp), "펌프 1호기");
    EXPECT_FALSE(Utf8ToCp949("\xF0\x9F\x98\x80", &cp));  // an emoji has no CP949 form
    // a lead byte without its trail byte
    EXPECT_EQ(Cp949ToUtf8("A\x81 B"), "A\xEF\xBF\xBD B");
}

// The time stamps the programs write (logs, traces, the gateway's events)
// go on past the 32-bit time_t's last second, on every target.
TEST(TimeStamps, TheYear2038IsAnOrdinaryYear) {
    EXPECT_EQ(UtcTimeStampAt(2147483647, 999), "2038-01-19T03:14:07.999Z");
    EXPECT_EQ(UtcTimeStampAt(2147483648, 0), "2038-01-19T03:14:08.000Z");
    EXPECT_EQ(UtcTimeStampAt(2214131696, 5), "2040-02-29T12:34:56.005Z");
    EXPECT_EQ(UtcTimeStampAt(4294967296, 0), "2106-02-07T06:28:16.000Z");
    // local time with its offset (the tests run in the machine's zone)
    const std::string local = LocalIsoTimeStampAt(2214131696, 5);
    ASSERT_EQ(local.size(), 29u) << local;
    EXPECT_EQ(local.substr(0, 3), "204") << local;
    EXPECT_EQ(local.substr(19, 4), ".005") << local;
    EXPECT_TRUE(local[23] == '+' || local[23] == '-') << local;
    EXPECT_EQ(local[26], ':') << local;
    // and now is now, not 1901
    EXPECT_GE(UtcTimeStamp().substr(0, 4), "2026");
}
