// A host's side of one channel, apart from any screen: the tags it names in
// its tag database and registers (NAME=DEVICE:ADDRESS lines), the channel's
// start and stop, writes and their completion through slot 8, status
// questions, and the values and log lines the driver delivers. drvhost runs
// one for a person at a terminal; the gateway service runs one a channel.
//
// A session is used by one thread at a time (the driver's slots are a host's
// calling thread's: a program that runs one of them on another thread, as the
// gateway reopens a port, does not call the session meanwhile). HostEvents
// collects what the driver and the host's libraries report from their own
// threads for that thread to take.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "host/HostInterface.h"
#include "protocol/TagAddress.h"

class DriverTable;

struct HostTag {
    std::string name;     // UTF-8, as given
    std::string device;   // CP949
    std::string address;  // as given
    // the bit it names, read as the driver reads it; kind 0 when the driver
    // will refuse the address
    TagAddress place;
    int32_t handle = -1;  // the driver's tag handle, -1 when refused
    HostTagRef ref = 0;   // the host's reference to it
    bool hasValue = false;
    double value = 0;
    std::chrono::steady_clock::time_point changed;
    bool writePending = false;  // a write was taken and slot 8 has not said done
};

// "NAME=DEVICE:ADDRESS" (the address after the last ':'); false when the line
// is not one, or the device name has no CP949 form.
bool ParseTagLine(const std::string& line, HostTag* tag);
// The tag lines of a file: '#' starts a comment, blank lines are skipped.
// False when the file cannot be read.
bool ReadTagFile(const std::string& path, std::vector<std::string>* lines);

// What the driver and the host's libraries report, from any thread.
struct HostEvent {
    enum Kind { value, log, error } kind;
    HostTagRef tag;
    double number;
    int code;          // log: the kind (kLogFault, kLogProgress); error: its code
    std::string text;  // UTF-8
    uint64_t thread;   // the system's number of the thread that reported it
    int caller;        // what that thread had set with SetCaller, else -1
};

class HostEvents {
public:
    // Asks the tag database, the message log and the support library to report
    // here. Call once, after the driver is loaded (its libraries are then too).
    static void Install();
    // Everything reported since the last call, oldest first.
    static std::deque<HostEvent> Take();
    // What `mine` picks of it, oldest first; the rest stays for Take.
    static std::deque<HostEvent> TakeIf(const std::function<bool(const HostEvent&)>& mine);
    // Called (on the reporting thread) when a report finds nothing waiting,
    // to wake the thread that takes them; null for none. Once SetWake has
    // returned, the wake it replaced is called no more.
    static void SetWake(void (*wake)(void* context), void* context);
    // Marks what the calling thread reports from now on (a host's own
    // threads, say which channel they call for); -1 for nothing.
    static void SetCaller(int caller);
};

// Marks what the calling thread reports while it lives (CallerScope(n)), and
// nothing again after.
class CallerScope {
public:
    explicit CallerScope(int caller) { HostEvents::SetCaller(caller); }
    ~CallerScope() { HostEvents::SetCaller(-1); }
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;
};

class CHostSession {
public:
    // The channel of a driver configuration file with these tags; the host's
    // tag references are refBase, refBase + 1, ... in the order given.
    CHostSession(DriverTable& driver, std::string configPath, std::vector<HostTag> tags,
                 HostTagRef refBase);

    // Slot 1: the channel's handle, -1 when the file does not load.
    int32_t Open();
    // Names every tag in the host's tag database, then registers it (slot 6).
    void RegisterTags();
    // Slot 3 (0 when the port opened, else -1), then slot 4.
    int32_t Start();
    void Stop();
    // Slot 13: a station by its CP949 name, or the channel for null.
    void SetActive(const char* station, int value);
    // Slot 14: a station's counters, or every station's for null.
    void ResetCounters(const char* station);
    // Slot 15: -1, 0 or 1 with the four counters.
    int32_t Status(const char* station, int32_t counters[4]);

    // Slot 7 with a number: 0 taken (the tag is then pending), -1 refused or
    // no such tag.
    int32_t Write(HostTag* tag, double value);
    // The pending tags slot 8 now says are done; they are pending no more.
    std::vector<HostTag*> TakeDoneWrites();

    // Takes a value event for one of this session's tags: that tag, or null
    // when the event is not for one of them; *changed says whether the tag had
    // no value or another one before.
    HostTag* Apply(const HostEvent& event, bool* changed = nullptr);

    HostTag* FindTag(const std::string& name);
    std::vector<HostTag>& Tags() { return m_tags; }
    int32_t Handle() const { return m_handle; }
    const std::string& ConfigPath() const { return m_config; }

private:
    DriverTable& m_driver;
    std::string m_config;
    std::vector<HostTag> m_tags;
    HostTagRef m_refBase;
    int32_t m_handle = -1;
};
