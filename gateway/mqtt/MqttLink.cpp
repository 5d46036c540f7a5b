#include "gateway/mqtt/MqttLink.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <thread>

#include "gateway/core/Backoff.h"
#include "gateway/core/Files.h"
#include "gateway/core/Journal.h"

namespace mqttlink {

namespace {

// How long a client first waits before connecting again (then doubling).
const int kFirstBackoffMs = 500;

}  // namespace

mosquitto* NewClient(const Login& login, const GatewayConfig& tls, void* owner,
                     const Callbacks& callbacks, std::string* error) {
    mosquitto* m = mosquitto_new(login.clientId.c_str(), login.cleanSession, owner);
    if (!m) {
        *error = "cannot set up an MQTT client";
        return nullptr;
    }
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_threaded_set(m, true);
    mosquitto_connect_v5_callback_set(m, callbacks.connect);
    mosquitto_disconnect_v5_callback_set(m, callbacks.disconnect);
    mosquitto_message_v5_callback_set(m, callbacks.message);
    mosquitto_publish_v5_callback_set(m, callbacks.published);
    if (!login.username.empty() || !login.passwordFile.empty()) {
        std::string password;
        if (!login.passwordFile.empty() && !ReadSecretFile(login.passwordFile, &password, error)) {
            mosquitto_destroy(m);
            return nullptr;
        }
        mosquitto_username_pw_set(m, login.username.c_str(),
                                  login.passwordFile.empty() ? nullptr : password.c_str());
    }
    if (tls.Tls()) {
        const int rc = mosquitto_tls_set(
            m, tls.caFile.empty() ? nullptr : tls.caFile.c_str(),
            tls.caFile.empty() ? "/etc/ssl/certs" : nullptr,
            tls.certFile.empty() ? nullptr : tls.certFile.c_str(),
            tls.keyFile.empty() ? nullptr : tls.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = std::string("TLS: ") + mosquitto_strerror(rc);
            mosquitto_destroy(m);
            return nullptr;
        }
    }
    return m;
}

void KeepConnected(mosquitto* client, const Link& link, const std::atomic<bool>& stop,
                   const std::atomic<bool>& connected) {
    Backoff backoff(kFirstBackoffMs);
    // waits out the next wait (a stop ends it)
    auto pause = [&](int wait) {
        for (int waited = 0; waited < wait && !stop; waited += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    bool linked = false;
    while (!stop) {
        if (!linked) {
            if (link.beforeConnect) link.beforeConnect();
            // (the library's own reconnect would send no properties: a session's
            // expiry among them, and the broker would drop the session)
            const int rc = mosquitto_connect_bind_v5(client, link.host.c_str(), link.port,
                                                     link.keepalive, nullptr, link.properties);
            if (rc != MOSQ_ERR_SUCCESS) {
                const int wait = backoff.Next();
                Journal(kWarning, link.journalPrefix + "broker " + link.host + ":" +
                                      std::to_string(link.port) + ": " + mosquitto_strerror(rc) +
                                      "; again in " + std::to_string(wait) + " ms");
                pause(wait);
                continue;
            }
            linked = true;
        }
        const int rc = mosquitto_loop(client, 100, 1);
        if (connected) backoff.Reset();
        if (rc != MOSQ_ERR_SUCCESS && !stop) {
            linked = false;
            if (link.lost) link.lost();
            pause(backoff.Next());
        }
    }
}

}  // namespace mqttlink
