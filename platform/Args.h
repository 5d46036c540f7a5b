// A program's command line as UTF-8, whatever the platform hands over
// (Windows gives main() its arguments in the ANSI code page), and file paths
// back in the form the platform's file calls take.
#pragma once

#include <string>
#include <vector>

std::vector<std::string> Utf8Arguments(int argc, char** argv);
// A UTF-8 path as the ...A file calls take it: the ANSI code page on Windows,
// unchanged on Linux.
std::string NativePath(const std::string& utf8);
