// A program's command line as UTF-8, whatever the platform hands over
// (Windows gives main() its arguments in the ANSI code page), file paths
// back in the form the platform's file calls take, and text for a person on
// standard output and error.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

std::vector<std::string> Utf8Arguments(int argc, char** argv);
// A UTF-8 path as the ...A file calls take it: the ANSI code page on Windows,
// unchanged on Linux.
std::string NativePath(const std::string& utf8);

// Writes UTF-8 text for a person to stdout or stderr. A Windows console gets
// it as UTF-16 (WriteConsoleW), so Korean shows whatever the console's code
// page; a file, a pipe or any Linux terminal gets the UTF-8 bytes.
void PrintText(std::FILE* stream, const std::string& utf8);
// Whether stdout or stderr is a terminal (a console on Windows).
bool IsTerminal(std::FILE* stream);

// From now on Ctrl-C (and SIGTERM on Linux) sets the flag returned instead of
// ending the program; a wait for a line or a terminal ends at once (no restart).
const std::atomic<bool>& CatchInterrupts();
