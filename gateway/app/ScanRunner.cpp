#include "gateway/app/ScanRunner.h"

#include <nlohmann/json.hpp>

#include "LineScan.h"
#include "config/LineSettings.h"
#include "gateway/channel/ChannelSet.h"
#include "gateway/channel/ScanJob.h"
#include "gateway/core/Journal.h"
#include "gateway/web/WebServer.h"

using admin::Answer;
using admin::Error;
using nlohmann::json;

namespace {

// A whole number of the scan's body between low and high (def when absent).
bool ScanNumber(const json& body, const char* key, int low, int high, int def, int* out) {
    auto it = body.find(key);
    if (it == body.end()) {
        *out = def;
        return true;
    }
    if (!it->is_number_integer() || it->get<long long>() < low || it->get<long long>() > high)
        return false;
    *out = it->get<int>();
    return true;
}

// What the scan's body asks, on the channel's line: false with the refusal.
bool ScanPlanOf(const std::string& text, const CConfigData& config, ScanPlan* plan, bool* all,
                Answer* refusal) {
    json body = text.empty() ? json::object() : json::parse(text, nullptr, false);
    auto refuse = [refusal](const char* field, const std::string& why) {
        *refusal = {422, JsonText(json{{"field", field}, {"error", why}})};
        return false;
    };
    if (!body.is_object()) return refuse("", "the body is not a JSON object");
    plan->line = CLineSettings::Of(config);
    const line::LineRange numbers = line::kStationNumber;
    if (!ScanNumber(body, "from", numbers.low, numbers.high, numbers.low, &plan->from))
        return refuse("from", "a station number from 0 to 254");
    if (!ScanNumber(body, "to", numbers.low, numbers.high, numbers.high, &plan->to) ||
        plan->to < plan->from)
        return refuse("to", "a station number from \"from\" to 254");
    if (!ScanNumber(body, "timeout_ms", 1, 60000, kScanTimeoutMs, &plan->timeoutMs))
        return refuse("timeout_ms", "a time-out from 1 to 60000 ms");
    const json baud = body.value("baud", json("current"));
    *all = baud == "all";
    if (*all) {
        for (int i = 0; i < line::kBaudRateCount; ++i) plan->rates.push_back(i);
    } else if (baud == "current") {
        plan->rates.push_back(plan->line.m_nBaudRate);
    } else if (baud.is_number_integer() && line::BaudIndexOf(baud.get<long long>()) >= 0) {
        plan->rates.push_back(line::BaudIndexOf(baud.get<long long>()));
    } else {
        return refuse("baud", "\"current\", \"all\" or one of the rates the settings offer");
    }
    return plan->line.IsValid() || refuse("baud", "the channel's own line settings are invalid");
}

}  // namespace

ScanRunner::ScanRunner(ChannelSet& channels, WebServer& web, Remember remember)
    : m_channels(channels), m_web(web), m_remember(std::move(remember)) {}

ScanRunner::~ScanRunner() = default;

bool ScanRunner::Start(GatewayChannel& ch, std::unique_ptr<WebRequest>* request, Answer* answer) {
    const std::string port = "COM" + std::to_string(ch.Port());
    if (ch.State() == ChannelState::portLost || ch.Busy() || ch.PortRefused()) {
        *answer = Error(409, ch.Name() + ": its port " + port +
                                 " is lost or cannot be made ready: a line that cannot be "
                                 "reached cannot be scanned");
        return false;
    }
    std::string bytes;
    CConfigData config;
    ScanPlan plan;
    bool all = false;
    if (!admin::ReadChannelFile(ch.Config().configPath, &bytes, &config, answer) ||
        !ScanPlanOf((*request)->body, config, &plan, &all, answer))
        return false;
    Journal(kInfo, SenderText((*request)->command.ticket) + ": scan " + ch.Name() + " on " + port +
                       ", stations " + std::to_string(plan.from) + "-" + std::to_string(plan.to) +
                       ": the channel is stopped until it ends");
    m_remember(HistoryKind::scan, ch.Name(), "", (*request)->command.ticket.who, "started",
               port + ", stations " + std::to_string(plan.from) + "-" + std::to_string(plan.to));
    Running& scan = m_scans[ch.Name()];
    scan.stopped = &ch;
    scan.request = std::move(*request);
    // the job once the channel has stopped (its port closed: the scan opens it)
    auto held = std::make_shared<ScanPlan>(std::move(plan));
    const std::string name = ch.Name();
    m_channels.StopThen({&ch}, [this, name, held, all](bool ending) {
        auto it = m_scans.find(name);
        if (ending || it == m_scans.end()) return;
        it->second.job = std::make_unique<ScanJob>(name, std::move(*held), all);
        if (it->second.cancelAtStart) it->second.job->Cancel();
    });
    return true;
}

Answer ScanRunner::Cancel(const std::string& channel, const CommandTicket& ticket) {
    auto it = m_scans.find(channel);
    if (it == m_scans.end()) return Error(404, "no scan of " + channel + " is running");
    if (it->second.job)
        it->second.job->Cancel();
    else
        it->second.cancelAtStart = true;  // (its channel still stopping)
    Journal(kInfo, SenderText(ticket) + ": scan " + channel + ": cancelled");
    return {200, JsonText(json{{"result", "cancelled"}})};
}

void ScanRunner::Tend() {
    for (auto it = m_scans.begin(); it != m_scans.end();) {
        Running& scan = it->second;
        if (!scan.job || scan.restarting) {  // (its channel stopping, or starting again)
            ++it;
            continue;
        }
        const bool ended = scan.job->Ended();  // (before the events: the last ones are in)
        for (const std::string& event : scan.job->TakeEvents()) m_web.OnScan(event);
        if (!ended && !scan.job->Cancelled() && m_web.ClientGone(*scan.request)) {
            scan.job->Cancel();
            Journal(kInfo, "scan " + it->first + ": its client has gone: cancelled");
        }
        if (!ended) {
            ++it;
            continue;
        }
        Journal(kInfo, SenderText(scan.request->command.ticket) + ": scan " + it->first + ": " +
                           scan.job->Summary() + "; the channel runs again");
        m_remember(HistoryKind::scan, it->first, "", scan.request->command.ticket.who,
                   scan.job->Cancelled() ? "cancelled" : "done", scan.job->Summary());
        // the channel again, whatever the outcome (unless a reload has made it
        // anew), then the answer
        if (m_channels.Find(it->first) != scan.stopped) {
            m_web.Respond(std::move(scan.request), scan.job->Answer());
            it = m_scans.erase(it);
            continue;
        }
        scan.restarting = true;
        const std::string name = it->first;
        m_channels.Restart(scan.stopped, [this, name](bool started, const std::string& error) {
            auto done = m_scans.find(name);
            if (!started) Journal(kError, name + ": not restarted after the scan: " + error);
            if (done == m_scans.end()) return;
            m_web.Respond(std::move(done->second.request), done->second.job->Answer());
            m_scans.erase(done);
        });
        ++it;
    }
}

void ScanRunner::End() {
    for (auto& [channel, scan] : m_scans) {
        scan.job.reset();  // (cancelled, and waited for)
        if (scan.request)
            m_web.Respond(std::move(scan.request), Error(503, "the gateway is stopping"));
    }
    m_scans.clear();
}
