// Saving replaces the file only when the new contents are complete.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "config/ConfigData.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

using testsupport::ReadBytes;
using testsupport::WriteBytes;

namespace {

size_t FilesIn(const std::filesystem::path& dir) {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        ++n;
    }
    return n;
}

int SaveWithStation(const std::string& path, const char* name) {
    CConfigData config;
    auto* s = new CStationData;
    s->SetName(name);
    config.AddStation(s);
    return config.Save(path.c_str());
}

}  // namespace

TEST(Save, ReplacesAnExistingFileWhole) {
    testsupport::ScratchDir dir;
    std::string path = dir.Path("line.cfg");
    ASSERT_EQ(SaveWithStation(path, "OLD"), 0);
    ASSERT_EQ(SaveWithStation(path, "NEW"), 0);
    CConfigData loaded;
    ASSERT_EQ(loaded.Load(path.c_str()), 0);
    EXPECT_STREQ(loaded.GetStationAt(0)->GetName(), "NEW");
    EXPECT_EQ(FilesIn(dir.Dir()), 1u);  // no temporary file left behind
}

TEST(Save, WhatCannotBeWrittenGives2001AndLeavesTheOldFile) {
    testsupport::ScratchDir dir;
    // a folder where the file should be
    EXPECT_EQ(SaveWithStation(dir.Dir().string(), "X"), CConfigData::errCannotWrite);
    // a path through a file
    WriteBytes(dir.Path("plain"), "x");
    EXPECT_EQ(SaveWithStation(dir.Path("plain") + "/line.cfg", "X"), CConfigData::errCannotWrite);

    // a read-only file
    std::string path = dir.Path("locked.cfg");
    ASSERT_EQ(SaveWithStation(path, "KEEP"), 0);
    std::string before = ReadBytes(path);
#if defined(_WIN32)
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
#else
    chmod(path.c_str(), 0444);
#endif
    EXPECT_EQ(SaveWithStation(path, "LOST"), CConfigData::errCannotWrite);
    EXPECT_EQ(ReadBytes(path), before);
#if defined(_WIN32)
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // a file someone holds open without sharing
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SaveWithStation(path, "LOST"), CConfigData::errCannotWrite);
    CloseHandle(held);
    EXPECT_EQ(ReadBytes(path), before);
#endif
    EXPECT_EQ(FilesIn(dir.Dir()), 2u);
}

#if !defined(_WIN32)
TEST(Save, ThroughASymbolicLinkTheTargetIsReplacedAndKeepsItsMode) {
    testsupport::ScratchDir dir;
    std::filesystem::create_directory(dir.Dir() / "real");
    std::string target = dir.Path("real/line.cfg");
    ASSERT_EQ(SaveWithStation(target, "OLD"), 0);
    chmod(target.c_str(), 0640);
    std::filesystem::create_symlink(target, dir.Dir() / "link.cfg");

    ASSERT_EQ(SaveWithStation(dir.Path("link.cfg"), "NEW"), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Dir() / "link.cfg"));
    CConfigData loaded;
    ASSERT_EQ(loaded.Load(target.c_str()), 0);
    EXPECT_STREQ(loaded.GetStationAt(0)->GetName(), "NEW");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(FilesIn(dir.Dir() / "real"), 1u);
}
#endif
