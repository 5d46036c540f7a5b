// What the settings pages do with the configuration, apart from their windows.
#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"
#include "host/ZeravError.h"
#include "ui/SettingsModel.h"

namespace {

CConfigData* MakeConfig() {
    auto* config = new CConfigData;
    config->SetTimeout(1500);
    config->SetDelay(20);
    config->SetRetries(2);
    for (auto [name, number] : {std::pair<const char*, int>{"ABC", 1}, {"Pump", 7}}) {
        auto* s = new CStationData;
        s->SetName(name);
        s->SetStationNo(number);
        s->SetDescription("d");
        config->AddStation(s);
    }
    return config;
}

}  // namespace

TEST(SettingsModel, WorkingCopiesReachTheConfigurationOnlyOnCommit) {
    std::unique_ptr<CConfigData> config(MakeConfig());
    CStationWorkList work;
    work.LoadFrom(*config);
    EXPECT_EQ(work.m_nTimeoutSec, 1u);  // 1500 ms shows 1
    EXPECT_EQ(work.m_nDelay, 20);
    EXPECT_EQ(work.m_nRetries, 2);
    ASSERT_EQ(work.Items().size(), 2u);
    EXPECT_NE(work.Items()[0].get(), config->GetStationAt(0));  // copies, not the stations

    // the lookups the station dialog makes see the working copies as they are now
    EXPECT_EQ(work.FindStationByName("abc"), work.Items()[0].get());
    EXPECT_EQ(work.FindStationByNumber(7), work.Items()[1].get());
    work.Items()[0]->SetName("Changed");
    CStationData added;
    added.SetName("New");
    added.SetStationNo(9);
    CStationData* copy = work.Append(added);
    work.Remove(work.Items()[1].get());
    EXPECT_EQ(work.FindStationByName("abc"), nullptr);
    EXPECT_EQ(work.FindStationByNumber(7), nullptr);
    EXPECT_EQ(work.FindStationByNumber(9), copy);

    // without a commit (Cancel) the configuration is as loaded
    EXPECT_STREQ(config->GetStationAt(0)->GetName(), "ABC");
    EXPECT_EQ(config->GetStationCount(), 2);

    work.m_nTimeoutSec = 1;
    work.CommitTo(config.get());
    ASSERT_EQ(config->GetStationCount(), 2);
    EXPECT_STREQ(config->GetStationAt(0)->GetName(), "Changed");
    EXPECT_STREQ(config->GetStationAt(1)->GetName(), "New");  // added ones last, in order
    EXPECT_EQ(config->GetTimeout(), 1000);                    // shown as 1, stored as 1000
    EXPECT_TRUE(work.Items().empty());
}

TEST(SettingsModel, PortChoicesOutsideTheirListsShowNothingAndAreRefused) {
    CConfigData config;
    CPortChoices choices;
    choices.LoadFrom(config);
    EXPECT_EQ(choices.m_nPort, 0);
    EXPECT_EQ(choices.m_nBaudRate, 6);
    EXPECT_EQ(choices.Check(), 0);

    config.SetPort(40);
    config.SetParity(3);
    choices.LoadFrom(config);
    EXPECT_EQ(choices.m_nPort, -1);
    EXPECT_EQ(choices.m_nParity, -1);
    EXPECT_EQ(choices.Check(), 2719);
    choices.m_nPort = 35;
    EXPECT_EQ(choices.Check(), 2721);
    choices.m_nParity = 1;
    choices.CommitTo(&config);
    EXPECT_EQ(config.GetPort(), 35);
    EXPECT_EQ(config.GetParity(), 1);
}

TEST(SettingsModel, Labels) {
    CStationData s;
    s.SetName("M1");
    s.SetStationNo(3);
    s.SetDescription("Pump");
    EXPECT_EQ(FormatStationLabel(s), "M1 (3) : Pump");
    CConfigData config;
    config.Load("/plant/\xC6\xDF line1.cfg");
    EXPECT_EQ(FormatRootLabel(config), "\xC6\xDF LINE1");
    EXPECT_EQ(PortNames().front(), "COM1");
    EXPECT_EQ(PortNames().back(), "COM36");
    EXPECT_EQ(BaudRateNames(),
              (std::vector<std::string>{"  150", "  300", "  600", " 1200", " 2400", " 4800",
                                        " 9600", "19200", "38400"}));
}

#if !defined(_WIN32)
namespace {
std::vector<int> g_messages;
void Record(int code, const char*, int, const char* const*) {
    g_messages.push_back(code);
}
}  // namespace

TEST(SettingsModel, WithoutAWindowSystemTheSettingsEntrySaysSoAndWritesNothing) {
    DriverTable drv;
    ASSERT_TRUE(drv.Loaded());
    testsupport::ScratchDir dir;
    g_messages.clear();
    CZeravError::SetHandler(&Record);
    EXPECT_EQ(drv.Configure(dir.Path("line.cfg")), 0);
    testsupport::WriteBytes(dir.Path("bad.cfg"), "junk");
    EXPECT_EQ(drv.Configure(dir.Path("bad.cfg")), 0);
    CZeravError::SetHandler(nullptr);
    EXPECT_EQ(g_messages, (std::vector<int>{2724, 2100}));
    EXPECT_FALSE(std::filesystem::exists(dir.Path("line.cfg")));
}
#endif
