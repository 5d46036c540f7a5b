// A station's protocol engine: the eight-byte frames of the motor controller,
// the poll (status byte in, every input tag updated) and the control (one
// output bit out, with retries), and the queue of controls the host's writes
// put in for the scan thread to serve.
//
// QueueControl and IsWriteDone run on host threads; everything else on the
// channel's scan thread. The queue lock is held for single list operations
// only, never across serial I/O or logging.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "host/TagVal.h"

class CChannel;
class CStationData;
class CTagTable;

// One queued write: the tag it commands and the host's value (its own copy).
class CControlRequest {
public:
    CControlRequest(int tagIndex, const CTagVal& value) : m_nTagIndex(tagIndex), m_value(value) {}
    virtual ~CControlRequest() = default;
    int32_t m_nTagIndex;
    CTagVal m_value;
};

class CStationProtocol {
public:
    static const int kFrameSize = 8;

    CStationProtocol();
    virtual ~CStationProtocol();
    CStationProtocol(const CStationProtocol&) = delete;
    CStationProtocol& operator=(const CStationProtocol&) = delete;

    // Takes the station, its channel and its tag table; forgets the run of
    // failures but keeps the queued requests.
    void Bind(CStationData* station);

    void Poll();
    // 1 when a request was taken off the queue and its tag exists.
    int ServeControl();
    // 1 when a valid reply was read and handed to the tag table.
    int Receive();

    // 0 queued, -1 for no such tag or a tag that cannot be written.
    int QueueControl(int tagIndex, const CTagVal& value);
    // 0 while a request for the tag waits in the queue, else 1.
    int IsWriteDone(int tagIndex);
    int GetQueuedCount() const { return m_nQueued; }
    int GetFailCount() const { return m_nFailCount; }

    // STX, station and data as nibble characters, their XOR, ETX.
    static void BuildFrame(int stationNo, uint8_t data, char frame[kFrameSize]);

private:
    int Retries() const;
    // Sends a frame through the channel (and to its frame trace, when on).
    int SendFrame(const char frame[kFrameSize]);

    int32_t m_nFailCount = 0;
    CTagTable* m_pTagTable = nullptr;
    CStationData* m_pStation = nullptr;
    CChannel* m_pChannel = nullptr;
    std::mutex m_lock;
    std::deque<std::unique_ptr<CControlRequest>> m_requests;
    std::atomic<int32_t> m_nQueued{0};  // read without the lock to skip an empty queue
};
