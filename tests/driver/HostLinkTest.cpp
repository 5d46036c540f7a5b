// The links to the host's libraries, in three settings: the stand-ins beside
// the driver (the build folder), no libraries at all, and libraries without
// their table (staged folders the build prepares).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "HostRecorder.h"
#include "TestSupport.h"
#include "config/ConfigData.h"
#include "driver/HostLink.h"
#include "host/DriverTable.h"
#include "host/HostInterface.h"
#include "host/TagVal.h"
#include "host/ZeravError.h"
#include "platform/CString.h"
#include "platform/DynLib.h"

namespace {

struct Shown {
    int code;
    std::vector<std::string> inserts;
};
std::vector<Shown> g_shown;
void Record(int code, const char*, int count, const char* const* inserts) {
    g_shown.push_back(Shown{code, std::vector<std::string>(inserts, inserts + count)});
}

// The messages shown, for a failure's report.
std::string ShownText() {
    std::string out;
    for (const auto& s : g_shown) {
        out += std::to_string(s.code);
        for (const auto& i : s.inserts) out += " " + i;
        out += "; ";
    }
    return out;
}

// Messages are recorded from before the driver loads until after it is gone.
struct Recording {
    Recording() {
        g_shown.clear();
        CZeravError::SetHandler(&Record);
    }
    ~Recording() { CZeravError::SetHandler(nullptr); }
};

// The built driver, loaded as the host loads it, with messages recorded.
struct Driver : Recording, DriverTable {};

std::string WriteConfig(const testsupport::ScratchDir& dir) {
    std::string path = dir.Path("line.cfg");
    CConfigData config;
    config.Save(path.c_str());
    return path;
}

int CountShown(int code, const std::string& insert) {
    int n = 0;
    for (const Shown& s : g_shown) {
        if (s.code == code && s.inserts == std::vector<std::string>{insert}) ++n;
    }
    return n;
}

}  // namespace

TEST(LinksPresent, EntriesReceiveExactlyWhatTheDriverHandsOver) {
    testsupport::HostRecorder host;
    ASSERT_TRUE(host.Loaded());
    host.Clear();
    host.DefineTag(77, "\xC6\xDF\xC7\xC1");  // two CP949 characters

    CDbmLink db;
    ASSERT_TRUE(db.IsLoaded());
    CString name("unchanged");
    db.GetTagName(77, &name);
    EXPECT_EQ(name.Str(), "\xC6\xDF\xC7\xC1");
    CString unknown("unchanged");
    db.GetTagName(78, &unknown);
    EXPECT_STREQ(unknown, "unchanged");

    CTagVal value;
    value.SetVal(1.0);
    db.SetTagValue(77, &value);
    testsupport::DeliveredValue v{};
    ASSERT_TRUE(host.Read(77, &v));
    EXPECT_EQ(v.value, 1.0);
    EXPECT_EQ(v.updates, 1u);
    EXPECT_EQ(v.nameLookups, 1u);

    CRuntimeLink log;
    log.PutMessage(kLogProgress, "line");
    auto lines = host.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, 3);
    EXPECT_EQ(lines[0].kind, kLogProgress);
    EXPECT_EQ(lines[0].text, "line");
}

TEST(LinksPresent, OpeningChannelsShowsNoMessage) {
    testsupport::ScratchDir dir;
    Driver driver;
    ASSERT_TRUE(driver.Loaded());
    EXPECT_EQ(driver.Open(WriteConfig(dir)), 0);
    EXPECT_TRUE(g_shown.empty()) << ShownText();
}

// Run in a folder without ZeravDbm.DLL and Plovanet.DLL.
TEST(LinksMissing, EachLinkReportsItsMissingLibraryOnceAndChannelsStillOpen) {
    testsupport::ScratchDir dir;
    std::string path = WriteConfig(dir);
    Driver driver;
    ASSERT_TRUE(driver.Loaded());
    EXPECT_EQ(driver.Open(path), 0);
    EXPECT_EQ(CountShown(kErrLibraryMissing, "Plovanet.DLL"), 1);
    EXPECT_EQ(CountShown(kErrLibraryMissing, "ZeravDbm.DLL"), 1);
    // every channel brings its own message link; the database link is made once
    EXPECT_EQ(driver.Open(dir.Path("missing.cfg")), -1);
    EXPECT_EQ(driver.Open(path), 1);
    EXPECT_EQ(CountShown(kErrLibraryMissing, "Plovanet.DLL"), 3);
    EXPECT_EQ(CountShown(kErrLibraryMissing, "ZeravDbm.DLL"), 1);
    EXPECT_EQ(g_shown.size(), 4u);

    // calls through unloaded links do nothing
    CDbmLink db;
    CString name;
    db.GetTagName(1, &name);
    EXPECT_TRUE(name.IsEmpty());
    CTagVal value;
    db.SetTagValue(1, &value);
    CRuntimeLink log;
    log.PutMessage(kLogFault, "dropped");
}

// Run in a folder whose ZeravDbm.DLL and Plovanet.DLL lack FuncTable.
TEST(LinksWithoutTable, NoMessageAndTheLinksStayUnloaded) {
    testsupport::ScratchDir dir;
    Driver driver;
    ASSERT_TRUE(driver.Loaded());
    EXPECT_EQ(driver.Open(WriteConfig(dir)), 0);
    EXPECT_TRUE(g_shown.empty()) << ShownText();
    CDbmLink db;
    CRuntimeLink log;
    EXPECT_FALSE(db.IsLoaded());
    EXPECT_FALSE(log.IsLoaded());
    EXPECT_TRUE(g_shown.empty()) << ShownText();
}
