// The serial line's settings in one place: what a channel stores for its port
// (indices into fixed lists) and what each index stands for, and the ranges of
// the channel's and the stations' numbers. The serial backends, the station
// and channel checks, the settings dialogs, their resource script (through
// scripts/gen_rc.py, which reads the ranges below) and drvcfg all use these.
#pragma once

#include <cstdint>
#include <string>

class CConfigData;

// A line's settings as the channel stores them, all indices.
struct CLineSettings {
    int32_t m_nPort = 0;       // 0 = COM1
    int32_t m_nBaudRate = 6;   // index into kBaudRates (6 = 9600)
    int32_t m_nParity = 0;     // 0 none, 1 even, 2 odd
    int32_t m_nDataBits = 1;   // 0 = 7 bits, 1 = 8 bits
    int32_t m_nStopBits = 0;   // 0 = 1 stop bit, 1 = 2 stop bits
    int32_t m_nHandshake = 0;  // bit 0 RTS/CTS, bit 1 DTR/DSR; a channel uses none

    static CLineSettings Of(const CConfigData& config);
    // Whether a line can be opened with these at all: a port index of 0 or
    // more, a baud rate and a parity from their lists.
    bool IsValid() const;
};

namespace line {

// An inclusive range of a whole number. The resource script reads these
// lines by name: keep each as "constexpr LineRange kName{LOW, HIGH};".
struct LineRange {
    int32_t low;
    int32_t high;
    bool Holds(long long v) const { return v >= low && v <= high; }
};

// Ports COM1..COM36 (index 0..35).
constexpr int kPortCount = 36;
// Baud rates by stored index; the port page shows each as "%5d".
constexpr int kBaudRateCount = 9;
constexpr int32_t kBaudRates[kBaudRateCount] = {150,  300,  600,   1200, 2400,
                                                4800, 9600, 19200, 38400};
// Parity by stored index, as drvcfg names them (the port page: None, Even, Odd).
constexpr int kParityCount = 3;
constexpr const char* kParityNames[kParityCount] = {"none", "even", "odd"};
// Data bits and stop bits by stored index.
constexpr int kDataBitsCount = 2;
constexpr int32_t kDataBits[kDataBitsCount] = {7, 8};
constexpr int kStopBitsCount = 2;
constexpr int32_t kStopBits[kStopBitsCount] = {1, 2};

// The channel's timing values, as the station page's spin controls offer them.
constexpr LineRange kDelayMs{0, 2000};
constexpr LineRange kTimeoutSeconds{1, 999};
constexpr LineRange kRetries{0, 10};
// Station numbers a station may have (the frame carries two nibbles, and 255
// is left out). The station dialog's spin offers only 0-31, the numbers the
// controllers' address switches can be set to; a larger number is typed in and
// still accepted by the check, so the two differ on purpose.
constexpr LineRange kStationNumber{0, 254};
constexpr LineRange kStationNumberSpin{0, 31};
// A station's poll period in tenths of a second (0.1 s to 999.9 s).
constexpr LineRange kPollPeriodTenths{1, 9999};

// The baud rate of a stored index, or -1 for an index outside the list.
int32_t BaudOf(long long index);
// The stored index of a value in one of the lists above, or -1.
template <int N>
int IndexIn(const int32_t (&list)[N], long long value) {
    for (int i = 0; i < N; ++i)
        if (list[i] == value) return i;
    return -1;
}
inline int BaudIndexOf(long long baud) {
    return IndexIn(kBaudRates, baud);
}
// The port page's text of a baud rate index ("%5d"), "" outside the list.
std::string BaudText(int index);
// "COM<index+1>".
std::string PortName(long long index);

}  // namespace line
