// The frame trace of a channel: when the environment variable KRANDOLIX_TRACE
// names a folder as the channel starts, every frame the scan sends and every
// byte it reads goes to <folder>/<configuration file's title>.trace, one line
// an event, in UTF-8:
//
//   2026-12-08 15:50:01.123 TX 02 30 31 30 30 30 33 03  poll 1
//   2026-12-08 15:50:01.125 RX 02 30 31 30 31 30 32 03  reply 1 status 0x01 [00000001] good 2 ms
//   2026-12-08 15:50:01.430 -- time-out after 300 ms waiting for station 2
//
// Directions: TX sent, RX received, -- an event without bytes of its own
// (time-out, read error, purge). Verdicts of received bytes: good, check error
// (expected and received check characters), another station (the frame names
// another station), no ETX, broken off (a new STX inside a frame), skipped
// (bytes outside a frame), incomplete (the wait ended inside a frame).
//
// The file is appended to; past the cap it is renamed to <title>.trace.1 (the
// one before is dropped) and begun again. Only the scan thread writes to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class CFrameTrace {
public:
    static const uint64_t kDefaultCap = 10u * 1024u * 1024u;

    // The file for a configuration file (its title: name without folder and
    // extension) in a folder; nothing opened yet.
    CFrameTrace(const std::string& folder, const std::string& configTitle,
                uint64_t cap = kDefaultCap);
    ~CFrameTrace();
    CFrameTrace(const CFrameTrace&) = delete;
    CFrameTrace& operator=(const CFrameTrace&) = delete;

    // Opens the file for appending; false when it cannot be written.
    bool Open();
    const std::string& Path() const { return m_path; }

    // A frame about to be written; purged: bytes received and never read,
    // which the purge before the write drops.
    void Sent(const char* frame, int count, int purged);
    // The engine starts waiting for station's reply.
    void BeginReply(int station);
    // A byte read while the decoder was in stateBefore, and the decoder's
    // verdict on it (CReplyDecoder::Result); status: the status byte when
    // the verdict is complete.
    void Received(uint8_t byte, int stateBefore, int verdict, uint8_t status);
    // The wait ended without a reply: by the time-out, or a failed read
    // (readStatus as CSerialLine reports it).
    void TimedOut(uint32_t elapsedMs);
    void ReadFailed(int readStatus, uint32_t elapsedMs);

private:
    void Line(const char* direction, const std::string& bytes, const std::string& text);
    void FlushSkipped();
    void FlushFrame(const std::string& text);
    // The line of a frame the decoder dropped, with what was wrong with it.
    void FlushDropped();
    // The wait for a reply ended: what is left is written.
    void EndWait();
    std::string Elapsed() const;

    std::string m_path;
    uint64_t m_cap;
    uint64_t m_size = 0;
    std::FILE* m_file = nullptr;

    int m_station = 0;
    uint32_t m_start = 0;
    std::string m_skipped;  // bytes outside a frame, not yet written
    std::string m_frame;    // bytes of the frame being read
    // A frame the decoder dropped: its line waits for the rest of its bytes
    // (up to eight, or ETX) so that it shows whole.
    enum Drop { notDropped, badCheck, otherStation } m_drop = notDropped;
};

// The trace a channel starting now should write, or null: KRANDOLIX_TRACE
// unset or empty. *error is set (and null returned) when the folder cannot be
// written.
std::unique_ptr<CFrameTrace> OpenFrameTrace(const std::string& configTitle, std::string* error);
