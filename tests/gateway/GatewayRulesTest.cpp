// The gateway's rules on their own, without a broker, a line or the driver:
// what a payload asks for, the topics, the configuration file's refusals and
// defaults, which addresses are this machine's alone, and the names README
// and the page take from the gateway.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ConfigJson.h"
#include "TestSupport.h"
#include "config/ConfigData.h"
#include "gateway/channel/ChannelSettings.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/config/ConfigKeys.h"
#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Command.h"
#include "gateway/core/Topics.h"
#include "gateway/http/LoginThrottle.h"
#include "gateway/modbus/ModbusServer.h"
#include "gateway/mqtt/RecentCommands.h"
#include "gateway/web/WebServer.h"
#include "gateway/web/WebSessions.h"
#include "gateway/web/WebTls.h"

TEST(PayloadRule, WhatDashboardsSendForOneIsOne) {
    for (const char* payload : {"1", "1.0", "true", "\"1\"", "\"true\"", "\"on\"", "ON", " on\n",
                                "{\"value\":1}", "{\"value\":true}", "{\"value\":\"on\"}"}) {
        std::string request, reason;
        EXPECT_TRUE(WritePayloadMeansOne(payload, &request, &reason)) << payload;
    }
}

TEST(PayloadRule, EverythingElseIsRefusedSayingWhy) {
    struct Case {
        std::string payload, reason;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"0", "0 is no command"},
             {"false", "0 is no command"},
             {"off", "0 is no command"},
             {"{\"value\":0}", "0 is no command"},
             {"2", "a write sends 1"},
             {"", "a write sends 1"},
             {"[1]", "a write sends 1"},
             {"{\"request\":\"x\"}", "a write sends 1"},
             {"{\"value\":{\"value\":1}}", "a write sends 1"},
             {"null", "a write sends 1"},
             {std::string(kMaxCommandBytes + 1, ' ') + "1", "larger than"},
             {std::string(kMaxCommandDepth + 1, '[') + std::string(kMaxCommandDepth + 1, ']'),
              "deeper"},
         }) {
        std::string request, reason;
        EXPECT_FALSE(WritePayloadMeansOne(c.payload, &request, &reason)) << c.payload.substr(0, 20);
        EXPECT_NE(reason.find(c.reason), std::string::npos)
            << c.payload.substr(0, 20) << ": " << reason;
    }
    // brackets inside a text do not count as nesting
    std::string request, reason;
    EXPECT_TRUE(WritePayloadMeansOne("{\"value\":1,\"request\":\"[[[[[[[[\"}", &request, &reason));
    EXPECT_EQ(request, "\"[[[[[[[[\"");
}

TEST(PayloadRule, TheRequestIdAndStationCommands) {
    std::string request, reason;
    // the id as JSON text: a number stays a number, a text a text
    EXPECT_TRUE(WritePayloadMeansOne("{\"value\":1,\"request\":42}", &request, &reason));
    EXPECT_EQ(request, "42");
    request.clear();
    EXPECT_TRUE(WritePayloadMeansOne("{\"value\":1,\"request\":\"42\"}", &request, &reason));
    EXPECT_EQ(request, "\"42\"");
    for (const char* other : {"{\"id\":7}", "[1]", "true", "null"}) {
        request.clear();
        EXPECT_FALSE(WritePayloadMeansOne(std::string("{\"value\":1,\"request\":") + other + "}",
                                          &request, &reason))
            << other;
        EXPECT_EQ(reason, "a request id is a number or a string") << other;
        EXPECT_FALSE(
            RequestIdOf(std::string("{\"command\":\"reset\",\"request\":") + other + "}", &request))
            << other;
    }
    request.clear();
    EXPECT_EQ(StationCommandOf("  disable \n", &request), "disable");
    EXPECT_EQ(StationCommandOf("\"reset\"", &request), "reset");
    EXPECT_EQ(StationCommandOf("{\"command\":\"enable\",\"request\":\"r1\"}", &request), "enable");
    EXPECT_EQ(request, "\"r1\"");
    EXPECT_EQ(StationCommandOf("[\"enable\"]", &request), "");
}

TEST(Topics, BuiltAndReadInOnePlace) {
    // below the prefix, and back; a topic that only begins like the prefix is not below it
    std::string below;
    EXPECT_EQ(topic::Under("krandolix/gw", topic::kOnline), "krandolix/gw/online");
    ASSERT_TRUE(topic::Below("krandolix/gw", "krandolix/gw/Line1/P7/O1/set", &below));
    EXPECT_EQ(below, "Line1/P7/O1/set");
    EXPECT_FALSE(topic::Below("krandolix/gw", "krandolix/gw2/Line1/P7/O1/set", &below));
    EXPECT_FALSE(topic::Below("krandolix/gw", "krandolix/gw/", &below));
    EXPECT_EQ(topic::CommandFilter("krandolix/gw"), "krandolix/gw/+/#");
    EXPECT_EQ(topic::Value("Line1", "펌프1/I0"), "Line1/펌프1/I0");
    EXPECT_EQ(topic::Result("Line1", "P2/O1"), "Line1/P2/O1/result");
    EXPECT_EQ(topic::Station("Line1", "P2"), "Line1/station/P2");
    EXPECT_EQ(topic::StationResult("Line1", "P2"), "Line1/station/P2/result");
    EXPECT_EQ(topic::State("Line1"), "Line1/state");
    EXPECT_EQ(topic::Log("Line1"), "Line1/log");

    std::string channel, target;
    GatewayCommand::Kind kind;
    ASSERT_TRUE(topic::ParseCommand("Line1/펌프1/O1/set", &channel, &target, &kind));
    EXPECT_EQ(channel, "Line1");
    EXPECT_EQ(target, "펌프1/O1");
    EXPECT_EQ(kind, GatewayCommand::write);
    ASSERT_TRUE(topic::ParseCommand("Line1/station/P2/set", &channel, &target, &kind));
    EXPECT_EQ(target, "P2");
    EXPECT_EQ(kind, GatewayCommand::station);
    for (const char* other : {"Line1/P2/O1/result", "Line1/set", "/x/set", "Line1//set",
                              "Line1/station//set", "Line1/P2/O1"})
        EXPECT_FALSE(topic::ParseCommand(other, &channel, &target, &kind)) << other;

    for (const char* clash : {"state", "log", "station/x", "a/set", "a/result"})
        EXPECT_TRUE(topic::TagNameClashes(clash)) << clash;
    for (const char* fine : {"states", "펌프1/I0", "settings", "station"})
        EXPECT_FALSE(topic::TagNameClashes(fine)) << fine;
}

TEST(Loopback, TheParsedAddressNotItsText) {
    for (const char* own : {"localhost", "127.0.0.1", "127.3.2.1", "::1"})
        EXPECT_TRUE(IsLoopbackAddress(own)) << own;
    for (const char* other :
         {"127.0.0.1.nip.io", "0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "localhost.example", ""})
        EXPECT_FALSE(IsLoopbackAddress(other)) << other;
}

namespace {

class ConfigFile : public ::testing::Test {
protected:
    // Reads TEXT as a gateway configuration: "" when taken, else the refusal.
    std::string Refusal(const std::string& text) {
        testsupport::WriteBytes(dir.Path("gw.toml"), text);
        GatewayConfig c;
        std::string error;
        return LoadGatewayConfig(dir.Path("gw.toml"), &c, &error) ? "" : error;
    }
    std::string Secret(const std::string& name, const std::string& text, mode_t mode) {
        testsupport::WriteBytes(dir.Path(name), text);
        ::chmod(dir.Path(name).c_str(), mode);
        return dir.Path(name);
    }
    testsupport::ScratchDir dir;
    const std::string broker = "[broker]\nhost = \"h\"\n";
    const std::string channel = "[[channel]]\nname = \"A\"\nconfig = \"A.cfg\"\n";
};

}  // namespace

TEST_F(ConfigFile, DefaultsWhereNothingIsSaid) {
    testsupport::WriteBytes(dir.Path("gw.toml"),
                            "[gateway]\nid = \"g\"\n" + broker + channel + "[modbus]\n[web]\n");
    GatewayConfig c;
    std::string error;
    ASSERT_TRUE(LoadGatewayConfig(dir.Path("gw.toml"), &c, &error)) << error;
    EXPECT_EQ(c.topicPrefix, "krandolix/g");
    EXPECT_EQ(c.clientId, "krandolix-g");
    EXPECT_EQ(c.port, 1883);
    EXPECT_EQ(c.sessionExpiry, 60);
    EXPECT_EQ(c.modbus.port, 1502);
    EXPECT_EQ(c.modbus.listen, "127.0.0.1");
    EXPECT_EQ(c.web.port, 8080);
    EXPECT_TRUE(c.web.serverNames.empty());
    ASSERT_EQ(c.channels.size(), 1u);
    EXPECT_EQ(c.channels[0].unitId, 1);
    EXPECT_EQ(c.channels[0].configPath, dir.Path("A.cfg"));
    // read_only flows down to the ways in that do not say otherwise
    testsupport::WriteBytes(dir.Path("gw.toml"), "[gateway]\nread_only = true\n" + broker +
                                                     channel +
                                                     "[modbus]\n[web]\nread_only = false\n");
    ASSERT_TRUE(LoadGatewayConfig(dir.Path("gw.toml"), &c, &error)) << error;
    EXPECT_TRUE(c.modbus.readOnly);
    EXPECT_FALSE(c.web.readOnly);
}

TEST_F(ConfigFile, SparkplugsDefaultsFromTheGatewayAndItsBroker) {
    EXPECT_EQ(Refusal(broker + "[sparkplug]\ngroup_id = \"공장1\"\n" + channel), "");
    testsupport::WriteBytes(dir.Path("gw.toml"),
                            "[gateway]\nid = \"g\"\n" + broker + "[sparkplug]\ngroup_id = \"P\"\n" + channel);
    GatewayConfig c;
    std::string error;
    ASSERT_TRUE(LoadGatewayConfig(dir.Path("gw.toml"), &c, &error)) << error;
    EXPECT_EQ(c.sparkplug.edgeNodeId, "g");
    EXPECT_EQ(c.sparkplug.clientId, "krandolix-g-sparkplug");
    EXPECT_EQ(c.sparkplug.host, "h");
    EXPECT_EQ(c.sparkplug.port, 1883);
    EXPECT_EQ(c.sparkplug.stateDir, "/var/lib/krandolix/g-sparkplug");
    EXPECT_EQ(c.sparkplug.buffer, 10000);
}

TEST_F(ConfigFile, RefusalsNameTheFileTheLineAndTheKey) {
    const std::string file = dir.Path("gw.toml");
    const std::string secret = Secret("secret", "pw\n", 0600);
    struct Case {
        std::string text, refusal;
    };
    for (const Case& c : std::initializer_list<Case>{
             {broker + "port = 70000\n" + channel,
              file + ":3: broker.port: must be from 1 to 65535"},
             {broker + "session_expiry = -1\n" + channel, "broker.session_expiry: must be from 0"},
             {broker + "[ports]\nCOM99999999999 = \"/dev/null\"\n" + channel,
              file + ":4: ports.COM99999999999: a port is COM1 to COM36"},
             {broker + "[ports]\nCOM0 = \"/dev/null\"\n" + channel, "a port is COM1 to COM36"},
             {broker + channel + "unit_id = 300\n", "channel[1].unit_id: must be from 1 to 247"},
             {broker + "[web]\nserver_names = \"x\"\n" + channel,
              "web.server_names: must be a list"},
             {broker + "[web]\nlisten = \"0.0.0.0\"\nuser = \"u\"\n" + channel,
              "user and password_file go together"},
             {broker + "[web]\nlisten = \"0.0.0.0\"\n" + channel, "web.listen: is not a loopback"},
             {broker + "[web]\nlisten = \"0.0.0.0\"\nuser = \"u\"\npassword_file = \"" +
                  Secret("open", "pw\n", 0644) + "\"\n" + channel,
              "others may read it"},
             {broker + "[web]\nlisten = \"0.0.0.0\"\nuser = \"u\"\npassword_file = \"" +
                  Secret("empty", "\n", 0600) + "\"\n" + channel,
              "holds no password"},
             {broker + "password_file = \"" + dir.Path("") + "\"\n" + channel, "is not a file"},
             {broker + "[[channel]]\nname = \"A\"\nconfig = \"A.cfg\"\ntags = \"" + dir.Path("") +
                  "\"\n",
              "is a folder"},
             {broker + "[[channel]]\nname = \"A/B\"\nconfig = \"A.cfg\"\n",
              "cannot be a topic level"},
             // Sparkplug's ids are topic levels of their own, in UTF-8
             {broker + "[sparkplug]\n" + channel, "sparkplug.group_id: is required"},
             {broker + "[sparkplug]\ngroup_id = \"a/b\"\n" + channel,
              "sparkplug.group_id: \"a/b\" has a /, + or #"},
             {broker + "[sparkplug]\ngroup_id = \"g\"\nedge_node_id = \"n+1\"\n" + channel,
              "sparkplug.edge_node_id: \"n+1\" has a /, + or #"},
             {broker + "[sparkplug]\ngroup_id = \"g\"\nprimary_host_id = \"#\"\n" + channel,
              "sparkplug.primary_host_id:"},
             {broker + "[sparkplug]\ngroup_id = \"\"\n" + channel, "sparkplug.group_id: is empty"},
             {broker + "client_id = \"c\"\n[sparkplug]\ngroup_id = \"g\"\nclient_id = \"c\"\n" + channel,
              "sparkplug.client_id: must be a client id of its own"},
         }) {
        const std::string refusal = Refusal(c.text);
        EXPECT_NE(refusal.find(c.refusal), std::string::npos) << c.text << "\n=> " << refusal;
    }
    // beyond loopback the password must not cross the network readable: HTTPS,
    // or plain HTTP said on purpose
    const std::string network =
        broker + "[web]\nlisten = \"0.0.0.0\"\nuser = \"u\"\npassword_file = \"" + secret + "\"\n";
    EXPECT_NE(Refusal(network + channel).find("allow_plain_http = true"), std::string::npos);
    EXPECT_EQ(Refusal(network + "allow_plain_http = true\n" + channel), "");
    const std::string key = Secret("web.key", "not read here\n", 0600);
    EXPECT_EQ(Refusal(network + "cert_file = \"web.pem\"\nkey_file = \"" + key + "\"\n" + channel),
              "");
    EXPECT_NE(Refusal(network + "cert_file = \"web.pem\"\n" + channel)
                  .find("web.key_file: cert_file and key_file go together"),
              std::string::npos);
    EXPECT_NE(Refusal(network + "cert_file = \"web.pem\"\nkey_file = \"" +
                      Secret("open.key", "k\n", 0640) + "\"\n" + channel)
                  .find("others may read it"),
              std::string::npos);
}

namespace {

std::string TextOf(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The names as README's tables list them: "a"\|"b"\|"c".
template <typename E, size_t N>
std::string Alternatives(const Named<E> (&table)[N], std::initializer_list<size_t> order) {
    std::string out;
    for (size_t i : order)
        out += (out.empty() ? "\"" : "\\|\"") + std::string(table[i].name) + "\"";
    return out;
}

}  // namespace

TEST(Manual, ItsTablesSayWhatTheGatewaySays) {
    // (the manual: README and the pages of docs/)
    std::string readme = TextOf(README_PATH);
    ASSERT_FALSE(readme.empty()) << README_PATH;
    for (const auto& page : std::filesystem::directory_iterator(DOCS_DIR))
        if (page.path().extension() == ".md") readme += TextOf(page.path().c_str());
    // every state and result, in the order the tables give them (ok first)
    const std::string channel = Alternatives(kChannelStates, {1, 2, 0, 3});
    const std::string station = Alternatives(kStationHealths, {1, 2, 3, 0});
    const std::string results = Alternatives(kWriteResults, {3, 5, 4, 6, 1, 2});
    EXPECT_NE(readme.find("`{\"state\":" + channel + "}`"), std::string::npos) << channel;
    EXPECT_NE(readme.find("{\"state\":" + station + ","), std::string::npos) << station;
    EXPECT_NE(readme.find("\"state\": " + channel + ", \"stations\""), std::string::npos)
        << channel;
    EXPECT_NE(readme.find("{\"result\": " + results + "}"), std::string::npos) << results;
    // every topic the gateway builds has its row
    for (const std::string& t :
         {std::string("<prefix>/") + topic::kOnline, "<prefix>/" + topic::State("<channel>"),
          "<prefix>/" + topic::Log("<channel>"), "<prefix>/" + topic::Value("<channel>", "<tag>"),
          "<prefix>/" + topic::Value("<channel>", "<tag>") + "/set",
          "<prefix>/" + topic::Result("<channel>", "<tag>"),
          "<prefix>/" + topic::Station("<channel>", "<station>"),
          "<prefix>/" + topic::Station("<channel>", "<station>") + "/set",
          "<prefix>/" + topic::StationResult("<channel>", "<station>")})
        EXPECT_NE(readme.find("| `" + t + "` |"), std::string::npos) << t;
}

// Every result and refusal has one name, and the manual's table says how
// each way in tells it: the web API's status and Modbus's exception are
// what the code answers.
TEST(Manual, OneVocabularyForEveryWayIn) {
    std::string gateway = TextOf(DOCS_DIR "/gateway.md");
    auto row = [&](const std::string& name) {
        const size_t at = gateway.find("| `" + name + "` |");
        if (at == std::string::npos) return std::vector<std::string>();
        std::vector<std::string> cells;
        std::stringstream line(gateway.substr(at + 1, gateway.find('\n', at) - at - 1));
        for (std::string cell; std::getline(line, cell, '|');)
            cells.push_back(cell.substr(1, cell.size() - 2));
        return cells;  // name, what, status, Modbus
    };
    auto modbus = [](uint8_t code) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", code);
        return std::string(text);
    };
    for (const auto& r : kWriteResults) {
        if (r.value == WriteResult::refused) continue;
        const std::vector<std::string> cells = row(r.name);
        ASSERT_EQ(cells.size(), 4u) << r.name;
        CommandReply reply;
        reply.result = r.value;
        EXPECT_EQ(cells[2], std::to_string(WebServer::Answer(reply).first)) << r.name;
        if (!IsFinalResult(r.value) || r.value == WriteResult::busy) {
            const uint8_t code = ModbusServer::ExceptionFor(reply);
            EXPECT_EQ(cells[3].substr(0, 4), code ? modbus(code) : "the ") << r.name;
        }
    }
    const nlohmann::json names = nlohmann::json::parse(WebServer::NamesJson());
    for (const auto& r : kRefusals) {
        if (r.value == Refusal::none) continue;
        const std::vector<std::string> cells = row(r.name);
        ASSERT_EQ(cells.size(), 4u) << r.name;
        CommandReply reply;
        reply.result = WriteResult::refused;
        reply.why = r.value;
        EXPECT_EQ(cells[2], std::to_string(WebServer::Answer(reply).first)) << r.name;
        EXPECT_EQ(cells[3].substr(0, 4), modbus(ModbusServer::ExceptionFor(reply))) << r.name;
        EXPECT_EQ(OutcomeJson(reply).value("refusal", ""), r.name);
        EXPECT_TRUE(names["refusals"].contains(r.name)) << r.name;
    }
}

// The page shows what /api/names gives: every state, result and station
// command has its words there, and the page's scripts spell none of the
// states and results themselves.
TEST(Page, TakesTheGatewaysNamesFromTheServer) {
    const nlohmann::json names = nlohmann::json::parse(WebServer::NamesJson());
    const std::string script = TextOf(PAGE_SCRIPT_PATH) + TextOf(PAGE_ADMIN_SCRIPT_PATH) +
                               TextOf(PAGE_HISTORY_SCRIPT_PATH);
    ASSERT_FALSE(TextOf(PAGE_SCRIPT_PATH).empty()) << PAGE_SCRIPT_PATH;
    ASSERT_FALSE(TextOf(PAGE_ADMIN_SCRIPT_PATH).empty()) << PAGE_ADMIN_SCRIPT_PATH;
    ASSERT_FALSE(TextOf(PAGE_HISTORY_SCRIPT_PATH).empty()) << PAGE_HISTORY_SCRIPT_PATH;
    auto check = [&](const char* kind, const std::string& name, bool mayBeInScript) {
        ASSERT_TRUE(names[kind].contains(name)) << kind << " " << name;
        EXPECT_NE(names[kind][name].get<std::string>().find("("), std::string::npos) << name;
        if (!mayBeInScript) {
            EXPECT_EQ(script.find("\"" + name + "\""), std::string::npos)
                << "the page spells " << name;
        }
    };
    for (const auto& s : kChannelStates) check("channel_states", s.name, false);
    for (const auto& s : kStationHealths) check("station_states", s.name, false);
    for (const auto& r : kWriteResults) check("write_results", r.name, false);
    // the toggle and the reset button send these words
    for (const auto& a : kStationActions) check("station_actions", a.name, true);
    for (const auto& b : kBrokerStates) check("broker_states", b.name, false);
    // ("station" is a word the page uses for much else; the reasons' words are the gateway's)
    for (const auto& r : kScanReasons) check("scan_reasons", r.name, true);
    EXPECT_EQ(script.find("check character"), std::string::npos);
    // (the log's lines are marked by kind: the page's style names them)
    for (const auto& k : kLogKinds) check("log_kinds", k.name, true);
    // no two values of an enum share a name
    EXPECT_EQ(names["channel_states"].size(), std::size(kChannelStates));
    EXPECT_EQ(names["station_states"].size(), std::size(kStationHealths));
    EXPECT_EQ(names["write_results"].size(), std::size(kWriteResults));
    EXPECT_EQ(names["station_actions"].size(), std::size(kStationActions));
    // one counter column for each counter a station's JSON has
    std::vector<std::string> counters, keys;
    for (const auto& c : names["counters"]) counters.push_back(c[0].get<std::string>());
    const nlohmann::json station = StationStateJson(StationState{});
    for (const auto& [key, value] : station.items())
        if (key != "state") keys.push_back(key);
    std::sort(counters.begin(), counters.end());
    EXPECT_EQ(counters, keys);
}

// A station's 16 registers as a Modbus client reads them: the state's code,
// the counters in 16 bits (wrapping) and in 32 bits high word first, the
// status byte, the rest 0.
TEST(ModbusMap, AStationsRegisters) {
    StationState s;
    s.state = StationHealth::fault;
    s.controls = 0x12345;
    s.controlFailures = 2;
    s.polls = 0x7FFFFFFF;
    s.pollFailures = 0;
    uint16_t r[16];
    std::fill(r, r + 16, 0xEEEE);
    StationRegisterBlock(s, 0xA5, r);
    const uint16_t want[16] = {1,      0x2345, 2,      0xFFFF, 0, 0xA5, 0x0001, 0x2345,
                               0x0000, 2,      0x7FFF, 0xFFFF, 0, 0,    0,      0};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(r[i], want[i]) << "register " << i;
    const std::pair<StationHealth, uint16_t> codes[] = {{StationHealth::ok, 0},
                                                        {StationHealth::fault, 1},
                                                        {StationHealth::disabled, 2},
                                                        {StationHealth::unknown, 3}};
    for (const auto& [health, code] : codes) {
        s.state = health;
        StationRegisterBlock(s, 0, r);
        EXPECT_EQ(r[0], code) << StationHealthName(health);
    }
}

// A request for a unit no channel answers to: the gateway's exception for a
// target that did not answer, with the client's transaction number.
TEST(ModbusMap, AUnitWithoutAChannel) {
    struct NoEntry : CommandEntry {
        CommandReply Execute(GatewayCommand&) override { return {}; }
        bool WriteBusy(const std::string&, const std::string&) override { return false; }
    } entry;
    ModbusServer server(GatewayModbusConfig{}, entry);
    const std::string request("\x12\x34\x00\x00\x00\x06\x09\x04\x00\x00\x00\x01", 12);
    const std::string reply = server.Answer(request, {}, "test");
    EXPECT_EQ(reply, std::string("\x12\x34\x00\x00\x00\x03\x09\x84\x0B", 9));
}

// What MQTT and the page are told, in one shape each.
TEST(JsonShapes, AStationAndAnOutcome) {
    StationState s;
    s.state = StationHealth::ok;
    s.controls = 3;
    s.pollFailures = 1;
    EXPECT_EQ(JsonText(StationStateJson(s)),
              R"({"control_failures":0,"controls":3,"poll_failures":1,"polls":0,"state":"ok"})");
    CommandReply done;
    done.result = WriteResult::done;
    EXPECT_EQ(JsonText(OutcomeJson(done)), R"({"result":"done"})");
    CommandReply refused;
    refused.why = Refusal::readOnly;
    EXPECT_EQ(JsonText(OutcomeJson(refused)),
              R"({"reason":"the gateway is read-only","refusal":"read_only","result":"refused"})");
    refused.detail = "the channel's port is being reopened";
    EXPECT_EQ(OutcomeJson(refused)["reason"], refused.detail);
    // a name that is not UTF-8 is sent, not thrown
    EXPECT_EQ(JsonText(nlohmann::json{{"name", std::string("\xC7\xC1")}}),
              "{\"name\":\"\xEF\xBF\xBD\xEF\xBF\xBD\"}");
}

// A channel's settings from the page: the JSON drvcfg shows goes back into
// the file's object unchanged, and each refusal names its field in the
// driver's words.
TEST(ChannelSettings, TheJsonRoundTripAndItsRefusals) {
    CConfigData config;
    config.SetPort(2);
    config.SetBaudRate(7);
    config.SetTimeout(3000);
    for (int n : {4, 9}) {
        auto* s = new CStationData;
        s->SetName(n == 4 ? "\xC6\xDF\xC7\xC1" : "B");  // 펌프 in CP949
        s->SetStationNo(n);
        s->SetPollPeriod(n == 4 ? 12345 : 100);
        config.AddStation(s);
    }
    const nlohmann::json shown = nlohmann::json::parse(ConfigJson(config));
    EXPECT_EQ(shown["stations"][0]["name"], "펌프");
    CConfigData back;
    SettingsRefusal refusal;
    ASSERT_TRUE(ApplySettingsJson(shown, &back, &refusal)) << refusal.field << refusal.text;
    EXPECT_EQ(ConfigJson(back), ConfigJson(config));
    EXPECT_EQ(back.GetStationAt(0)->GetPollPeriod(), 12345);  // not 12344

    auto refused = [&](const std::string& field, nlohmann::json value, const std::string& words) {
        nlohmann::json changed = shown;
        changed[nlohmann::json::json_pointer(field)] = value;
        CConfigData target;
        SettingsRefusal r;
        EXPECT_FALSE(ApplySettingsJson(changed, &target, &r)) << field;
        return std::make_pair(r.field, r.text.find(words) != std::string::npos ? words : r.text);
    };
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(refused("/stations/1/number", 255, "0에서 254"),
              P("stations[1].number", "0에서 254"));
    EXPECT_EQ(refused("/stations/1/number", 4, "중복"), P("stations[1].number", "중복"));
    EXPECT_EQ(refused("/stations/1/name", "펌프", "이름"), P("stations[1].name", "이름"));
    EXPECT_EQ(refused("/stations/1/name", "\xF0\x9F\x98\x80", "CP949"),
              P("stations[1].name", "CP949"));
    EXPECT_EQ(refused("/stations/0/period_ms", 50, "0.1"), P("stations[0].period_ms", "0.1"));
    EXPECT_EQ(refused("/timeout_ms", 2500, "999"), P("timeout_ms", "999"));
    EXPECT_EQ(refused("/baud", 9601, "속도"), P("baud", "속도"));
    EXPECT_EQ(refused("/port", "COM0", "COM36"), P("port", "COM36"));
    EXPECT_EQ(refused("/port", "COM0000003", "COM36"), P("port", "COM36"));
    EXPECT_EQ(refused("/parity", "mark", "Parity"), P("parity", "Parity"));
    EXPECT_EQ(refused("/data_bits", 9, "Data"), P("data_bits", "Data"));
    EXPECT_EQ(refused("/delay_ms", -1, "2000"), P("delay_ms", "2000"));
    EXPECT_EQ(refused("/retries", 11, "10"), P("retries", "10"));
    EXPECT_EQ(refused("/stations", "none", "list"), P("stations", "list"));

    // the file's tag: its bytes' SHA-256
    EXPECT_EQ(FileEtag(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const nlohmann::json rules = nlohmann::json::parse(SettingsRulesJson());
    EXPECT_EQ(rules["parities"], nlohmann::json::parse(R"(["none", "even", "odd"])"));
}

// Failed logins by address: when the table is full, the address that failed
// least goes, so thousands of throw-away addresses give a slowed one no
// fresh tries.
TEST(LoginThrottle, ThrowAwayAddressesMakeNoRoomForASlowedOne) {
    LoginThrottle throttle;
    auto now = LoginThrottle::Clock::now();
    for (int i = 0; i < LoginThrottle::kFreeFailures; ++i) throttle.Failed("10.0.0.1", now);
    int after = 0;
    EXPECT_TRUE(throttle.Slowed("10.0.0.1", now, &after));
    EXPECT_EQ(after, 1);
    for (size_t i = 0; i < LoginThrottle::kMostAddresses + 10; ++i)
        throttle.Failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), now);
    EXPECT_TRUE(throttle.Slowed("10.0.0.1", now, &after));
    // its window over, its next failure waits longer: nothing was forgotten
    now += std::chrono::seconds(2);
    EXPECT_FALSE(throttle.Slowed("10.0.0.1", now, &after));
    throttle.Failed("10.0.0.1", now);
    EXPECT_TRUE(throttle.Slowed("10.0.0.1", now, &after));
    EXPECT_EQ(after, 2);
    throttle.Passed("10.0.0.1");
    EXPECT_FALSE(throttle.Slowed("10.0.0.1", now, &after));
}

// A repeated MQTT delivery is known by a digest; a command naming no request
// is never taken for one; the table stays bounded.
TEST(WebSessions, IdleOnesEndAndAFullTableGivesUpTheIdlest) {
    using std::chrono::minutes;
    WebSessions sessions(minutes(30));
    const auto t0 = WebSessions::Clock::time_point() + std::chrono::hours(1);
    const std::string otto = sessions.Open("otto", WebRole::operator_, t0);
    EXPECT_EQ(otto.size(), 64u);
    EXPECT_NE(sessions.Open("otto", WebRole::operator_, t0), otto);  // each login its own
    std::string user;
    WebRole role = WebRole::viewer;
    // used within its idle time, it lives on from that use
    ASSERT_TRUE(sessions.Use(otto, t0 + minutes(29), &user, &role));
    EXPECT_EQ(user, "otto");
    EXPECT_EQ(role, WebRole::operator_);
    EXPECT_TRUE(sessions.Touch(otto, t0 + minutes(58)));  // (an open stream)
    EXPECT_TRUE(sessions.Use(otto, t0 + minutes(87), &user, &role));
    EXPECT_FALSE(sessions.Use(otto, t0 + minutes(117), &user, &role));
    EXPECT_FALSE(sessions.Use(otto, t0 + minutes(118), &user, &role));  // and gone
    // a user removed or lowered loses the session; one raised keeps it
    const auto t1 = t0 + minutes(200);
    const std::string ann = sessions.Open("ann", WebRole::viewer, t1);
    const std::string ada = sessions.Open("ada", WebRole::admin, t1);
    const std::string eve = sessions.Open("eve", WebRole::viewer, t1);
    sessions.Keep({{"ann", WebRole::operator_, "", ""}, {"ada", WebRole::operator_, "", ""}});
    EXPECT_TRUE(sessions.Use(ann, t1, &user, &role));
    EXPECT_FALSE(sessions.Use(ada, t1, &user, &role));
    EXPECT_FALSE(sessions.Use(eve, t1, &user, &role));
    // full: the one idle longest makes room, not the one in use
    std::vector<std::string> tokens;
    for (size_t i = 0; i < WebSessions::kMost; ++i)
        tokens.push_back(sessions.Open("u" + std::to_string(i), WebRole::viewer,
                                       t1 + std::chrono::seconds(i + 1)));
    EXPECT_EQ(sessions.Size(), WebSessions::kMost);
    EXPECT_FALSE(sessions.Use(ann, t1 + minutes(5), &user, &role));
    EXPECT_TRUE(sessions.Use(tokens.front(), t1 + minutes(5), &user, &role));
}

TEST(WebSessions, TheCookieAndTheFormAreReadStrictly) {
    EXPECT_EQ(CookieValue("theme=dark; drvgw_session=ab12; x=1", "drvgw_session"), "ab12");
    EXPECT_EQ(CookieValue("drvgw_session=ab12", "drvgw_session"), "ab12");
    EXPECT_EQ(CookieValue("xdrvgw_session=ab12; drvgw_sessionx=1", "drvgw_session"), "");
    EXPECT_EQ(CookieValue("", "drvgw_session"), "");
    std::string v;
    ASSERT_TRUE(FormField("user=%EC%98%A4%ED%86%A0&password=a+b%26c%3D", "user", &v));
    EXPECT_EQ(v, "오토");
    ASSERT_TRUE(FormField("user=%EC%98%A4%ED%86%A0&password=a+b%26c%3D", "password", &v));
    EXPECT_EQ(v, "a b&c=");
    EXPECT_FALSE(FormField("username=otto", "user", &v));
    EXPECT_FALSE(FormField("user=%zz", "user", &v));
    EXPECT_FALSE(FormField("user=%4", "user", &v));
    ASSERT_TRUE(FormField("a&user=", "user", &v));
    EXPECT_EQ(v, "");
    EXPECT_EQ(SessionCookie("", true),
              "drvgw_session=; Path=/; HttpOnly; SameSite=Strict; Secure; Max-Age=0");
}

TEST(RecentCommands, DigestsBoundedAndFollowedToTheirEnd) {
    RecentCommands recent;
    CommandTicket t;
    RecentCommands::Digest d;
    EXPECT_FALSE(RecentCommands::DigestOf("Line1/P1/O1/set", t, &d));
    t.correlation.assign(65535, 'c');
    ASSERT_TRUE(RecentCommands::DigestOf("Line1/P1/O1/set", t, &d));
    const auto now = RecentCommands::Clock::now();
    EXPECT_EQ(recent.Seen(d, now), nullptr);
    CommandReply queued;
    queued.result = WriteResult::queued;
    queued.ticket = 7;
    recent.Remember(d, queued, now);
    ASSERT_NE(recent.Seen(d, now), nullptr);
    EXPECT_EQ(recent.Seen(d, now)->result, WriteResult::queued);
    CommandReply done = queued;
    done.result = WriteResult::done;
    recent.Update(done);
    EXPECT_EQ(recent.Seen(d, now)->result, WriteResult::done);
    // the same bytes split another way are another command
    CommandTicket other;
    other.request = "\"x\"";
    RecentCommands::Digest e;
    ASSERT_TRUE(RecentCommands::DigestOf("Line1/P1/O1/set", other, &e));
    EXPECT_NE(d, e);
    for (size_t i = 0; i < RecentCommands::kLimit + 100; ++i) {
        other.request = std::to_string(i);
        ASSERT_TRUE(RecentCommands::DigestOf("Line1/P1/O1/set", other, &e));
        CommandReply r;
        r.ticket = 100 + i;
        recent.Remember(e, r, now);
    }
    EXPECT_LE(recent.Size(), RecentCommands::kLimit);
    EXPECT_EQ(recent.Seen(d, now + RecentCommands::kWindow + std::chrono::seconds(1)), nullptr);
}

// A renewed certificate at every reload: the pairs it replaced are freed once
// no handshake can still hold them, not kept for the life of the server.
TEST(WebTls, AReplacedCertificateIsFreedOnceNoHandshakeCanHoldIt) {
    testsupport::ScratchDir dir;
    const std::string cert = dir.Path("c.pem"), key = dir.Path("k.pem");
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
        "-nodes -days 1 -subj /CN=localhost -keyout '" +
        key + "' -out '" + cert + "' 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    ASSERT_EQ(::chmod(key.c_str(), 0600), 0);
    ForgetWebCertificates();
    std::string error;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(LoadWebCertificate(cert, key, &error)) << error;
    EXPECT_EQ(KeptWebCertificates(), 10u);  // (a handshake begun a moment ago may hold any)
    AgeWebCertificatesForTest(std::chrono::minutes(6));
    ASSERT_TRUE(LoadWebCertificate(cert, key, &error)) << error;
    EXPECT_EQ(KeptWebCertificates(), 2u);  // the new one, and the one it replaced just now
    ForgetWebCertificates();
    EXPECT_EQ(KeptWebCertificates(), 0u);
}

// What a reload cannot apply is named, table by table: a changed [history]
// days or broker certificate was neither applied nor named before.
namespace {

// A gateway file from its tables' lines (a table of no lines is left out).
std::string TomlOf(const std::vector<std::pair<std::string, std::vector<std::string>>>& tables) {
    std::string text;
    for (const auto& [table, lines] : tables) {
        if (lines.size() == 1 && lines[0] == "-") continue;  // (left out)
        text += (table == "channel" ? "[[channel]]" : "[" + table + "]") + std::string("\n");
        for (const std::string& l : lines) text += l + "\n";
    }
    return text;
}

std::string KeyOf(const std::string& line) {
    return line.substr(0, line.find(' '));
}

}  // namespace

// Every key of the file is declared once (ConfigKeys.h) with whether a
// reload applies it: each one changed alone in a file that loads is applied
// (nothing named) or names its table for a restart, as declared. A changed
// [history] days or broker certificate was neither applied nor named once.
TEST(Reload, EveryKeyIsAppliedOrItsTableNamed) {
    testsupport::ScratchDir dir;
    for (const char* secret : {"secret", "token", "web.key", "k.key"}) {
        std::ofstream(dir.Path(secret)) << "s3cret\n";
        ASSERT_EQ(::chmod(dir.Path(secret).c_str(), 0600), 0);
    }
    std::ofstream(dir.Path("users")) << "ann:viewer:$y$j9T$abc$def\n";
    ASSERT_EQ(::chmod(dir.Path("users").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::vector<std::string>>> base = {
        {"gateway", {}},
        {"broker", {"host = \"127.0.0.1\""}},
        {"ports", {"COM2 = { device = \"/dev/null\" }"}},
        {"modbus", {}},
        {"web", {}},
        {"metrics", {}},
        {"history", {"path = \"h.db\""}},
        {"opcua", {"anonymous = \"viewer\"", "trust_dir = \"pki\""}},
        // (what it would take from [gateway] and [broker], said: a change there is theirs)
        {"sparkplug",
         {"group_id = \"Plant\"", "edge_node_id = \"n\"", "client_id = \"sp\"", "host = \"127.0.0.1\"",
          "port = 1883", "username = \"\"", "password_file = \"secret\"", "state_dir = \"sp\""}},
        {"channel", {"name = \"Line1\"", "config = \"Line1.cfg\""}}};
    // another value for each key (its partner too, where keys go together)
    const std::map<std::string, std::vector<std::string>> samples = {
        {"gateway.id", {"id = \"other\""}},
        {"gateway.topic_prefix", {"topic_prefix = \"plant/x\""}},
        {"gateway.read_only", {"read_only = true"}},
        {"gateway.status_interval", {"status_interval = 5"}},
        {"broker.host", {"host = \"10.0.0.9\""}},
        {"broker.port", {"port = 1884"}},
        {"broker.client_id", {"client_id = \"x\""}},
        {"broker.keepalive", {"keepalive = 10"}},
        {"broker.session_expiry", {"session_expiry = 120"}},
        {"broker.username", {"username = \"u\""}},
        {"broker.password_file", {"password_file = \"secret\""}},
        {"broker.ca_file", {"ca_file = \"ca.pem\""}},
        {"broker.cert_file", {"cert_file = \"c.pem\"", "key_file = \"k.key\""}},
        {"broker.key_file", {"cert_file = \"c.pem\"", "key_file = \"k.key\""}},
        {"port.device", {"COM2 = { device = \"/dev/zero\" }"}},
        {"port.rs485", {"COM2 = { device = \"/dev/null\", rs485 = true }"}},
        {"port.rts_on_send",
         {"COM2 = { device = \"/dev/null\", rs485 = true, rts_on_send = false, rts_after_send = "
          "true }"}},
        {"port.rts_after_send",
         {"COM2 = { device = \"/dev/null\", rs485 = true, rts_on_send = false, rts_after_send = "
          "true }"}},
        {"port.delay_before_send_ms",
         {"COM2 = { device = \"/dev/null\", rs485 = true, delay_before_send_ms = 5 }"}},
        {"port.delay_after_send_ms",
         {"COM2 = { device = \"/dev/null\", rs485 = true, delay_after_send_ms = 5 }"}},
        {"modbus.listen", {"listen = \"127.0.0.2\""}},
        {"modbus.port", {"port = 1503"}},
        {"modbus.max_clients", {"max_clients = 4"}},
        {"modbus.idle_timeout", {"idle_timeout = 30"}},
        {"modbus.read_only", {"read_only = true"}},
        {"opcua.listen", {"listen = \"127.0.0.2\""}},
        {"opcua.port", {"port = 4841"}},
        {"opcua.security", {"security = [\"None\"]"}},
        {"opcua.cert_file", {"cert_file = \"c.pem\"", "key_file = \"k.key\""}},
        {"opcua.key_file", {"cert_file = \"c.pem\"", "key_file = \"k.key\""}},
        {"opcua.trust_dir", {"trust_dir = \"pki2\""}},
        {"opcua.anonymous", {"anonymous = \"operator\""}},
        {"opcua.allow_insecure", {"allow_insecure = true"}},
        {"opcua.read_only", {"read_only = true"}},
        {"opcua.max_sessions", {"max_sessions = 10"}},
        {"opcua.max_subscriptions", {"max_subscriptions = 4"}},
        {"opcua.max_monitored_items", {"max_monitored_items = 500"}},
        {"opcua.max_message_size", {"max_message_size = 100000"}},
        {"sparkplug.group_id", {"group_id = \"Other\""}},
        {"sparkplug.edge_node_id", {"edge_node_id = \"m\""}},
        {"sparkplug.primary_host_id", {"primary_host_id = \"scada\""}},
        {"sparkplug.host", {"host = \"10.0.0.8\""}},
        {"sparkplug.port", {"port = 8883"}},
        {"sparkplug.client_id", {"client_id = \"sp2\""}},
        {"sparkplug.username", {"username = \"u\""}},
        {"sparkplug.password_file", {"password_file = \"token\""}},
        {"sparkplug.state_dir", {"state_dir = \"sp2\""}},
        {"sparkplug.buffer", {"buffer = 100"}},
        {"sparkplug.read_only", {"read_only = true"}},
        {"web.listen", {"listen = \"127.0.0.2\""}},
        {"web.port", {"port = 8081"}},
        {"web.user", {"user = \"admin\"", "password_file = \"secret\""}},
        {"web.password_file", {"user = \"admin\"", "password_file = \"secret\""}},
        {"web.users_file", {"users_file = \"users\""}},
        {"web.read_only", {"read_only = true"}},
        {"web.server_names", {"server_names = [\"hmi\"]"}},
        {"web.cert_file", {"cert_file = \"web.pem\"", "key_file = \"web.key\""}},
        {"web.key_file", {"cert_file = \"web.pem\"", "key_file = \"web.key\""}},
        {"web.allow_plain_http", {"allow_plain_http = true"}},
        {"web.metrics", {"metrics = false"}},
        {"web.metrics_token_file", {"metrics_token_file = \"token\""}},
        {"web.session_idle_minutes", {"session_idle_minutes = 10"}},
        {"metrics.listen", {"listen = \"127.0.0.3\""}},
        {"metrics.port", {"port = 9109"}},
        {"metrics.token_file", {"token_file = \"token\""}},
        {"history.path", {"path = \"other.db\""}},
        {"history.days", {"days = 30"}},
        {"history.max_rows", {"max_rows = 5000"}},
        {"history.values", {"values = true"}},
        {"channel.name", {"name = \"Line2\""}},
        {"channel.config", {"config = \"Other.cfg\""}},
        {"channel.tags", {"tags = \"Line1.tags\""}},
        {"channel.unit_id", {"unit_id = 5"}}};
    auto load = [&](const std::string& text, GatewayConfig* c) {
        std::ofstream(dir.Path("gw.toml"), std::ios::trunc) << text;
        std::string error;
        const bool ok = LoadGatewayConfig(dir.Path("gw.toml"), c, &error);
        EXPECT_TRUE(ok) << error << "\n" << text;
        return ok;
    };
    GatewayConfig now;
    ASSERT_TRUE(load(TomlOf(base), &now));
    GatewayConfig again;
    ASSERT_TRUE(load(TomlOf(base), &again));
    EXPECT_TRUE(TablesNeedingRestart(now, again).empty());
    for (const gwconfig::ConfigKey& k : gwconfig::kConfigKeys) {
        const std::string name = std::string(k.table) + "." + k.key;
        auto sample = samples.find(name);
        ASSERT_NE(sample, samples.end()) << name << ": a key without a sample here";
        auto tables = base;
        const std::string in = std::string(k.table) == "port" ? "ports" : k.table;
        for (auto& [table, lines] : tables) {
            if (table != in) continue;
            for (const std::string& line : sample->second)
                lines.erase(
                    std::remove_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return KeyOf(l) == KeyOf(line); }),
                    lines.end());
            lines.insert(lines.end(), sample->second.begin(), sample->second.end());
        }
        GatewayConfig fresh;
        if (!load(TomlOf(tables), &fresh)) continue;
        const std::vector<std::string> named = TablesNeedingRestart(now, fresh);
        if (k.live)
            EXPECT_TRUE(named.empty())
                << name << " is applied by a reload, yet names " << (named.empty() ? "" : named[0]);
        else if (name == "gateway.id")  // (the broker's client id is made of it)
            EXPECT_EQ(named, (std::vector<std::string>{"[gateway]", "[broker]"}));
        else
            EXPECT_EQ(named, std::vector<std::string>{"[" + std::string(k.table) + "]"}) << name;
    }
    // a table added or taken away waits for a restart too
    auto without = base;
    without[3].second = {"-"};  // no [modbus]
    GatewayConfig fresh;
    ASSERT_TRUE(load(TomlOf(without), &fresh));
    EXPECT_EQ(TablesNeedingRestart(now, fresh), std::vector<std::string>{"[modbus]"});
}

// The manual gives every key of the file, in its table's example.
TEST(Manual, EveryKeyOfTheFile) {
    std::string manual = TextOf(README_PATH);
    for (const auto& page : std::filesystem::directory_iterator(DOCS_DIR))
        if (page.path().extension() == ".md") manual += TextOf(page.path().c_str());
    for (const gwconfig::ConfigKey& k : gwconfig::kConfigKeys) {
        const std::string key = k.key;
        const bool given = manual.find("\n" + key + " = ") != std::string::npos ||
                           manual.find("\n# " + key + " = ") != std::string::npos ||
                           manual.find(" " + key + " = ") != std::string::npos;
        EXPECT_TRUE(given) << "[" << k.table << "] " << key << " is in no example of the manual";
    }
}
