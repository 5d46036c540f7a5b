// Tag addresses: what registers, what is refused with which message, and how
// status bytes become values in the host's tag database.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "HostRecorder.h"
#include "TestSupport.h"
#include "driver/ChannelManager.h"
#include "host/HostTables.h"
#include "platform/CString.h"
#include "protocol/TagTable.h"

using testsupport::Cp949;
using testsupport::DeliveredValue;
using testsupport::HostRecorder;

namespace {

const int kDigital = kDigitalTagType;

class TagTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(host.Loaded());
        host.Clear();
        ASSERT_NE(TheManager().EnsureDbmLink(), nullptr);
        host.DefineTag(kPump, Cp949("펌프1.운전"));
    }
    // The registration message for an address, or "" when it registered.
    std::string Refusal(const char* address, int type = kDigital) {
        CString message;
        auto tag = table.ParseAddress(address, type, 0, kPump, &message);
        return tag ? std::string() : message.Str();
    }
    std::string Prefix(const char* address) {
        return Cp949("펌프1.운전 태그 (") + address + ") : ";
    }

    static constexpr HostTagRef kPump = 0x1234;
    HostRecorder host;
    CTagTable table;
};

}  // namespace

TEST_F(TagTable, ValidAddressesAndWhatTheyName) {
    struct Case {
        const char* address;
        char kind;
        int bit;
    };
    for (const Case& c :
         {Case{"I3", 'I', 3}, Case{"  I5  ", 'I', 5}, Case{"i5", 'I', 5}, Case{"I 5", 'I', 5},
          Case{"I+5", 'I', 5}, Case{"I05", 'I', 5}, Case{"I", 'I', 0}, Case{"I-0", 'I', 0},
          Case{"o7", 'O', 7}, Case{"O0", 'O', 0}, Case{"\tI7\n", 'I', 7}}) {
        CString message;
        auto tag = table.ParseAddress(c.address, kDigital, 0, kPump, &message);
        ASSERT_TRUE(tag) << c.address << ": " << message.Str();
        EXPECT_EQ(tag->GetKind(), c.kind) << c.address;
        EXPECT_EQ(tag->GetBit(), c.bit) << c.address;
        EXPECT_EQ(tag->GetHostTag(), kPump);
    }
}

TEST_F(TagTable, RefusedAddressesCarryThePrefixAndExactlyOneReason) {
    const std::string type = Cp949("문자열 및 아날로그 실태그는 지원되지 않음");
    const std::string kind = Cp949("알 수 없는 Address 종류");
    const std::string number = Cp949("알 수 없는 어드레스");
    const std::string input = Cp949("사용되지 않는 입력 어드레스가 지정됨");
    const std::string output = Cp949("사용되지 않는 출력 어드레스가 지정됨");
    EXPECT_EQ(Refusal("I8"), Prefix("I8") + input);
    EXPECT_EQ(Refusal("O8"), Prefix("O8") + output);
    EXPECT_EQ(Refusal("I-1"), Prefix("I-1") + input);
    EXPECT_EQ(Refusal("I4294967296"), Prefix("I4294967296") + input);
    EXPECT_EQ(Refusal("I99999999999999999999"), Prefix("I99999999999999999999") + input);
    EXPECT_EQ(Refusal("I3X"), Prefix("I3X") + number);
    EXPECT_EQ(Refusal("I0x1"), Prefix("I0x1") + number);
    EXPECT_EQ(Refusal("I+"), Prefix("I+") + number);
    EXPECT_EQ(Refusal("X3"), Prefix("X3") + kind);
    EXPECT_EQ(Refusal("3"), Prefix("3") + kind);
    EXPECT_EQ(Refusal(""), Prefix("") + kind);
    EXPECT_EQ(Refusal("   "), Prefix("   ") + kind);
    EXPECT_EQ(Refusal(nullptr), Prefix("") + kind);
    // the type is tested first, even for a good address
    EXPECT_EQ(Refusal("I1", 5), Prefix("I1") + type);
    EXPECT_EQ(Refusal("X9", 5), Prefix("X9") + type);
    // the address stands in the message exactly as the host passed it
    EXPECT_EQ(Refusal("  i9 "), Prefix("  i9 ") + input);
}

// The name is asked for only to write a refusal: a registration that
// succeeds never waits for the host's database.
TEST_F(TagTable, OnlyARefusalAsksTheHostForTheTagsName) {
    DeliveredValue v{};
    EXPECT_EQ(Refusal("I3"), "");
    EXPECT_EQ(Refusal("o0"), "");
    ASSERT_TRUE(host.Read(kPump, &v));
    EXPECT_EQ(v.nameLookups, 0u);
    EXPECT_EQ(Refusal("I8"), Prefix("I8") + Cp949("사용되지 않는 입력 어드레스가 지정됨"));
    ASSERT_TRUE(host.Read(kPump, &v));
    EXPECT_EQ(v.nameLookups, 1u);
}

TEST_F(TagTable, AnUnnamedTagGivesAnEmptyNameInTheMessage) {
    CString message;
    EXPECT_FALSE(table.ParseAddress("Q1", kDigital, 0, 0x9999, &message));
    EXPECT_EQ(message.Str(), Cp949(" 태그 (Q1) : 알 수 없는 Address 종류"));
}

TEST_F(TagTable, IndexesGrowFromZeroAndTheSameAddressMayRegisterTwice) {
    CString m;
    EXPECT_EQ(table.Add(table.ParseAddress("I2", kDigital, 0, 1, &m)), 0);
    EXPECT_EQ(table.Add(table.ParseAddress("I2", kDigital, 0, 2, &m)), 1);
    EXPECT_EQ(table.GetCount(), 2);
    EXPECT_EQ(table.GetTag(1)->GetHostTag(), 2u);
    EXPECT_EQ(table.GetTag(2), nullptr);
    EXPECT_EQ(table.GetTag(-1), nullptr);
    EXPECT_EQ(table.Add(nullptr), -1);

    // the scan thread may hold a tag while the host registers more
    CBitTag* first = table.GetTag(0);
    for (int i = 0; i < 5000; ++i) table.Add(table.ParseAddress("O1", kDigital, 0, 100 + i, &m));
    EXPECT_EQ(table.GetTag(0), first);
    EXPECT_EQ(first->GetHostTag(), 1u);
    EXPECT_EQ(table.GetTag(5001)->GetHostTag(), 5099u);
}

TEST_F(TagTable, EveryStatusBytePushesEveryInputBitAndNoOutput) {
    CString m;
    const HostTagRef i3 = 0x30, i3again = 0x31, i0 = 0x32, o7 = 0x33;
    table.Add(table.ParseAddress("I3", kDigital, 0, i3, &m));
    table.Add(table.ParseAddress("i3", kDigital, 0, i3again, &m));
    table.Add(table.ParseAddress("I0", kDigital, 0, i0, &m));
    table.Add(table.ParseAddress("O7", kDigital, 0, o7, &m));

    DeliveredValue v{};
    table.UpdateInputs(0x08);
    ASSERT_TRUE(host.Read(i3, &v));
    EXPECT_EQ(v.value, 1.0);
    EXPECT_EQ(v.type, kValueTypeNumber);
    ASSERT_TRUE(host.Read(i0, &v));
    EXPECT_EQ(v.value, 0.0);
    table.UpdateInputs(0xF7);
    ASSERT_TRUE(host.Read(i3, &v));
    EXPECT_EQ(v.value, 0.0);
    table.UpdateInputs(0xF7);  // the same byte again pushes again
    ASSERT_TRUE(host.Read(i3, &v));
    EXPECT_EQ(v.updates, 3u);
    ASSERT_TRUE(host.Read(i3again, &v));
    EXPECT_EQ(v.updates, 3u);
    EXPECT_EQ(v.value, 0.0);
    ASSERT_TRUE(host.Read(i0, &v));
    EXPECT_EQ(v.value, 1.0);
    EXPECT_FALSE(host.Read(o7, &v) && v.updates > 0);  // outputs are never read back
}

TEST_F(TagTable, RegisteringWhileStatusBytesArriveIsSafe) {
    std::atomic<bool> done{false};
    std::thread scan([&] {
        while (!done) table.UpdateInputs(0x55);
    });
    CString m;
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(table.Add(table.ParseAddress(i % 2 ? "I1" : "O1", kDigital, 0, 0x100 + i, &m)),
                  i);
    }
    done = true;
    scan.join();
    table.UpdateInputs(0x02);
    DeliveredValue v{};
    ASSERT_TRUE(host.Read(0x100 + 1999, &v));
    EXPECT_EQ(v.value, 1.0);
}
