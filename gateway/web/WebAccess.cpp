// Who may come in: the users and the certificate, read at the start and
// again at SIGHUP (WebServer's side of WebUsers and WebTls).
#include <algorithm>

#include "gateway/web/WebServer.h"
#include "gateway/web/WebTls.h"
#include "gateway/web/WebUsers.h"

bool WebServer::ReloadUsers(std::string* error) {
    std::vector<WebUser> users;
    if (!m_config.usersFile.empty()) {
        if (!ReadWebUsers(m_config.usersFile, &users, error)) return false;
    } else if (!m_config.passwordFile.empty()) {
        WebUser admin;
        admin.name = m_config.user;
        admin.role = WebRole::admin;
        if (!ReadSecretFile(m_config.passwordFile, &admin.plain, error)) return false;
        users.push_back(admin);
    }
    // A user removed, or whose role fell, keeps no stream opened before:
    // it is closed, and opened again (if at all) under the new rules.
    {
        std::lock_guard<std::mutex> hold(m_lock);
        for (auto& stream : m_streams) {
            if (users.empty() || stream->dropped) continue;
            auto now = std::find_if(users.begin(), users.end(),
                                    [&](const WebUser& u) { return u.name == stream->user; });
            if (now != users.end() && now->role >= stream->role) continue;
            stream->dropped = true;
            stream->queue.clear();
            Wake(*stream);
        }
    }
    // and so does a session
    if (!users.empty()) m_sessions.Keep(users);
    m_login.SetUsers(std::move(users));
    return true;
}

bool WebServer::ReloadCertificate(std::string* error) {
    return !m_config.Tls() || LoadWebCertificate(m_config.certFile, m_config.keyFile, error);
}
