// The gateway's MQTT topics below its prefix, built and read here only:
//   online                              1 while the gateway runs (its will: 0)
//   <channel>/state                     the channel's state
//   <channel>/log                       its log lines
//   <channel>/meta                      what it has: its stations, each tag's
//                                       kind, bit and topics (retained)
//   <channel>/<tag>                     a tag's value
//   <channel>/<tag>/set                 a write (command)
//   <channel>/<tag>/result              a write's outcome
//   <channel>/station/<station>         a station's state and counters
//   <channel>/station/<station>/set     a station command
//   <channel>/station/<station>/result  its outcome
#pragma once

#include <string>

#include "gateway/core/Command.h"

namespace topic {

extern const char kOnline[];
// A topic below the prefix as the broker knows it, and back (false for one
// that is not below it); the filter every command topic matches.
std::string Under(const std::string& prefix, const std::string& topic);
bool Below(const std::string& prefix, const std::string& full, std::string* topic);
std::string CommandFilter(const std::string& prefix);
std::string State(const std::string& channel);
std::string Log(const std::string& channel);
std::string Meta(const std::string& channel);
std::string Command(const std::string& channel, const std::string& tag);
std::string Value(const std::string& channel, const std::string& tag);
std::string Result(const std::string& channel, const std::string& tag);
std::string Station(const std::string& channel, const std::string& station);
std::string StationResult(const std::string& channel, const std::string& station);

// A command topic (below the prefix): its channel, target and kind; false
// for a topic that is no command.
bool ParseCommand(const std::string& topic, std::string* channel, std::string* target,
                  GatewayCommand::Kind* kind);
// Whether a tag name would make a topic the channel uses for itself.
bool TagNameClashes(const std::string& name);

}  // namespace topic

// Whether a text can stand as one level of a topic: not empty, no '+', '#'
// or '/' (for a tag name '/' is allowed: allowSlash).
bool IsTopicLevel(const std::string& text, bool allowSlash = false);
