// The scan of a line: every station number in a range polled once with the
// driver's own poll frame, at one rate or at each of several, the replies read
// with the driver's own decoder. drvscan prints it; the gateway runs it for
// its page while the line's channel is stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "config/LineSettings.h"

struct ScanAnswer {
    int number;
    uint8_t status;
    double replyMs;
};

struct ScanGarbled {
    int number;
    const char* reason;  // "check" (check character) or "station" (another number)
};

struct ScanRateResult {
    int baudIndex;
    std::vector<ScanAnswer> answers;
    std::vector<ScanGarbled> garbled;
};

// How long a scan waits for each station number unless told otherwise
// (drvscan, the gateway's scan and its page).
constexpr int kScanTimeoutMs = 300;

struct ScanPlan {
    CLineSettings line;      // the port and its settings (the rate of each pass below)
    std::vector<int> rates;  // baud indices, in order
    int from = line::kStationNumber.low;
    int to = line::kStationNumber.high;
    int timeoutMs = kScanTimeoutMs;  // for each station number
    int Numbers() const { return to - from + 1; }
};

// What a scan tells while it runs (on the scanning thread).
class ScanObserver {
public:
    virtual ~ScanObserver() = default;
    // A number is being polled: done of total polls (over every rate) are behind.
    virtual void Polling(int /*baudIndex*/, int /*number*/, int /*done*/, int /*total*/) {}
    virtual void Answered(int /*baudIndex*/, const ScanAnswer&) {}
    virtual void Garbled(int /*baudIndex*/, const ScanGarbled&) {}
};

enum class ScanEnd {
    done,         // every rate and number
    interrupted,  // stop was set: the results hold what was found so far
    cannotOpen,   // the port is missing or in use
    lineFailed,   // the line failed during the scan
};

// Runs the plan until it ends or *stop turns true. *results gets a result per
// rate begun (at least one, possibly empty).
ScanEnd ScanLine(const ScanPlan& plan, const std::atomic<bool>& stop, ScanObserver& observer,
                 std::vector<ScanRateResult>* results);

// The JSON drvscan --json prints: for one rate {"port", "baud", "stations",
// "garbled"}; for several (allRates) {"port", "rates": [{"baud", "answered",
// "garbled"}]}. Without a line end.
std::string ScanJson(const std::string& port, bool allRates,
                     const std::vector<ScanRateResult>& results);
