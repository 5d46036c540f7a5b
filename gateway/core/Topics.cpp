#include "gateway/core/Topics.h"

namespace topic {

namespace {

const char kSet[] = "/set";
const char kResult[] = "/result";
const char kStation[] = "station/";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

const char kOnline[] = "online";

std::string Under(const std::string& prefix, const std::string& topic) {
    return prefix + "/" + topic;
}

bool Below(const std::string& prefix, const std::string& full, std::string* topic) {
    if (full.size() <= prefix.size() + 1 || full.compare(0, prefix.size(), prefix) != 0 ||
        full[prefix.size()] != '/')
        return false;
    *topic = full.substr(prefix.size() + 1);
    return true;
}

std::string CommandFilter(const std::string& prefix) {
    return prefix + "/+/#";
}

std::string State(const std::string& channel) {
    return channel + "/state";
}
std::string Log(const std::string& channel) {
    return channel + "/log";
}
std::string Meta(const std::string& channel) {
    return channel + "/meta";
}
std::string Command(const std::string& channel, const std::string& tag) {
    return channel + "/" + tag + kSet;
}
std::string Value(const std::string& channel, const std::string& tag) {
    return channel + "/" + tag;
}
std::string Result(const std::string& channel, const std::string& tag) {
    return channel + "/" + tag + kResult;
}
std::string Station(const std::string& channel, const std::string& station) {
    return channel + "/" + kStation + station;
}
std::string StationResult(const std::string& channel, const std::string& station) {
    return Station(channel, station) + kResult;
}

bool ParseCommand(const std::string& topic, std::string* channel, std::string* target,
                  GatewayCommand::Kind* kind) {
    const std::string set = kSet;
    const size_t slash = topic.find('/');
    if (!EndsWith(topic, set) || slash == std::string::npos || slash == 0 ||
        slash + 1 + set.size() > topic.size())
        return false;
    *channel = topic.substr(0, slash);
    std::string body = topic.substr(slash + 1, topic.size() - set.size() - slash - 1);
    if (body.empty()) return false;
    const std::string station = kStation;
    *kind = body.compare(0, station.size(), station) == 0 ? GatewayCommand::station
                                                          : GatewayCommand::write;
    *target = *kind == GatewayCommand::station ? body.substr(station.size()) : body;
    return !target->empty();
}

bool TagNameClashes(const std::string& name) {
    return name == "state" || name == "log" || name == "meta" ||
           name.compare(0, 8, kStation) == 0 || EndsWith(name, kSet) || EndsWith(name, kResult);
}

}  // namespace topic

bool IsTopicLevel(const std::string& text, bool allowSlash) {
    return !text.empty() && text.find_first_of(allowSlash ? "+#" : "+#/") == std::string::npos &&
           text.find('\0') == std::string::npos;
}
