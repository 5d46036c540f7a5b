#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/LineSettings.h"
#include "config/StationData.h"
#include "config/StationRules.h"
#include "driver_texts.h"
#include "platform/Encoding.h"

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

// The refusal texts are the system's own and state their ranges in words: they
// must name the same ends as the table the checks and the dialogs use.
TEST(LineTable, RefusalTextsNameTheTablesRanges) {
    auto text = [](int id) -> std::string {
        for (const auto& e : txt::kStringTable)
            if (e.id == id) return Cp949ToUtf8(e.text);
        return "";
    };
    auto ends = [](const line::LineRange& r, const char* unit = "") {
        return std::to_string(r.low) + unit + "에서 " + std::to_string(r.high);
    };
    EXPECT_NE(text(txt::IDS_NUMBER_RANGE).find(ends(line::kStationNumber)), std::string::npos);
    EXPECT_NE(text(txt::IDS_DELAY_RANGE).find(ends(line::kDelayMs)), std::string::npos);
    EXPECT_NE(text(txt::IDS_TIMEOUT_RANGE).find(ends(line::kTimeoutSeconds, "초")),
              std::string::npos);
    EXPECT_NE(text(txt::IDS_RETRIES_RANGE).find(ends(line::kRetries)), std::string::npos);
    EXPECT_NE(text(txt::IDS_PORT_RANGE).find("COM1에서 " + line::PortName(line::kPortCount - 1)),
              std::string::npos);
    char period[64];
    std::snprintf(period, sizeof period, "(%.1f초 - %.1f초)", line::kPollPeriodTenths.low / 10.0,
                  line::kPollPeriodTenths.high / 10.0);
    EXPECT_NE(text(txt::IDS_PERIOD_RANGE).find(period), std::string::npos);
    // the lists and their texts
    EXPECT_EQ(line::BaudText(6), " 9600");
    EXPECT_EQ(line::BaudIndexOf(38400), line::kBaudRateCount - 1);
    EXPECT_EQ(line::BaudIndexOf(14400), -1);
    EXPECT_EQ(line::BaudOf(line::kBaudRateCount), -1);
}
