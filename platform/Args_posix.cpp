#include "Args.h"

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
