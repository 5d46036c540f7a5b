#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "host/HostInterface.h"
#include "host/TagVal.h"
#include "host/ZeravError.h"
#include "host/ZeravHeader.h"
#include "platform/Archive.h"
#include "platform/CString.h"
#include "platform/File.h"

using testsupport::Cp949;

namespace {

struct Shown {
    int code;
    std::string text;
    std::vector<std::string> inserts;
};
std::vector<Shown> g_shown;

void Record(int code, const char* text, int count, const char* const* inserts) {
    Shown s{code, text, {}};
    for (int i = 0; i < count; ++i) s.inserts.emplace_back(inserts[i]);
    g_shown.push_back(s);
}

int DriverStrings(int id, CString* text) {
    if (id != 2711) return 0;
    *text = Cp949("스테이션 이름이 지정되지 않았습니다.").c_str();
    return 1;
}

class ErrorMessages : public ::testing::Test {
protected:
    void SetUp() override {
        g_shown.clear();
        CZeravError::SetHandler(&Record);
    }
    void TearDown() override { CZeravError::SetHandler(nullptr); }
};

}  // namespace

TEST(TagVal, CarriesTypeAndNumberAndCopies) {
    CTagVal v;
    EXPECT_EQ(v.GetType(), CTagVal::typeEmpty);
    v.SetVal(1.0);
    EXPECT_EQ(v.GetType(), kValueTypeNumber);
    CTagVal copy;
    copy = v;
    EXPECT_EQ(copy.GetType(), kValueTypeNumber);
    EXPECT_DOUBLE_EQ(copy.GetVal(), 1.0);
    CTagVal text(CTagVal::typeText, 0.0);
    EXPECT_NE(text.GetType(), kValueTypeNumber);
}

TEST_F(ErrorMessages, OwnCodesFillTheirInserts) {
    CZeravError::ErrMsg(2000, 1, "ZeravDbm.DLL");
    ASSERT_EQ(g_shown.size(), 1u);
    EXPECT_EQ(g_shown[0].code, 2000);
    EXPECT_EQ(g_shown[0].text, Cp949("ZeravDbm.DLL 파일을 찾을 수 없습니다."));
    EXPECT_EQ(g_shown[0].inserts, std::vector<std::string>{"ZeravDbm.DLL"});
}

TEST_F(ErrorMessages, RecordedInsertsServeTheNextMessageOnce) {
    CZeravError::SetErrorString(1, "/plant/a.cfg");
    CZeravError::ErrMsg(2000, 0);
    CZeravError::ErrMsg(2000, 0);
    ASSERT_EQ(g_shown.size(), 2u);
    EXPECT_EQ(g_shown[0].text, Cp949("/plant/a.cfg 파일을 찾을 수 없습니다."));
    EXPECT_TRUE(g_shown[1].inserts.empty());
}

TEST_F(ErrorMessages, DriverStringsResolveOnlyWhileRegistered) {
    CZeravError::AddStringSource(&DriverStrings);
    CZeravError::ErrMsg(2711, 0);
    CZeravError::RemoveStringSource(&DriverStrings);
    CZeravError::ErrMsg(2711, 0);
    ASSERT_EQ(g_shown.size(), 2u);
    EXPECT_EQ(g_shown[0].text, Cp949("스테이션 이름이 지정되지 않았습니다."));
    EXPECT_EQ(g_shown[1].text, Cp949("알 수 없는 오류입니다. (코드 2711)"));
}

TEST(ZeravHeader, WritesItsDocumentedBytes) {
    CZeravHeader header(3);
    header.SetDesc("Krandolix.Dll");
    header.m_wFlags = 1;
    CMemFile mem;
    CArchive ar(&mem, CArchive::store);
    header.Serialize(ar);
    ar.Close();
    EXPECT_EQ(testsupport::ToHex(mem.Bytes()),
              "5A 52 56 48 01 00 03 00 00 00 01 00 0D 4B 72 61 6E 64 6F 6C 69 78 2E 44 6C 6C");
}

TEST(ZeravHeader, OpenCompareTellsOurFilesFromOthers) {
    testsupport::ScratchDir dir;
    CZeravHeader ours(3);
    ours.SetDesc("Krandolix.Dll");
    CZeravHeader other(3);
    other.SetDesc("Other.Dll");
    auto write = [&](const std::string& name, CZeravHeader& h, const std::string& tail) {
        CMemFile mem;
        CArchive ar(&mem, CArchive::store);
        h.Serialize(ar);
        ar.Close();
        testsupport::WriteBytes(dir.Path(name), mem.Bytes() + tail);
        return dir.Path(name);
    };
    EXPECT_EQ(ours.OpenCompare(write("ours.cfg", ours, "rest").c_str()), 0);
    EXPECT_EQ(ours.OpenCompare(write("other.cfg", other, "").c_str()),
              CZeravHeader::errOtherDriver);
    testsupport::WriteBytes(dir.Path("text.cfg"), "hello, this is no configuration");
    EXPECT_EQ(ours.OpenCompare(dir.Path("text.cfg").c_str()), CZeravHeader::errNotConfigFile);
    testsupport::WriteBytes(dir.Path("empty.cfg"), "");
    EXPECT_EQ(ours.OpenCompare(dir.Path("empty.cfg").c_str()), CZeravHeader::errNotConfigFile);
    testsupport::WriteBytes(dir.Path("newer.cfg"), testsupport::FromHex("5A 52 56 48 02 00"));
    EXPECT_EQ(ours.OpenCompare(dir.Path("newer.cfg").c_str()), CZeravHeader::errNewerFormat);
    // what cannot be opened at all is the loader's to report
    EXPECT_EQ(ours.OpenCompare(dir.Path("missing.cfg").c_str()), 0);
    EXPECT_EQ(ours.OpenCompare(dir.Dir().string().c_str()), 0);
}
