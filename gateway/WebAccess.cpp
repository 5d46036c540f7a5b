// Who may come in: the users and the certificate, read at the start and
// again at SIGHUP (WebServer's side of WebUsers and WebTls).
#include "gateway/WebServer.h"
#include "gateway/WebTls.h"
#include "gateway/WebUsers.h"

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
    m_login.SetUsers(std::move(users));
    return true;
}

bool WebServer::ReloadCertificate(std::string* error) {
    return !m_config.Tls() || LoadWebCertificate(m_config.certFile, m_config.keyFile, error);
}
