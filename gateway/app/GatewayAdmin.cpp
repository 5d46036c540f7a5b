// An administrator's requests from the page: a channel's settings read and
// changed (the file written by the driver's own writer, the channel started
// again with it), and a scan of a channel's line while the channel is
// stopped. All on the gateway's thread; the scan itself on one of its own.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "ConfigJson.h"
#include "config/ConfigData.h"
#include "gateway/channel/ChannelSettings.h"
#include "gateway/app/Gateway.h"
#include "gateway/core/Journal.h"
#include "gateway/channel/ScanJob.h"
#include "gateway/web/WebServer.h"

using nlohmann::json;

namespace {

using Answer = std::pair<int, std::string>;

Answer Error(int status, const std::string& text) {
    return WebServer::Reply(status, "error", text);
}

// The channel's file: its bytes and what the driver reads in them.
bool ReadChannelFile(const std::string& path, std::string* bytes, CConfigData* config,
                     Answer* refusal) {
    if (!ReadWholeFile(path, bytes) || config->Load(path.c_str()) != 0) {
        *refusal = Error(500, path + ": the driver cannot load it");
        return false;
    }
    return true;
}

// The settings as the page is given them: drvcfg's JSON and the file's tag.
std::string SettingsAnswer(const CConfigData& config, const std::string& etag,
                           const json& extra = json::object()) {
    json answer = json::parse(ConfigJson(config));
    answer["etag"] = etag;
    for (auto it = extra.begin(); it != extra.end(); ++it) answer[it.key()] = it.value();
    return JsonText(answer);
}

}  // namespace

void Gateway::ServeAdmin(std::unique_ptr<WebRequest> request) {
    const std::string& channel = request->command.channel;
    std::string etag;
    Answer answer;
    GatewayChannel* ch = FindChannel(channel);
    if (!ch) {
        answer = Error(404, RefusalText(Refusal::unknownChannel));
    } else if (request->ask == WebAsk::readSettings) {
        answer = ReadSettings(*ch, &etag);
    } else if (ReadOnly(Origin::web)) {
        answer = Error(403, RefusalText(Refusal::readOnly));
    } else if (request->ask == WebAsk::cancelScan) {
        answer = CancelScan(channel, request->command.ticket);
    } else if (m_scans.count(channel)) {
        answer = Error(409, channel + ": its line is being scanned; try again when the scan ends");
    } else if (m_reloading || ch->Stopping()) {
        answer = Error(409, channel +
                                ": a reload or a restart of the channel is under way; try "
                                "again in a moment");
    } else if (request->ask == WebAsk::saveSettings) {
        SaveSettings(*ch, std::move(request));
    } else if (!StartScan(*ch, &request, &answer)) {
        Journal(kWarning, "refused: " + SenderText(request->command.ticket) + ": scan " + channel +
                              ": " + answer.second);
    }
    if (request) m_web->Respond(std::move(request), answer, etag);
}

Answer Gateway::ReadSettings(const GatewayChannel& ch, std::string* etag) {
    std::string bytes;
    CConfigData config;
    Answer refusal;
    if (!ReadChannelFile(ch.Config().configPath, &bytes, &config, &refusal)) return refusal;
    *etag = FileEtag(bytes);
    return {200, SettingsAnswer(config, *etag)};
}

void Gateway::SaveSettings(GatewayChannel& ch, std::unique_ptr<WebRequest> request) {
    std::string etag;
    const Answer answer = SaveSettingsFile(ch, *request, &etag);
    if (answer.first != 0) {
        m_web->Respond(std::move(request), answer, etag);
        return;
    }
    // saved: the answer once the channel runs with it (or says why not)
    std::shared_ptr<WebRequest> held(std::move(request));
    const std::string name = ch.Name(), path = ch.Config().configPath;
    RestartChannel(&ch, [this, held, etag, name, path](bool started, const std::string& error) {
        std::unique_ptr<WebRequest> r(new WebRequest(std::move(*held)));
        if (!started) Journal(kError, name + ": not restarted: " + error);
        CConfigData config;
        std::string bytes;
        Answer refusal;
        if (!ReadChannelFile(path, &bytes, &config, &refusal)) {
            m_web->Respond(std::move(r), refusal);
            return;
        }
        json extra = {{"restarted", started}};
        if (!started) extra["error"] = error;
        m_web->Respond(std::move(r), {200, SettingsAnswer(config, etag, extra)}, etag);
    });
}

// The settings checked and written: {0, ""} once saved (with *etag), else the refusal.
Answer Gateway::SaveSettingsFile(GatewayChannel& ch, const WebRequest& request, std::string* etag) {
    const std::string& path = ch.Config().configPath;
    const std::string what = SenderText(request.command.ticket) + ": settings " + ch.Name();
    std::string bytes;
    CConfigData config;
    Answer refusal;
    if (request.ifMatch.empty())
        return Error(428, "If-Match is required: the etag of the settings as they were read");
    if (!ReadChannelFile(path, &bytes, &config, &refusal)) return refusal;
    if (FileEtag(bytes) != request.ifMatch)
        return Error(412, path + " has changed since it was read: read it again");
    const json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) return Error(400, "the body is not JSON");
    SettingsRefusal refused;
    std::string error;
    const std::string& who = request.command.ticket.who;
    if (!ApplySettingsJson(body, &config, &refused)) {
        Journal(kWarning, "refused: " + what + ": " + refused.field + ": " + refused.text);
        Remember(HistoryKind::settings, ch.Name(), "", who, "refused",
                 refused.field + ": " + refused.text);
        return {422, JsonText(json{{"field", refused.field}, {"error", refused.text}})};
    }
    // what the gateway makes of it (station names as topic levels, the tag list)
    NullSink nobody;
    GatewayChannel trial(*m_driver, ch.Config(), -1, nobody);
    if (!trial.Load(&error, &config)) {
        Journal(kWarning, "refused: " + what + ": " + error);
        Remember(HistoryKind::settings, ch.Name(), "", who, "refused", error);
        return {422, JsonText(json{{"field", nullptr}, {"error", error}})};
    }
    if (config.Save(path.c_str()) != 0) {
        Journal(kError, "refused: " + what + ": " + path + " cannot be written");
        return Error(409, path +
                              " cannot be written here (a read-only folder, or a full disk); "
                              "nothing was changed");
    }
    ReadWholeFile(path, &bytes);
    *etag = FileEtag(bytes);
    Journal(kInfo, what + ": saved " + path);
    Remember(HistoryKind::settings, ch.Name(), "", who, "saved", path);
    return {0, ""};
}

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
    if (!ScanNumber(body, "timeout_ms", 1, 60000, 300, &plan->timeoutMs))
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

bool Gateway::StartScan(GatewayChannel& ch, std::unique_ptr<WebRequest>* request, Answer* answer) {
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
    if (!ReadChannelFile(ch.Config().configPath, &bytes, &config, answer) ||
        !ScanPlanOf((*request)->body, config, &plan, &all, answer))
        return false;
    Journal(kInfo, SenderText((*request)->command.ticket) + ": scan " + ch.Name() + " on " + port +
                       ", stations " + std::to_string(plan.from) + "-" + std::to_string(plan.to) +
                       ": the channel is stopped until it ends");
    Remember(HistoryKind::scan, ch.Name(), "", (*request)->command.ticket.who, "started",
             port + ", stations " + std::to_string(plan.from) + "-" + std::to_string(plan.to));
    RunningScan& scan = m_scans[ch.Name()];
    scan.stopped = &ch;
    scan.request = std::move(*request);
    // the job once the channel has stopped (its port closed: the scan opens it)
    auto held = std::make_shared<ScanPlan>(std::move(plan));
    const std::string name = ch.Name();
    StopThen({&ch}, [this, name, held, all](bool ending) {
        auto it = m_scans.find(name);
        if (ending || it == m_scans.end()) return;
        it->second.job = std::make_unique<ScanJob>(name, std::move(*held), all);
        if (it->second.cancelAtStart) it->second.job->Cancel();
    });
    return true;
}

Answer Gateway::CancelScan(const std::string& channel, const CommandTicket& ticket) {
    auto it = m_scans.find(channel);
    if (it == m_scans.end()) return Error(404, "no scan of " + channel + " is running");
    if (it->second.job)
        it->second.job->Cancel();
    else
        it->second.cancelAtStart = true;  // (its channel still stopping)
    Journal(kInfo, SenderText(ticket) + ": scan " + channel + ": cancelled");
    return {200, JsonText(json{{"result", "cancelled"}})};
}

void Gateway::TendScans() {
    for (auto it = m_scans.begin(); it != m_scans.end();) {
        RunningScan& scan = it->second;
        if (!scan.job || scan.restarting) {  // (its channel stopping, or starting again)
            ++it;
            continue;
        }
        const bool ended = scan.job->Ended();  // (before the events: the last ones are in)
        for (const std::string& event : scan.job->TakeEvents()) m_web->OnScan(event);
        if (!ended && !scan.job->Cancelled() && m_web->ClientGone(*scan.request)) {
            scan.job->Cancel();
            Journal(kInfo, "scan " + it->first + ": its client has gone: cancelled");
        }
        if (!ended) {
            ++it;
            continue;
        }
        Journal(kInfo, SenderText(scan.request->command.ticket) + ": scan " + it->first + ": " +
                           scan.job->Summary() + "; the channel runs again");
        Remember(HistoryKind::scan, it->first, "", scan.request->command.ticket.who,
                 scan.job->Cancelled() ? "cancelled" : "done", scan.job->Summary());
        // the channel again, whatever the outcome (unless a reload has made it
        // anew), then the answer
        if (FindChannel(it->first) != scan.stopped) {
            m_web->Respond(std::move(scan.request), scan.job->Answer());
            it = m_scans.erase(it);
            continue;
        }
        scan.restarting = true;
        const std::string name = it->first;
        RestartChannel(scan.stopped, [this, name](bool started, const std::string& error) {
            auto done = m_scans.find(name);
            if (!started) Journal(kError, name + ": not restarted after the scan: " + error);
            if (done == m_scans.end()) return;
            m_web->Respond(std::move(done->second.request), done->second.job->Answer());
            m_scans.erase(done);
        });
        ++it;
    }
}

void Gateway::EndScans() {
    for (auto& [channel, scan] : m_scans) {
        scan.job.reset();  // (cancelled, and waited for)
        if (scan.request)
            m_web->Respond(std::move(scan.request), Error(503, "the gateway is stopping"));
    }
    m_scans.clear();
}

void Gateway::RestartChannel(GatewayChannel* old,
                             std::function<void(bool started, const std::string& error)> done) {
    auto place = std::find_if(m_channels.begin(), m_channels.end(),
                              [old](const auto& ch) { return ch.get() == old; });
    if (place == m_channels.end()) {
        done(false, "the channel is gone");
        return;
    }
    std::vector<std::unique_ptr<GatewayChannel>> made;
    std::string error;
    if (!AddChannel(old->Config(), &made, &error)) {
        done(false, error);
        return;
    }
    auto next = std::make_shared<std::unique_ptr<GatewayChannel>>(std::move(made.front()));
    StopThen({old}, [this, old, next, done](bool ending) {
        if (ending) {
            done(false, "the gateway is stopping");
            return;
        }
        auto at = std::find_if(m_channels.begin(), m_channels.end(),
                               [old](const auto& ch) { return ch.get() == old; });
        if (at == m_channels.end()) {
            done(false, "the channel is gone");
            return;
        }
        std::string why;
        const bool started = (*next)->Start(&why);
        m_retired.push_back(std::move(*at));
        *at = std::move(*next);
        if (m_web) m_web->SetChannels(m_channels);
        done(started, why);
    });
}
