// What the gateway's two MQTT clients (the bridge and the Sparkplug node)
// share of libmosquitto: a client set up alike (MQTT 5, threaded, no Nagle,
// the login and TLS of the gateway's settings), and the network loop that
// keeps it connected with a bounded back-off until it is told to stop.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "gateway/config/GatewayConfig.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace mqttlink {

struct Callbacks {
    void (*connect)(mosquitto*, void*, int, int, const mqtt5__property*);
    void (*disconnect)(mosquitto*, void*, int, const mqtt5__property*);
    void (*message)(mosquitto*, void*, const mosquitto_message*, const mqtt5__property*);
    void (*published)(mosquitto*, void*, int, int, const mqtt5__property*);
};

struct Login {
    std::string clientId;
    bool cleanSession = true;
    std::string username, passwordFile;  // none when both are empty
};

// A new client whose callbacks get owner; nullptr with *error when the
// password file or the TLS files cannot be used (the client is then freed).
mosquitto* NewClient(const Login& login, const GatewayConfig& tls, void* owner,
                     const Callbacks& callbacks, std::string* error);

struct Link {
    std::string host;
    int port = 1883;
    int keepalive = 30;
    const mqtt5__property* properties = nullptr;  // sent with every CONNECT
    std::string journalPrefix;  // "" or "sparkplug: "
    // before every CONNECT (a new will, say)
    std::function<void()> beforeConnect;
    // after the loop has lost the connection, before the back-off's wait
    std::function<void()> lost;
};

// Connects and runs the client's network until stop, and connects again,
// every time with link.properties, after a failed connect or a lost
// connection: the back-off begins at 500 ms and starts over once connected
// is true. Returns with the client as it is (the caller says goodbye).
void KeepConnected(mosquitto* client, const Link& link, const std::atomic<bool>& stop,
                   const std::atomic<bool>& connected);

}  // namespace mqttlink
