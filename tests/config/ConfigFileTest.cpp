// The configuration file: its bytes, its versions, its object tags and every
// way a load can fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "TestSupport.h"
#include "config/ConfigData.h"
#include "host/ZeravError.h"
#include "platform/Archive.h"
#include "platform/File.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using testsupport::FromHex;
using testsupport::ReadBytes;
using testsupport::ToHex;
using testsupport::WriteBytes;

// Every allocation of this program passes here, so that a test can see the
// largest one a load attempts: a damaged length must be refused before it is
// allocated, not after the read behind it fails.
namespace {
std::atomic<bool> g_watchAllocations{false};
std::atomic<size_t> g_largestAllocation{0};
}  // namespace

// (GCC takes the free of what this operator new allocated, once inlined, for
// a mismatch)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size) {
    if (g_watchAllocations) {
        size_t seen = g_largestAllocation;
        while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

// The header every configuration of this driver starts with.
std::string Header() {
    CZeravHeader header(3);
    header.SetDesc("Krandolix.Dll");
    header.m_wFlags = 1;
    CMemFile mem;
    CArchive ar(&mem, CArchive::store);
    header.Serialize(ar);
    ar.Close();
    return mem.Bytes();
}

const char kOneStation[] =
    "01 00 02 53 31 03 00 00 00 06 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 88 13 00 00 00 00 00 00 01 00 FF FF 01 00 0C 00 43 53 74 61 74 69 6F 6E 44 61 74 "
    "61 01 00 00 00 01 00 00 00 02 53 31 00 E8 03 00 00";

// Settings of version 3 with the defaults, then count and objects follow.
const char kDefaultsV3[] =
    "03 00 00 00 06 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "88 13 00 00 00 00 00 00";
const char kStationClass[] = "FF FF 01 00 0C 00 43 53 74 61 74 69 6F 6E 44 61 74 61";

std::string StationRecord(int number, const std::string& name, int periodMs) {
    std::string r = FromHex("01 00 00 00");
    r += std::string(reinterpret_cast<const char*>(&number), 4);
    r += static_cast<char>(name.size()) + name;
    r += '\0';
    r += std::string(reinterpret_cast<const char*>(&periodMs), 4);
    return r;
}

class ConfigFile : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& afterHeader) {
        std::string path = dir.Path(name);
        WriteBytes(path, Header() + afterHeader);
        return path;
    }
    std::string AfterHeader(const std::string& path) {
        return ReadBytes(path).substr(Header().size());
    }
    testsupport::ScratchDir dir;
};

}  // namespace

TEST_F(ConfigFile, AFreshConfigurationSavesItsDefaults) {
    CConfigData config;
    std::string path = dir.Path("fresh.cfg");
    ASSERT_EQ(config.Save(path.c_str()), 0);
    EXPECT_EQ(ToHex(AfterHeader(path)), "00 00 " + std::string(kDefaultsV3) + " 00 00");
    EXPECT_EQ(ReadBytes(path).substr(0, Header().size()), Header());
}

TEST_F(ConfigFile, OneStationGivesTheDocumentedBytesAndReadsBack) {
    CConfigData config;
    auto* station = new CStationData;
    station->SetName("S1");
    station->SetStationNo(1);
    config.AddStation(station);
    std::string path = dir.Path("one.cfg");
    ASSERT_EQ(config.Save(path.c_str()), 0);
    std::string after = AfterHeader(path);
    EXPECT_EQ(after.size(), 77u);
    EXPECT_EQ(ToHex(after), kOneStation);

    CConfigData loaded;
    ASSERT_EQ(loaded.Load(path.c_str()), 0);
    ASSERT_EQ(loaded.GetStationCount(), 1);
    EXPECT_STREQ(loaded.GetStationAt(0)->GetName(), "S1");
    EXPECT_EQ(loaded.GetStationAt(0)->GetStationNo(), 1);
    EXPECT_EQ(loaded.GetStationAt(0)->GetPollPeriod(), 1000);
    EXPECT_EQ(loaded.GetTimeout(), 5000);
    EXPECT_EQ(loaded.GetBaudRate(), 6);
    EXPECT_EQ(loaded.GetDataBits(), 1);
    EXPECT_STREQ(loaded.GetFileTitle(), "one");
}

TEST_F(ConfigFile, EverySettingLandsInItsOwnField) {
    CConfigData config;
    config.SetBaudRate(8);
    config.SetDataBits(0);
    config.SetParity(2);
    config.SetPort(35);
    config.SetStopBits(1);
    config.SetDelay(250);
    config.SetTimeout(1500);
    config.SetRetries(3);
    std::string path = dir.Path("all.cfg");
    ASSERT_EQ(config.Save(path.c_str()), 0);
    EXPECT_EQ(ToHex(AfterHeader(path)),
              "00 00 03 00 00 00 08 00 00 00 00 00 00 00 02 00 00 00 23 00 00 00 01 00 00 00 "
              "FA 00 00 00 DC 05 00 00 03 00 00 00 00 00");
    CConfigData loaded;
    ASSERT_EQ(loaded.Load(path.c_str()), 0);
    EXPECT_EQ(loaded.GetBaudRate(), 8);
    EXPECT_EQ(loaded.GetDataBits(), 0);
    EXPECT_EQ(loaded.GetParity(), 2);
    EXPECT_EQ(loaded.GetPort(), 35);
    EXPECT_EQ(loaded.GetStopBits(), 1);
    EXPECT_EQ(loaded.GetDelay(), 250);
    EXPECT_EQ(loaded.GetTimeout(), 1500);
    EXPECT_EQ(loaded.GetRetries(), 3);
    EXPECT_EQ(loaded.GetVersion(), 3);
}

TEST_F(ConfigFile, OlderVersionsKeepTheDefaultsTheyDoNotHold) {
    // version 2: delay 7, time-out in seconds (5), no retries
    std::string v2 =
        Write("v2.cfg", FromHex("00 00 02 00 00 00 05 00 00 00 01 00 00 00 01 00 00 00 "
                                "02 00 00 00 00 00 00 00 07 00 00 00 05 00 00 00 00 00"));
    CConfigData a;
    ASSERT_EQ(a.Load(v2.c_str()), 0);
    EXPECT_EQ(a.GetTimeout(), 5000);
    EXPECT_EQ(a.GetDelay(), 7);
    EXPECT_EQ(a.GetRetries(), 0);
    EXPECT_EQ(a.GetBaudRate(), 5);
    EXPECT_EQ(a.GetPort(), 2);

    // version 1: the station count follows the stop bits
    std::string v1 =
        Write("v1.cfg", FromHex("00 00 01 00 00 00 06 00 00 00 01 00 00 00 00 00 00 00 "
                                "00 00 00 00 00 00 00 00 00 00"));
    CConfigData b;
    ASSERT_EQ(b.Load(v1.c_str()), 0);
    EXPECT_EQ(b.GetDelay(), 0);
    EXPECT_EQ(b.GetTimeout(), 5000);
    EXPECT_EQ(b.GetRetries(), 0);

    // a later version reads like 3
    std::string v9 =
        Write("v9.cfg", FromHex("00 00 09" + std::string(kDefaultsV3).substr(2) + " 00 00"));
    CConfigData c;
    EXPECT_EQ(c.Load(v9.c_str()), 0);
    EXPECT_EQ(c.GetVersion(), 9);
}

TEST_F(ConfigFile, LaterStationsUseTheShortClassTagAndARepeatedClassRecordReadsToo) {
    CConfigData config;
    for (int i = 0; i < 3; ++i) {
        auto* s = new CStationData;
        s->SetName(("P" + std::to_string(i)).c_str());
        s->SetStationNo(i);
        config.AddStation(s);
    }
    std::string path = dir.Path("three.cfg");
    ASSERT_EQ(config.Save(path.c_str()), 0);
    std::string after = AfterHeader(path);
    std::string second = StationRecord(0, "P0", 1000);
    size_t firstEnd = after.find(second) + second.size();
    EXPECT_EQ(ToHex(after.substr(firstEnd, 2)), "01 80");

    // a writer that repeats the class record for every station
    std::string names = FromHex("02 00 01 41 01 42 ");
    std::string repeated = names + FromHex(kDefaultsV3) + FromHex("02 00") +
                           FromHex(kStationClass) + StationRecord(1, "A", 1000) +
                           FromHex(kStationClass) + StationRecord(2, "B", 2000);
    CConfigData loaded;
    ASSERT_EQ(loaded.Load(Write("repeat.cfg", repeated).c_str()), 0);
    ASSERT_EQ(loaded.GetStationCount(), 2);
    EXPECT_STREQ(loaded.GetStationAt(1)->GetName(), "B");
    EXPECT_EQ(loaded.GetStationAt(1)->GetPollPeriod(), 2000);

    // the long form of a class tag
    std::string big = names + FromHex(kDefaultsV3) + FromHex("02 00") + FromHex(kStationClass) +
                      StationRecord(1, "A", 1000) + FromHex("FF 7F 01 00 00 80") +
                      StationRecord(2, "B", 2000);
    CConfigData viaBig;
    EXPECT_EQ(viaBig.Load(Write("big.cfg", big).c_str()), 0);
    EXPECT_EQ(viaBig.GetStationCount(), 2);
}

TEST_F(ConfigFile, StationsComeFromTheirRecordsNotFromTheNameList) {
    std::string file = FromHex("03 00 01 58 01 59 01 5A ") + FromHex(kDefaultsV3) +
                       FromHex("01 00") + FromHex(kStationClass) + StationRecord(4, "REAL", 500);
    CConfigData loaded;
    ASSERT_EQ(loaded.Load(Write("names.cfg", file).c_str()), 0);
    ASSERT_EQ(loaded.GetStationCount(), 1);
    EXPECT_STREQ(loaded.GetStationAt(0)->GetName(), "REAL");
}

TEST_F(ConfigFile, ForeignClassesSchemasAndTagsMakeTheFileUnreadable) {
    auto withTag = [&](const std::string& tagHex) {
        return FromHex("01 00 01 41 ") + FromHex(kDefaultsV3) + FromHex("01 00") + FromHex(tagHex) +
               StationRecord(1, "A", 1000);
    };
    struct Case {
        const char* what;
        std::string tag;
    };
    for (const Case& c : {
             Case{"another class", "FF FF 01 00 0C 00 43 53 74 61 74 69 6F 6E 44 61 74 62"},
             Case{"letter case counts", "FF FF 01 00 0C 00 63 73 74 61 74 69 6F 6E 64 61 74 61"},
             Case{"schema 2", "FF FF 02 00 0C 00 43 53 74 61 74 69 6F 6E 44 61 74 61"},
             Case{"class index not yet read", "01 80"},
             Case{"null tag", "00 00"},
             Case{"reference to an object", "01 00"},
         }) {
        CConfigData config;
        EXPECT_EQ(config.Load(Write("bad.cfg", withTag(c.tag)).c_str()),
                  CConfigData::errBadContents)
            << c.what;
    }
}

TEST_F(ConfigFile, LongNamesUseTheLongerPrefix) {
    CConfigData config;
    auto* s = new CStationData;
    s->SetName(std::string(300, 'N').c_str());
    s->SetDescription(std::string(255, 'D').c_str());
    config.AddStation(s);
    std::string path = dir.Path("long.cfg");
    ASSERT_EQ(config.Save(path.c_str()), 0);
    std::string after = AfterHeader(path);
    EXPECT_EQ(ToHex(after.substr(2, 3)), "FF 2C 01");
    CConfigData loaded;
    ASSERT_EQ(loaded.Load(path.c_str()), 0);
    EXPECT_EQ(loaded.GetStationAt(0)->GetName().Str(), std::string(300, 'N'));
    EXPECT_EQ(loaded.GetStationAt(0)->GetDescription().Str(), std::string(255, 'D'));
}

namespace {
std::vector<std::string> g_inserts;
void RecordInserts(int, const char*, int count, const char* const* inserts) {
    g_inserts.assign(inserts, inserts + count);
}
}  // namespace

TEST_F(ConfigFile, AMissingFileGives2000WithItsPathAndTheTitle) {
    std::string path = dir.Path("Line7.cfg");
    CConfigData config;
    EXPECT_EQ(config.Load(path.c_str()), CConfigData::errFileMissing);
    EXPECT_STREQ(config.GetFileTitle(), "Line7");
    EXPECT_EQ(config.GetTimeout(), 5000);
    CZeravError::SetHandler(&RecordInserts);
    CZeravError::ErrMsg(2000, 0);
    CZeravError::SetHandler(nullptr);
    EXPECT_EQ(g_inserts, std::vector<std::string>{path});
}

TEST_F(ConfigFile, AFileThatCannotBeOpenedGives2002) {
    // a folder where the file should be
    CConfigData folder;
    EXPECT_EQ(folder.Load(dir.Dir().string().c_str()), CConfigData::errCannotRead);
#if defined(_WIN32)
    // a file someone holds open without sharing
    CConfigData saved;
    std::string path = dir.Path("held.cfg");
    ASSERT_EQ(saved.Save(path.c_str()), 0);
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CConfigData config;
    EXPECT_EQ(config.Load(path.c_str()), CConfigData::errCannotRead);
    CloseHandle(held);
    CConfigData again;
    EXPECT_EQ(again.Load(path.c_str()), 0);
#endif
}

TEST_F(ConfigFile, AFileWithoutOurHeaderGivesTheHeaderCheckCode) {
    std::string path = dir.Path("notes.txt");
    WriteBytes(path, "station list: pump 1, pump 2");
    CConfigData config;
    EXPECT_EQ(config.Load(path.c_str()), CZeravHeader::errNotConfigFile);
    EXPECT_EQ(config.GetStationCount(), 0);
}

TEST_F(ConfigFile, AFileCutShortAnywhereAfterItsHeaderGives2004) {
    CConfigData config;
    for (int i = 0; i < 3; ++i) {
        auto* s = new CStationData;
        s->SetName(("Pump" + std::to_string(i)).c_str());
        s->SetDescription("desc");
        s->SetStationNo(i + 1);
        config.AddStation(s);
    }
    std::string full = dir.Path("full.cfg");
    ASSERT_EQ(config.Save(full.c_str()), 0);
    std::string bytes = ReadBytes(full);
    std::string cut = dir.Path("cut.cfg");
    for (size_t n = Header().size(); n < bytes.size(); ++n) {
        WriteBytes(cut, bytes.substr(0, n));
        CConfigData partial;
        ASSERT_EQ(partial.Load(cut.c_str()), CConfigData::errBadContents) << "cut at " << n;
    }
}

TEST_F(ConfigFile, DamagedCountsAndLengthsEndIn2004) {
    for (const char* hex :
         {"FF FF FF FF FF FF", "01 00 FF FF FF FF FF FF FF 41", "01 00 FF FF FF FF FF 7F 41",
          "01 00 FF FE 7F 41", "01 00 FF 00 01 41",
          "00 00 03 00 00 00 06 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
          "00 00 00 00 00 88 13 00 00 00 00 00 00 FF FF FF FF FF 7F"}) {
        std::string path = Write("damaged.cfg", FromHex(hex));
        CConfigData config;
        g_largestAllocation = 0;
        g_watchAllocations = true;
        int result = config.Load(path.c_str());
        g_watchAllocations = false;
        EXPECT_EQ(result, CConfigData::errBadContents) << hex;
        // nothing larger than the file and the loader's own buffers
        EXPECT_LE(g_largestAllocation.load(), ReadBytes(path).size() + 64 * 1024) << hex;
    }
}

TEST_F(ConfigFile, LookupsIgnoreTheCaseOfAsciiLettersAndTakeTheFirstMatch) {
    CConfigData config;
    for (const char* name : {"PUMP", "pump", "Fan"}) {
        auto* s = new CStationData;
        s->SetName(name);
        config.AddStation(s);
    }
    EXPECT_EQ(config.FindStation("pump"), config.GetStationAt(0));
    EXPECT_EQ(config.FindStationIndex("FAN"), 2);
    EXPECT_EQ(config.FindStationIndex("fan "), -1);
    EXPECT_EQ(config.FindStation("missing"), nullptr);
    EXPECT_EQ(config.GetStationAt(-1), nullptr);
    EXPECT_EQ(config.GetStationAt(3), nullptr);
    config.RemoveAllStations();
    EXPECT_EQ(config.GetStationCount(), 0);
}
