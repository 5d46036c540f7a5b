// Helpers shared by the test executables: scratch folders, file bytes, hex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }
    const std::filesystem::path& Dir() const { return m_dir; }

private:
    std::filesystem::path m_dir;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
// "01 00 FF" -> bytes
std::string FromHex(const std::string& hex);
std::string ToHex(const std::string& bytes);

// Bytes as a UTF-8 string literal's CP949 form, for comparing texts.
std::string Cp949(const char* utf8);

// The folder of the running test program, where the built modules are.
std::string ProgramFolder();

// Polls condition every 10 ms until it holds or ms have passed; its last answer.
// (10 s by default: a busy machine, Wine among it, may take seconds where a
// quiet one takes milliseconds, and a wait that holds ends at once; no test
// waits to see that something does not happen.)
bool WaitUntil(const std::function<bool()>& condition, int ms = 10000);

}  // namespace testsupport
