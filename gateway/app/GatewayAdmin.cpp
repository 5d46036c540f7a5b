// An administrator's requests from the page: a channel's settings read and
// changed (the file written by the driver's own writer, the channel started
// again with it), and a scan of a channel's line (ScanRunner). All on the
// gateway's thread.
#include <nlohmann/json.hpp>

#include "ConfigJson.h"
#include "config/ConfigData.h"
#include "gateway/app/AdminAnswer.h"
#include "gateway/app/Gateway.h"
#include "gateway/app/ScanRunner.h"
#include "gateway/channel/ChannelSettings.h"
#include "gateway/core/Journal.h"
#include "gateway/web/WebServer.h"

using nlohmann::json;

namespace {

using admin::Answer;
using admin::Error;
using admin::ReadChannelFile;

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
    GatewayChannel* ch = m_channels.Find(channel);
    if (!ch) {
        answer = Error(404, RefusalText(Refusal::unknownChannel));
    } else if (request->ask == WebAsk::readSettings) {
        answer = ReadSettings(*ch, &etag);
    } else if (ReadOnly(Origin::web)) {
        answer = Error(403, RefusalText(Refusal::readOnly));
    } else if (request->ask == WebAsk::cancelScan) {
        answer = m_scans->Cancel(channel, request->command.ticket);
    } else if (m_scans->Scanning(channel)) {
        answer = Error(409, channel + ": its line is being scanned; try again when the scan ends");
    } else if (m_reloading || ch->Stopping()) {
        answer = Error(409, channel +
                                ": a reload or a restart of the channel is under way; try "
                                "again in a moment");
    } else if (request->ask == WebAsk::saveSettings) {
        SaveSettings(*ch, std::move(request));
    } else if (!m_scans->Start(*ch, &request, &answer)) {
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
    m_channels.Restart(&ch, [this, held, etag, name, path](bool started, const std::string& error) {
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
    GatewayChannel trial(m_channels.Driver(), ch.Config(), -1, nobody);
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
