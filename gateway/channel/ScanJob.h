// A scan of a channel's line for the page, on a thread of its own while the
// channel is stopped: what it finds is told as it goes (TakeEvents, for the
// event stream) and in full at its end (Answer, as drvscan --json prints it).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LineScan.h"

class ScanJob : private ScanObserver {
public:
    // allRates: the answer lists the rates as drvscan --baud all does.
    ScanJob(std::string channel, ScanPlan plan, bool allRates);
    ~ScanJob() override;  // cancels and waits
    ScanJob(const ScanJob&) = delete;
    ScanJob& operator=(const ScanJob&) = delete;

    void Cancel() { m_stop = true; }
    bool Cancelled() const { return m_stop; }
    bool Ended() const { return m_ended; }
    // The "scan" events since the last call (JSON texts): of the numbers
    // polled only the latest, every station found and every garbled one.
    std::vector<std::string> TakeEvents();
    // Once ended: the HTTP status and body of the answer, and a line for the journal.
    std::pair<int, std::string> Answer() const;
    std::string Summary() const;

private:
    void Run();
    void Polling(int baudIndex, int number, int done, int total) override;
    void Answered(int baudIndex, const ScanAnswer& answer) override;
    void Garbled(int baudIndex, const ScanGarbled& garbled) override;
    void Tell(std::string json, bool progress);

    std::string m_channel;
    ScanPlan m_plan;
    bool m_allRates;
    std::atomic<bool> m_stop{false}, m_ended{false};
    ScanEnd m_end = ScanEnd::done;
    std::vector<ScanRateResult> m_results;  // the thread's until m_ended
    std::mutex m_lock;                      // the events
    std::vector<std::string> m_events;
    std::string m_progress;  // the latest number polled, not yet taken
    std::thread m_thread;
};
