// The checks a station's and a channel's settings must pass before they are
// stored, shared by the settings dialogs and the command-line tool. Each
// returns 0 when the value passes, else the string id of its message.
#pragma once

class CStationData;

enum class StationField { name, number, period };

struct StationEntry {
    const char* name;
    int number;
    const char* periodText;  // seconds, as typed
};

// Runs the station checks in their order: empty name, a name another station
// has (sameName: the first station of that name, letter case of ASCII letters
// ignored), a number another station has (sameNumber), a number outside
// 0-254, a period that is not a number from 0.1 to 999.9 seconds. self is the
// station being edited (null for a new one): it never collides with itself.
// On success *periodMs holds the period in whole milliseconds.
int CheckStationEntry(const StationEntry& entry, const CStationData* self,
                      const CStationData* sameName, const CStationData* sameNumber, int* periodMs,
                      StationField* field);

// Reads seconds as strtod does; false when the text is not entirely a number.
bool ParsePeriodSeconds(const char* text, double* seconds);
// Seconds to whole milliseconds, cut toward zero: the value of the decimal
// text as typed, not of its nearest double (32.3 s is 32300 ms).
int SecondsToMs(double seconds);

// Channel settings, each against the range or list the settings pages offer.
int CheckDelay(long long ms);
int CheckTimeoutSeconds(long long seconds);
int CheckRetries(long long count);
int CheckPort(long long index);
int CheckBaudRate(long long index);
int CheckParity(long long index);
int CheckDataBits(long long index);
int CheckStopBits(long long index);
