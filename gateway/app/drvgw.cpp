// drvgw: the driver as a Linux service that publishes its channels to an MQTT
// broker. "drvgw run CONFIG" runs in the foreground (systemd's Type=notify);
// "drvgw check CONFIG" checks a configuration and prints what it would run.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "gateway/app/Gateway.h"
#include "gateway/channel/GatewayChannel.h"
#include "gateway/config/GatewayConfig.h"
#include "gateway/core/Journal.h"
#include "gateway/web/WebTls.h"
#include "host/DriverTable.h"
#include "gateway/opcua/OpcuaServer.h"
#include "krandolix_version.h"
#include "platform/ExitCodes.h"
#include "platform/Tick.h"

namespace {

const char kUsage[] =
    "usage: drvgw run CONFIG     run the gateway in the foreground (SIGHUP reloads CONFIG)\n"
    "       drvgw check CONFIG   check CONFIG and print what it would run\n";

// Each port and its RS-485 mode; a device that has no such mode, asked for
// it, is refused as run would refuse it (its mode is read, not changed).
bool CheckPorts(const GatewayConfig& c) {
    for (const auto& [n, port] : c.ports) {
        const Rs485Settings& r = port.rs485;
        if (!r.enabled) {
            std::printf("COM%d -> %s\n", n, port.device.c_str());
            continue;
        }
        std::printf("COM%d -> %s, RS-485: RTS %s while sending, %d ms before, %d ms after\n", n,
                    port.device.c_str(), r.rtsOnSend ? "on" : "off", r.delayBeforeSendMs,
                    r.delayAfterSendMs);
        std::string error;
        if (!ProbeRs485(port.device, &error)) {
            std::fprintf(stderr, "drvgw: COM%d: %s\n", n, error.c_str());
            return false;
        }
    }
    return true;
}

// The page's address, and for HTTPS its certificate: the pair must load, and
// a certificate that ends within 30 days is warned of.
bool CheckWeb(const GatewayWebConfig& w) {
    std::printf("web page on %s://%s:%d/%s\n", w.Tls() ? "https" : "http", w.listen.c_str(), w.port,
                w.readOnly ? " (read-only)" : "");
    if (!w.Tls()) return true;
    std::string error;
    CertificateInfo info;
    if (!ReadCertificateInfo(w.certFile, &info, &error) ||
        !LoadWebCertificate(w.certFile, w.keyFile, &error)) {
        std::fprintf(stderr, "drvgw: web: %s\n", error.c_str());
        return false;
    }
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const int64_t days = (info.notAfter - now) / 86400;
    std::printf("certificate %s, valid until %s (%lld days)\n", info.subject.c_str(),
                UtcTimeStampAt(info.notAfter, 0).substr(0, 19).c_str(),
                static_cast<long long>(days));
    if (info.notAfter <= now)
        std::fprintf(stderr, "drvgw: warning: web: %s has expired\n", w.certFile.c_str());
    else if (info.notAfter - now < 30 * 86400)
        std::fprintf(stderr, "drvgw: warning: web: %s expires within 30 days\n",
                     w.certFile.c_str());
    return true;
}

int Check(const GatewayConfig& c) {
    DriverTable driver;
    NullSink sink;
    std::printf("gateway %s, topics under %s/%s\n", c.id.c_str(), c.topicPrefix.c_str(),
                c.readOnly ? " (read-only)" : "");
    std::printf("broker %s:%d as %s%s%s\n", c.host.c_str(), c.port, c.clientId.c_str(),
                c.username.empty() ? "" : (", user " + c.username).c_str(), c.Tls() ? ", TLS" : "");
    if (!CheckPorts(c)) return kExitFailed;
    if (c.web.enabled && !CheckWeb(c.web)) return kExitFailed;
    if (c.modbus.enabled) {
        std::printf("modbus TCP on %s:%d, %d clients at most, idle %d s%s\n",
                    c.modbus.listen.c_str(), c.modbus.port, c.modbus.maxClients,
                    c.modbus.idleTimeout, c.modbus.readOnly ? ", read-only" : "");
    }
    if (c.metrics.enabled)
        std::printf("metrics on http://%s:%d/metrics%s\n", c.metrics.listen.c_str(), c.metrics.port,
                    c.metrics.tokenFile.empty() ? "" : ", with a bearer token");
    if (c.history.enabled) {
        std::printf("history in %s: %d days, %lld events at most%s\n", c.history.path.c_str(),
                    c.history.days, static_cast<long long>(c.history.maxRows),
                    c.history.values ? ", every value change too" : "");
        const std::string folder = c.history.path.substr(0, c.history.path.rfind('/') + 1);
        if (::access(folder.c_str(), W_OK) != 0)
            std::fprintf(stderr,
                         "drvgw: warning: history: %s cannot be written here: the gateway "
                         "will run without a history until it can\n",
                         folder.c_str());
        History probe(c.history);
        std::string error;
        if (!probe.Lock(&error)) {
            std::fprintf(stderr, "drvgw: [history] %s\n", error.c_str());
            return kExitFailed;
        }
    }
    int index = 0;
    for (const GatewayChannelConfig& cc : c.channels) {
        GatewayChannel ch(driver, cc, index++, sink);
        std::string error;
        if (!ch.Load(&error)) {
            std::fprintf(stderr, "drvgw: %s\n", error.c_str());
            return kExitFailed;
        }
        int outputs = 0;
        for (const HostTag& t : ch.Tags()) outputs += t.place.IsOutput();
        std::printf(
            "channel %s (unit %d): %s, %zu stations, %zu tags (%d outputs)%s%s; a write times "
            "out after %lld ms\n",
            cc.name.c_str(), cc.unitId, cc.configPath.c_str(), ch.Stations().size(),
            ch.Tags().size(), outputs,
            cc.tagsPath.empty() ? ", every bit of every station" : ", from ", cc.tagsPath.c_str(),
            static_cast<long long>(ch.WriteBound().count()));
        for (const auto& s : ch.Stations())
            std::printf("  station %s (%d)\n", s.name.c_str(), s.number);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("drvgw (Krandolix) %s\nOPC UA: %s\n", KRANDOLIX_VERSION, OpcuaLibraryVersion());
        return 0;
    }
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3 || (std::string(argv[1]) != "run" && std::string(argv[1]) != "check")) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    GatewayConfig config;
    std::string error;
    if (!LoadGatewayConfig(argv[2], &config, &error)) {
        if (std::string(argv[1]) == "run")
            Journal(kError, error);
        else
            std::fprintf(stderr, "drvgw: %s\n", error.c_str());
        return kExitFailed;
    }
    if (std::string(argv[1]) == "check") return Check(config);
    return Gateway(config).Run();
}
