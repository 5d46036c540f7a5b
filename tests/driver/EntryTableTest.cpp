// The built driver library, loaded as the host loads it and driven only
// through its exported table.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"

namespace {

using OpenChannelFn = int32_t (*)(const char*);
using NothingFn = void (*)();

class EntryTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_drv->Loaded()) << "cannot load " << DriverFileName();
        m_table = m_drv->Slots();
    }
    void Reload() {
        m_drv.reset();
        m_drv = std::make_unique<DriverTable>();
        m_table = m_drv->Slots();
    }
    template <typename F>
    F SlotFn(int n) {
        return reinterpret_cast<F>(m_table[n]);
    }

    std::unique_ptr<DriverTable> m_drv = std::make_unique<DriverTable>();
    void* const* m_table = nullptr;
};

}  // namespace

TEST_F(EntryTable, LayoutVersionAndDescription) {
    for (int slot = 0; slot <= 16; ++slot) EXPECT_NE(m_table[slot], nullptr) << slot;
    for (int slot = 17; slot < 32; ++slot) EXPECT_EQ(m_table[slot], nullptr) << slot;

    EXPECT_EQ(m_drv->Version(), 0x10000);
    EXPECT_EQ(SlotFn<int32_t (*)()>(9)(), 1);
    SlotFn<NothingFn>(10)();
    SlotFn<NothingFn>(11)();

    const char* description = m_drv->Description();
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

    auto open = [&](const char* path) { return m_drv->Open(path ? path : std::string()); };
    int32_t first = open(good.c_str());
    int32_t missing = open(dir.Path("missing.cfg").c_str());
    int32_t second = open(good.c_str());
    int32_t folder = open(dir.Dir().string().c_str());
    int32_t null = SlotFn<OpenChannelFn>(1)(nullptr);
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
    EXPECT_EQ(m_drv->Open(good), 0);
    Reload();
    ASSERT_TRUE(m_drv->Loaded());
    EXPECT_EQ(m_drv->Open(good), 0);
}
