#include "StationRules.h"

#include <cstdlib>

#include "StationData.h"
#include "driver_texts.h"

using namespace txt;

namespace {
int InRange(long long v, long long low, long long high, int id) {
    return (v < low || v > high) ? id : 0;
}
}  // namespace

bool ParsePeriodSeconds(const char* text, double* seconds) {
    const char* start = text ? text : "";
    char* end = nullptr;
    *seconds = std::strtod(start, &end);
    return *end == '\0';
}

int SecondsToMs(double seconds) {
    // A decimal like 32.3 has no exact double: 32.3 * 1000.0 is 32299.999...,
    // and cutting it would store 32299 ms for a typed 32.3 s. The nudge is far
    // below a millisecond and far above the product's rounding error, so every
    // typed value keeps its own milliseconds and longer fractions are still cut.
    return static_cast<int>(seconds * 1000.0 + 1e-7);
}

int CheckStationEntry(const StationEntry& entry, const CStationData* self,
                      const CStationData* sameName, const CStationData* sameNumber, int* periodMs,
                      StationField* field) {
    *field = StationField::name;
    if (!entry.name || !*entry.name) return IDS_NO_NAME;
    if (sameName && sameName != self) return IDS_DUP_NAME;
    *field = StationField::number;
    if (sameNumber && sameNumber != self) return IDS_DUP_NUMBER;
    if (entry.number < 0 || entry.number > 254) return IDS_NUMBER_RANGE;
    *field = StationField::period;
    double seconds = 0;
    // written so that a NaN fails too
    if (!ParsePeriodSeconds(entry.periodText, &seconds) || seconds < 0.1 || !(seconds <= 999.9)) {
        return IDS_PERIOD_RANGE;
    }
    *periodMs = SecondsToMs(seconds);
    return 0;
}

int CheckDelay(long long ms) {
    return InRange(ms, 0, 2000, IDS_DELAY_RANGE);
}
int CheckTimeoutSeconds(long long s) {
    return InRange(s, 1, 999, IDS_TIMEOUT_RANGE);
}
int CheckRetries(long long n) {
    return InRange(n, 0, 10, IDS_RETRIES_RANGE);
}
int CheckPort(long long i) {
    return InRange(i, 0, kPortCount - 1, IDS_PORT_RANGE);
}
int CheckBaudRate(long long i) {
    return InRange(i, 0, kBaudRateCount - 1, IDS_BAUD_RANGE);
}
int CheckParity(long long i) {
    return InRange(i, 0, 2, IDS_PARITY_RANGE);
}
int CheckDataBits(long long i) {
    return InRange(i, 0, 1, IDS_DATABITS_RANGE);
}
int CheckStopBits(long long i) {
    return InRange(i, 0, 1, IDS_STOPBITS_RANGE);
}
