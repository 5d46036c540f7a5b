#include "StationRules.h"

#include <cstdlib>

#include "LineSettings.h"
#include "StationData.h"
#include "driver_texts.h"

using namespace txt;

namespace {
int InRange(long long v, const line::LineRange& range, int id) {
    return range.Holds(v) ? 0 : id;
}
int InList(long long index, int count, int id) {
    return index >= 0 && index < count ? 0 : id;
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
    if (!line::kStationNumber.Holds(entry.number)) return IDS_NUMBER_RANGE;
    *field = StationField::period;
    double seconds = 0;
    // written so that a NaN fails too
    const double low = line::kPollPeriodTenths.low / 10.0,
                 high = line::kPollPeriodTenths.high / 10.0;
    if (!ParsePeriodSeconds(entry.periodText, &seconds) || seconds < low || !(seconds <= high)) {
        return IDS_PERIOD_RANGE;
    }
    *periodMs = SecondsToMs(seconds);
    return 0;
}

int CheckDelay(long long ms) {
    return InRange(ms, line::kDelayMs, IDS_DELAY_RANGE);
}
int CheckTimeoutSeconds(long long s) {
    return InRange(s, line::kTimeoutSeconds, IDS_TIMEOUT_RANGE);
}
int CheckRetries(long long n) {
    return InRange(n, line::kRetries, IDS_RETRIES_RANGE);
}
int CheckPort(long long i) {
    return InList(i, line::kPortCount, IDS_PORT_RANGE);
}
int CheckBaudRate(long long i) {
    return InList(i, line::kBaudRateCount, IDS_BAUD_RANGE);
}
int CheckParity(long long i) {
    return InList(i, line::kParityCount, IDS_PARITY_RANGE);
}
int CheckDataBits(long long i) {
    return InList(i, line::kDataBitsCount, IDS_DATABITS_RANGE);
}
int CheckStopBits(long long i) {
    return InList(i, line::kStopBitsCount, IDS_STOPBITS_RANGE);
}
