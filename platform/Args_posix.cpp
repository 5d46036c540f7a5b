#include "Args.h"

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string NativePath(const std::string& utf8) {
    return utf8;
}
