#include <windows.h>
// shellapi.h needs windows.h first
#include <shellapi.h>

#include "Args.h"

namespace {
std::string Narrow(const wchar_t* wide, UINT codePage) {
    int n = WideCharToMultiByte(codePage, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(codePage, 0, wide, -1, &out[0], n, nullptr, nullptr);
    return out;
}
}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(Narrow(wide[i], CP_UTF8));
    LocalFree(wide);
    return out;
}

std::string NativePath(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0) return utf8;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], n);
    return Narrow(wide.c_str(), CP_ACP);
}

namespace {
HANDLE StdHandleOf(std::FILE* stream) {
    return GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}
}  // namespace

bool IsTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return GetConsoleMode(StdHandleOf(stream), &mode) != 0;
}

void PrintText(std::FILE* stream, const std::string& utf8) {
    if (!IsTerminal(stream)) {
        std::fwrite(utf8.data(), 1, utf8.size(), stream);
        return;
    }
    // what the C library holds goes first, in order
    std::fflush(stream);
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    DWORD written = 0;
    WriteConsoleW(StdHandleOf(stream), wide.data(), static_cast<DWORD>(wide.size()), &written,
                  nullptr);
}

namespace {
std::atomic<bool> g_interrupted{false};
BOOL WINAPI OnConsoleSignal(DWORD) {
    g_interrupted = true;
    return TRUE;
}
}  // namespace

const std::atomic<bool>& CatchInterrupts() {
    SetConsoleCtrlHandler(&OnConsoleSignal, TRUE);
    return g_interrupted;
}
