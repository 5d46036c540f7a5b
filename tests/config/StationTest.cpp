#include <gtest/gtest.h>

#include "config/StationData.h"
#include "platform/Archive.h"
#include "platform/File.h"

TEST(Station, StatusCountersAndTheFaultFlag) {
    CStationData s;
    int c = -9, cf = -9, p = -9, pf = -9;
    EXPECT_EQ(s.GetStatus(&c, &cf, &p, &pf), 0);
    EXPECT_EQ(c + cf + p + pf, 0);

    s.CountControl();
    s.CountControl();
    s.CountPoll();
    s.CountPollFailure();
    EXPECT_EQ(s.GetStatus(&c, &cf, &p, &pf), 1);
    EXPECT_EQ(c, 2);
    EXPECT_EQ(cf, 0);
    EXPECT_EQ(p, 1);
    EXPECT_EQ(pf, 1);

    // a reset zeroes the counters but the fault stays until a good reply
    s.ResetCounters();
    EXPECT_EQ(s.GetStatus(&c, &cf, &p, &pf), 1);
    EXPECT_EQ(c + cf + p + pf, 0);
    s.ClearCommError();
    EXPECT_EQ(s.GetStatus(&c, &cf, &p, &pf), 0);

    // disabled: -1, and the counters are still filled in
    s.CountControlFailure();
    s.SetEnabled(0);
    EXPECT_EQ(s.GetStatus(&c, &cf, &p, &pf), -1);
    EXPECT_EQ(cf, 1);
}

TEST(Station, DisplayInfoAndCopy) {
    CStationData s;
    CString number, description;
    s.GetDisplayInfo(&number, &description);
    EXPECT_STREQ(number, "000");
    s.SetStationNo(254);
    s.SetStationNo(7);
    s.SetDescription("inlet pump");
    s.GetDisplayInfo(&number, &description);
    EXPECT_STREQ(number, "007");
    EXPECT_STREQ(description, "inlet pump");

    s.SetName("P1");
    s.SetPollPeriod(250);
    s.CountPoll();
    s.SetEnabled(0);
    CStationData copy;
    copy.CopyFrom(s);
    EXPECT_STREQ(copy.GetName(), "P1");
    EXPECT_STREQ(copy.GetDescription(), "inlet pump");
    EXPECT_EQ(copy.GetStationNo(), 7);
    EXPECT_EQ(copy.GetPollPeriod(), 250);
    int c, cf, p, pf;
    EXPECT_EQ(copy.GetStatus(&c, &cf, &p, &pf), 0);  // enabled, counters not copied
    EXPECT_EQ(p, 0);
}

TEST(Station, TheRecordAlwaysCarriesVersion1AndReadsAnyVersion) {
    CStationData s;
    s.SetName("A");
    CMemFile mem;
    CArchive ar(&mem, CArchive::store);
    s.Serialize(ar);
    ar.Close();
    EXPECT_EQ(mem.Bytes().substr(0, 4), std::string("\x01\0\0\0", 4));

    std::string other = mem.Bytes();
    other[0] = 42;
    CMemFile in(other);
    CArchive load(&in, CArchive::load);
    CStationData back;
    back.Serialize(load);
    EXPECT_STREQ(back.GetName(), "A");
}
