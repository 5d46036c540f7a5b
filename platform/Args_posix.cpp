#include "Args.h"

#include <signal.h>
#include <unistd.h>

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string NativePath(const std::string& utf8) {
    return utf8;
}

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

void PrintText(std::FILE* stream, const std::string& utf8) {
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}

namespace {
std::atomic<bool> g_interrupted{false};
void OnInterrupt(int) {
    g_interrupted = true;
}
}  // namespace

const std::atomic<bool>& CatchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = &OnInterrupt;  // no SA_RESTART
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return g_interrupted;
}
