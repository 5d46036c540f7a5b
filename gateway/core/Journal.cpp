#include "gateway/core/Journal.h"

#include <cstdio>
#include <mutex>

void Journal(JournalPriority priority, const std::string& line) {
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    // one line each, whatever the text holds
    std::string text = line;
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(stderr, "<%d>%s\n", static_cast<int>(priority), text.c_str());
    std::fflush(stderr);
}
