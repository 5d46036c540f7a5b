// The built driver library, loaded as the host loads it and driven only
// through its exported table.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "TestSupport.h"
#include "config/ConfigData.h"
#include "platform/DynLib.h"

namespace {

#if defined(_WIN32)
const char kDriverFile[] = "Krandolix.dll";
#else
const char kDriverFile[] = "Krandolix.so";
#endif

using GetVersionFn = int32_t (*)();
using OpenChannelFn = int32_t (*)(const char*);
using AlwaysOneFn = int32_t (*)();
using NothingFn = void (*)();
using GetDescriptionFn = const char* (*)();

class EntryTable : public ::testing::Test {
protected:
    void SetUp() override {
        m_lib = LoadLib((testsupport::ProgramFolder() + kDriverFile).c_str());
        ASSERT_NE(m_lib, nullptr) << "cannot load " << kDriverFile;
        m_table = static_cast<void**>(FindSymbol(m_lib, "DrvFuncTable"));
        ASSERT_NE(m_table, nullptr);
    }
    void TearDown() override { FreeLib(m_lib); }

    template <typename F>
    F SlotFn(int n) {
        return reinterpret_cast<F>(m_table[n]);
    }

    LibHandle m_lib = nullptr;
    void** m_table = nullptr;
};

}  // namespace

TEST_F(EntryTable, LayoutVersionAndDescription) {
    for (int slot = 0; slot <= 16; ++slot) {
        if (slot == 2) continue;  // the settings dialog comes with the dialogs
        EXPECT_NE(m_table[slot], nullptr) << slot;
    }
    for (int slot = 17; slot < 32; ++slot) EXPECT_EQ(m_table[slot], nullptr) << slot;

    EXPECT_EQ(SlotFn<GetVersionFn>(0)(), 0x10000);
    EXPECT_EQ(SlotFn<AlwaysOneFn>(9)(), 1);
    SlotFn<NothingFn>(10)();
    SlotFn<NothingFn>(11)();

    const char* description = SlotFn<GetDescriptionFn>(12)();
    EXPECT_STREQ(description, "Motor Controller (Dravik)");
    // the text stands right after the 32 slots: byte 128 on the 32-bit target
    const char* inTable = reinterpret_cast<const char*>(m_table) + 32 * sizeof(void*);
    EXPECT_EQ(description, inTable);
    if (sizeof(void*) == 4) {
        EXPECT_STREQ(reinterpret_cast<const char*>(m_table) + 128, "Motor Controller (Dravik)");
    }
}

TEST_F(EntryTable, HandlesAreDenseAndAFailedOpenUsesNoNumber) {
    testsupport::ScratchDir dir;
    std::string good = dir.Path("line.cfg");
    CConfigData config;
    ASSERT_EQ(config.Save(good.c_str()), 0);

    auto open = SlotFn<OpenChannelFn>(1);
    int32_t first = open(good.c_str());
    int32_t missing = open(dir.Path("missing.cfg").c_str());
    int32_t second = open(good.c_str());
    int32_t folder = open(dir.Dir().string().c_str());
    int32_t null = open(nullptr);
    // a library loaded again starts from an empty list; this one is fresh
    EXPECT_EQ(first, 0);
    EXPECT_EQ(missing, -1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(folder, -1);
    EXPECT_EQ(null, -1);
}

TEST_F(EntryTable, UnloadingReleasesTheChannelsAndAReloadStartsAfresh) {
    testsupport::ScratchDir dir;
    std::string good = dir.Path("line.cfg");
    CConfigData config;
    ASSERT_EQ(config.Save(good.c_str()), 0);
    EXPECT_EQ(SlotFn<OpenChannelFn>(1)(good.c_str()), 0);
    FreeLib(m_lib);
    m_lib = LoadLib((testsupport::ProgramFolder() + kDriverFile).c_str());
    ASSERT_NE(m_lib, nullptr);
    m_table = static_cast<void**>(FindSymbol(m_lib, "DrvFuncTable"));
    EXPECT_EQ(SlotFn<OpenChannelFn>(1)(good.c_str()), 0);
}
