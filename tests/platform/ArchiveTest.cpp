#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Archive.h"
#include "platform/File.h"

using testsupport::FromHex;
using testsupport::ToHex;

namespace {

std::string Stored(void (*write)(CArchive&)) {
    CMemFile mem;
    CArchive ar(&mem, CArchive::store);
    write(ar);
    ar.Close();
    return mem.Bytes();
}

int LoadFailure(const std::string& bytes, void (*read)(CArchive&)) {
    CMemFile mem(bytes);
    CArchive ar(&mem, CArchive::load);
    try {
        read(ar);
    } catch (const CArchiveException& e) {
        return e.m_cause;
    }
    return 0;
}

}  // namespace

TEST(Archive, StringPrefixesGrowWithTheLength) {
    struct Case {
        size_t length;
        std::string prefix;
    };
    for (const Case& c :
         {Case{0, "00"}, Case{254, "FE"}, Case{255, "FF FF 00"}, Case{300, "FF 2C 01"},
          Case{65533, "FF FD FF"}, Case{65534, "FF FF FF FE FF 00 00"},
          Case{70000, "FF FF FF 70 11 01 00"}}) {
        std::string text(c.length, 'x');
        CMemFile mem;
        CArchive ar(&mem, CArchive::store);
        ar.WriteString(text);
        ar.Close();
        const std::string& bytes = mem.Bytes();
        std::string prefix = bytes.substr(0, bytes.size() - c.length);
        EXPECT_EQ(ToHex(prefix), c.prefix) << c.length;

        CMemFile back(bytes);
        CArchive in(&back, CArchive::load);
        EXPECT_EQ(in.ReadString(), text);
        EXPECT_EQ(in.Remaining(), 0u);
    }
}

TEST(Archive, CountsUseTheLongFormFrom0xFFFF) {
    EXPECT_EQ(ToHex(Stored([](CArchive& ar) { ar.WriteCount(0xFFFE); })), "FE FF");
    EXPECT_EQ(ToHex(Stored([](CArchive& ar) { ar.WriteCount(0xFFFF); })), "FF FF FF FF 00 00");
    CMemFile mem(FromHex("FF FF 00 00 01 00 05 00"));
    CArchive ar(&mem, CArchive::load);
    EXPECT_EQ(ar.ReadCount(), 0x10000u);
    EXPECT_EQ(ar.ReadCount(), 5u);
}

TEST(Archive, NumbersAreLittleEndian) {
    EXPECT_EQ(ToHex(Stored([](CArchive& ar) {
                  ar.WriteInt(-2);
                  ar.WriteWord(0x1234);
                  ar.WriteDWord(5000);
              })),
              "FE FF FF FF 34 12 88 13 00 00");
}

TEST(Archive, LengthsTheFileCannotHoldEndTheReadWithoutAllocating) {
    // a 4 GB string announced in a few bytes
    EXPECT_EQ(
        LoadFailure(FromHex("FF FF FF FF FF FF FF 41"), [](CArchive& ar) { ar.ReadString(); }),
        CArchiveException::endOfFile);
    EXPECT_EQ(LoadFailure(FromHex("05 41 42"), [](CArchive& ar) { ar.ReadString(); }),
              CArchiveException::endOfFile);
    EXPECT_EQ(LoadFailure(FromHex("01"), [](CArchive& ar) { ar.ReadInt(); }),
              CArchiveException::endOfFile);
    // the wide-character marker is not ours
    EXPECT_NE(LoadFailure(FromHex("FF FE FF 01 41 00"), [](CArchive& ar) { ar.ReadString(); }), 0);
}

TEST(Archive, ReadsAcrossTheBufferBoundary) {
    std::string big(CArchive::kBufferSize * 3 + 17, 'q');
    std::string bytes = Stored([](CArchive& ar) {
        ar.WriteInt(7);
        ar.WriteString(std::string(CArchive::kBufferSize * 3 + 17, 'q'));
        ar.WriteInt(9);
    });
    CMemFile mem(bytes);
    CArchive ar(&mem, CArchive::load);
    EXPECT_EQ(ar.ReadInt(), 7);
    EXPECT_EQ(ar.ReadString(), big);
    EXPECT_EQ(ar.ReadInt(), 9);
}
