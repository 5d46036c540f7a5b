#include "LineScan.h"

#include <chrono>
#include <cstdio>

#include "Json.h"
#include "channel/SerialLine.h"
#include "protocol/ReplyDecoder.h"
#include "protocol/StationProtocol.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Polls one station number; 1 answered (*answer filled), 0 silent, -1 the
// line failed. *garbled names the first fault seen in replies that failed.
int PollStation(CSerialLine& line, int number, int timeoutMs, const std::atomic<bool>& stop,
                ScanAnswer* answer, const char** garbled) {
    char frame[CStationProtocol::kFrameSize];
    CStationProtocol::BuildFrame(number, 0x00, frame);
    *garbled = nullptr;
    const Clock::time_point start = Clock::now();
    if (!line.Write(frame, CStationProtocol::kFrameSize)) return -1;
    CReplyDecoder decoder(number);
    for (;;) {
        const double elapsed = MsSince(start);
        if (elapsed >= timeoutMs || stop) return 0;
        line.SetReadTimeout(static_cast<uint32_t>(timeoutMs - elapsed) + 1);
        char c;
        int status = 0;
        if (!line.ReadByte(&c, &status)) {
            if (status == CSerialLine::readTimeout) return 0;
            return -1;
        }
        switch (decoder.Feed(static_cast<uint8_t>(c))) {
            case CReplyDecoder::complete:
                *answer = ScanAnswer{number, decoder.GetStatusByte(), MsSince(start)};
                return 1;
            case CReplyDecoder::checkError:
                if (!*garbled) *garbled = "check";
                break;
            case CReplyDecoder::otherStation:
                if (!*garbled) *garbled = "station";
                break;
            case CReplyDecoder::needMore:
                break;
        }
    }
}

// Scans the numbers at one rate.
ScanEnd ScanRate(const ScanPlan& plan, size_t rate, const std::atomic<bool>& stop,
                 ScanObserver& observer, ScanRateResult* result) {
    CLineSettings settings = plan.line;
    settings.m_nBaudRate = plan.rates[rate];
    result->baudIndex = settings.m_nBaudRate;
    CSerialLine line;
    if (!line.Open(settings)) return ScanEnd::cannotOpen;
    line.SetWriteTimeout(1000);
    const int total = plan.Numbers() * static_cast<int>(plan.rates.size());
    const int before = plan.Numbers() * static_cast<int>(rate);
    for (int n = plan.from; n <= plan.to; ++n) {
        if (stop) return ScanEnd::interrupted;
        observer.Polling(result->baudIndex, n, before + (n - plan.from), total);
        ScanAnswer answer{};
        const char* garbled = nullptr;
        const int r = PollStation(line, n, plan.timeoutMs, stop, &answer, &garbled);
        if (r < 0) return ScanEnd::lineFailed;
        if (r > 0) {
            result->answers.push_back(answer);
            observer.Answered(result->baudIndex, answer);
        } else if (garbled) {
            result->garbled.push_back(ScanGarbled{n, garbled});
            observer.Garbled(result->baudIndex, result->garbled.back());
        }
    }
    return stop ? ScanEnd::interrupted : ScanEnd::done;
}

std::string Fixed(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

}  // namespace

ScanEnd ScanLine(const ScanPlan& plan, const std::atomic<bool>& stop, ScanObserver& observer,
                 std::vector<ScanRateResult>* results) {
    ScanEnd end = ScanEnd::done;
    for (size_t i = 0; i < plan.rates.size() && end == ScanEnd::done; ++i) {
        if (stop) {
            end = ScanEnd::interrupted;
            break;
        }
        ScanRateResult r{plan.rates[i], {}, {}};
        end = ScanRate(plan, i, stop, observer, &r);
        if (end != ScanEnd::cannotOpen) results->push_back(r);
    }
    if (results->empty()) results->push_back(ScanRateResult{plan.rates.front(), {}, {}});
    return end;
}

std::string ScanJson(const std::string& port, bool allRates,
                     const std::vector<ScanRateResult>& results) {
    std::string out = "{\"port\": " + JsonString(port);
    if (allRates) {
        out += ", \"rates\": [";
        for (size_t i = 0; i < results.size(); ++i) {
            const ScanRateResult& r = results[i];
            out += std::string(i ? ", " : "") +
                   "{\"baud\": " + std::to_string(line::BaudOf(r.baudIndex)) +
                   ", \"answered\": " + std::to_string(r.answers.size()) +
                   ", \"garbled\": " + std::to_string(r.garbled.size()) + "}";
        }
        return out + "]}";
    }
    const ScanRateResult& r = results.front();
    out += ", \"baud\": " + std::to_string(line::BaudOf(r.baudIndex)) + ", \"stations\": [";
    for (size_t i = 0; i < r.answers.size(); ++i) {
        const ScanAnswer& a = r.answers[i];
        out += std::string(i ? ", " : "") + "{\"number\": " + std::to_string(a.number) +
               ", \"status\": " + std::to_string(a.status) + ", \"reply_ms\": " + Fixed(a.replyMs) +
               "}";
    }
    out += "], \"garbled\": [";
    for (size_t i = 0; i < r.garbled.size(); ++i) {
        out += std::string(i ? ", " : "") + "{\"number\": " + std::to_string(r.garbled[i].number) +
               ", \"reason\": \"" + r.garbled[i].reason + "\"}";
    }
    return out + "]}";
}
