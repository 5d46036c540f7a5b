#include <gtest/gtest.h>

#include <cstdio>

#include "config/StationData.h"
#include "config/StationRules.h"

namespace {

struct Result {
    int id;
    StationField field;
    int periodMs;
};

Result Check(const char* name, int number, const char* period, const CStationData* self,
             const CStationData* sameName = nullptr, const CStationData* sameNumber = nullptr) {
    Result r{0, StationField::name, -1};
    r.id = CheckStationEntry(StationEntry{name, number, period}, self, sameName, sameNumber,
                             &r.periodMs, &r.field);
    return r;
}

}  // namespace

TEST(StationRules, ChecksRunInOrderAndNameTheirField) {
    CStationData self, other;
    EXPECT_EQ(Check("", 300, "x", &self).id, 2711);
    EXPECT_EQ(Check(" ", 1, "1", &self).id, 0);  // blanks are a name
    Result dup = Check("P1", 300, "x", nullptr, &other);
    EXPECT_EQ(dup.id, 2710);
    EXPECT_EQ(dup.field, StationField::name);
    Result num = Check("P1", 300, "x", &self, &self, &other);
    EXPECT_EQ(num.id, 2712);  // a used number wins over its range
    EXPECT_EQ(num.field, StationField::number);
    EXPECT_EQ(Check("P1", 255, "1", &self).id, 2714);
    EXPECT_EQ(Check("P1", -1, "1", &self).id, 2714);
    EXPECT_EQ(Check("P1", 40, "1", &self).id, 0);
    Result period = Check("P1", 1, "0.05", &self, &self, &self);
    EXPECT_EQ(period.id, 2715);
    EXPECT_EQ(period.field, StationField::period);
}

TEST(StationRules, PeriodTextsAndTheirMilliseconds) {
    struct Case {
        const char* text;
        int id;
        int ms;
    };
    for (const Case& c : {Case{"0.1", 0, 100}, Case{"5", 0, 5000}, Case{"999.9", 0, 999900},
                          Case{" 1.25", 0, 1250}, Case{"1.2345", 0, 1234}, Case{"0.05", 2715, -1},
                          Case{"1000", 2715, -1}, Case{"", 2715, -1}, Case{"1.0 ", 2715, -1},
                          Case{"1s", 2715, -1}, Case{"nan", 2715, -1}, Case{"-5", 2715, -1}}) {
        Result r = Check("P", 1, c.text, nullptr);
        EXPECT_EQ(r.id, c.id) << c.text;
        EXPECT_EQ(r.periodMs, c.ms) << c.text;
    }
}

TEST(StationRules, SecondsTimesAThousandIsExactInDoublePrecision) {
    // with the x87 unit's extended precision 999.9 would give 999899
    for (int tenths = 1; tenths <= 9999; ++tenths) {
        char text[32];
        snprintf(text, sizeof text, "%d.%d", tenths / 10, tenths % 10);
        double seconds = 0;
        ASSERT_TRUE(ParsePeriodSeconds(text, &seconds));
        ASSERT_EQ(SecondsToMs(seconds), tenths * 100) << text;
    }
}

TEST(StationRules, ChannelRanges) {
    EXPECT_EQ(CheckDelay(0), 0);
    EXPECT_EQ(CheckDelay(2000), 0);
    EXPECT_EQ(CheckDelay(2001), 2716);
    EXPECT_EQ(CheckDelay(-1), 2716);
    EXPECT_EQ(CheckTimeoutSeconds(0), 2717);
    EXPECT_EQ(CheckTimeoutSeconds(999), 0);
    EXPECT_EQ(CheckRetries(11), 2718);
    EXPECT_EQ(CheckPort(35), 0);
    EXPECT_EQ(CheckPort(36), 2719);
    EXPECT_EQ(CheckBaudRate(9), 2720);
    EXPECT_EQ(CheckParity(3), 2721);
    EXPECT_EQ(CheckDataBits(2), 2722);
    EXPECT_EQ(CheckStopBits(-1), 2723);
}
