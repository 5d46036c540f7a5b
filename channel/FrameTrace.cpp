#include "FrameTrace.h"

#include <cstdio>

#include "channel/SerialLine.h"
#include "platform/Tick.h"
#include "protocol/FrameText.h"
#include "protocol/ReplyDecoder.h"

namespace {

const uint8_t kStx = CReplyDecoder::kStx;
const uint8_t kEtx = CReplyDecoder::kEtx;
const size_t kFrameSize = 8;

// Two nibble characters as the byte they carry (their low nibbles).
int Pair(const std::string& f, size_t at) {
    return ((static_cast<uint8_t>(f[at]) - 0x30) & 0x0F) << 4 |
           ((static_cast<uint8_t>(f[at + 1]) - 0x30) & 0x0F);
}

std::string Format(const char* format, int a, int b = 0, int c = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

CFrameTrace::CFrameTrace(const std::string& folder, const std::string& configTitle, uint64_t cap)
    : m_cap(cap) {
    m_path = folder;
    // a folder named the Windows way (C:\Trace) gets its file the same way
    const char separator = m_path.find('\\') != std::string::npos ? '\\' : '/';
    if (!m_path.empty() && m_path.back() != '/' && m_path.back() != '\\') m_path += separator;
    m_path += configTitle + ".trace";
}

CFrameTrace::~CFrameTrace() {
    if (m_file) std::fclose(m_file);
}

bool CFrameTrace::Open() {
    if (m_file) std::fclose(m_file);
    m_file = std::fopen(m_path.c_str(), "ab");
    if (!m_file) return false;
    std::fseek(m_file, 0, SEEK_END);
    long size = std::ftell(m_file);
    m_size = size > 0 ? static_cast<uint64_t>(size) : 0;
    return true;
}

void CFrameTrace::Line(const char* direction, const std::string& bytes, const std::string& text) {
    if (!m_file) return;
    std::string line = LocalTimeStamp() + " " + direction + " ";
    if (!bytes.empty()) line += HexBytes(bytes) + "  ";
    line += text + "\n";
    if (m_size > 0 && m_size + line.size() > m_cap) {
        // the full file becomes .1 (the one before it goes) and a new one begins
        std::fclose(m_file);
        const std::string older = m_path + ".1";
        std::remove(older.c_str());
        std::rename(m_path.c_str(), older.c_str());
        m_file = std::fopen(m_path.c_str(), "ab");
        m_size = 0;
        if (!m_file) return;
    }
    // flushed line by line: a trace is read while it grows, and must survive a crash
    if (std::fwrite(line.data(), 1, line.size(), m_file) == line.size()) m_size += line.size();
    std::fflush(m_file);
}

std::string CFrameTrace::Elapsed() const {
    return Format("%d ms", static_cast<int>(GetTickMs() - m_start));
}

void CFrameTrace::Sent(const char* frame, int count, int purged) {
    if (purged > 0) Line("--", "", Format("purge: %d bytes received and never read dropped", purged));
    std::string bytes(frame, static_cast<size_t>(count));
    std::string what;
    if (bytes.size() == kFrameSize) {
        const int station = Pair(bytes, 1), data = Pair(bytes, 3);
        if (data == 0) {
            what = Format("poll %d", station);
        } else if ((data & (data - 1)) == 0) {
            int bit = 0;
            while (!((data >> bit) & 1)) ++bit;
            what = Format("control %d output bit %d", station, bit);
        } else {
            what = Format("control %d data 0x%02X", station, data);
        }
    }
    Line("TX", bytes, what);
}

void CFrameTrace::BeginReply(int station) {
    m_station = station;
    m_start = GetTickMs();
    m_skipped.clear();
    m_frame.clear();
    m_drop = notDropped;
}

void CFrameTrace::FlushSkipped() {
    if (m_skipped.empty()) return;
    Line("RX", m_skipped,
         Format("skipped: %d bytes outside a frame", static_cast<int>(m_skipped.size())));
    m_skipped.clear();
}

void CFrameTrace::FlushFrame(const std::string& text) {
    Line("RX", m_frame, text);
    m_frame.clear();
    m_drop = notDropped;
}

void CFrameTrace::FlushDropped() {
    if (m_drop == badCheck) {
        uint8_t x = 0;
        for (size_t i = 0; i < 5; ++i) x ^= static_cast<uint8_t>(m_frame[i]);
        std::string expected{static_cast<char>(0x30 + (x >> 4)), static_cast<char>(0x30 + (x & 0x0F))};
        FlushFrame(Format("reply %d check error: expected ", m_station) + HexBytes(expected) +
                   ", received " + HexBytes(m_frame.substr(5, 2)) + ", " + Elapsed());
    } else {
        FlushFrame(m_frame.size() >= 3 ? Format("another station: reply of %d, waiting for %d",
                                                Pair(m_frame, 1), m_station)
                                       : Format("another station: not %d", m_station));
    }
}

void CFrameTrace::Received(uint8_t byte, int stateBefore, int verdict, uint8_t status) {
    if (byte == kStx) {
        if (m_drop != notDropped) {
            FlushDropped();
        } else if (!m_frame.empty()) {
            FlushFrame("broken off by a new STX");
        }
        FlushSkipped();
        m_frame.assign(1, static_cast<char>(byte));
        return;
    }
    if (m_drop != notDropped) {
        // the rest of a dropped frame: the decoder skips it, the line shows it
        m_frame += static_cast<char>(byte);
        if (byte == kEtx || m_frame.size() >= kFrameSize) FlushDropped();
        return;
    }
    if (stateBefore == 0) {
        m_skipped += static_cast<char>(byte);
        return;
    }
    m_frame += static_cast<char>(byte);
    switch (verdict) {
        case CReplyDecoder::complete:
            FlushFrame(Format("reply %d status 0x%02X [", m_station, status) + StatusBits(status) +
                       "] good " + Elapsed());
            break;
        case CReplyDecoder::checkError:
            m_drop = badCheck;
            break;
        case CReplyDecoder::otherStation:
            m_drop = otherStation;
            break;
        default:
            if (stateBefore == 7) FlushFrame("no ETX at the end: dropped");
            break;
    }
}

void CFrameTrace::EndWait() {
    if (m_drop != notDropped) FlushDropped();
    if (!m_frame.empty()) FlushFrame("incomplete");
    FlushSkipped();
}

void CFrameTrace::TimedOut(uint32_t elapsedMs) {
    EndWait();
    Line("--", "", Format("time-out after %d ms waiting for station %d", static_cast<int>(elapsedMs),
                          m_station));
}

void CFrameTrace::ReadFailed(int readStatus, uint32_t elapsedMs) {
    EndWait();
    Line("--", "", Format("read error (%d) after %d ms waiting for station %d", readStatus,
                          static_cast<int>(elapsedMs), m_station));
}

std::unique_ptr<CFrameTrace> OpenFrameTrace(const std::string& configTitle, std::string* error) {
    error->clear();
    const std::string folder = GetEnvironmentText("KRANDOLIX_TRACE");
    if (folder.empty()) return nullptr;
    auto trace = std::make_unique<CFrameTrace>(folder, configTitle);
    if (!trace->Open()) {
        *error = trace->Path();
        return nullptr;
    }
    return trace;
}
