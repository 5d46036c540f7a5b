#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/Encoding.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

ScratchDir::ScratchDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    m_dir = std::filesystem::temp_directory_path() /
            ("krandolix-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_dir);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_dir, ec);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string FromHex(const std::string& hex) {
    std::string out;
    std::istringstream in(hex);
    std::string byte;
    while (in >> byte) out += static_cast<char>(std::stoi(byte, nullptr, 16));
    return out;
}

std::string ToHex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

std::string Cp949(const char* utf8) {
    std::string out;
    if (!Utf8ToCp949(utf8, &out)) throw std::runtime_error("no CP949 form");
    return out;
}

std::string ProgramFolder() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    return p.substr(0, p.find_last_of("\\/") + 1);
#else
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/') + 1);
#endif
}

bool WaitUntil(const std::function<bool()>& condition, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

}  // namespace testsupport
