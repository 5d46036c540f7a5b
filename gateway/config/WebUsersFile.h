// Who may use the web page, and what for: the users file ([web] users_file,
// one "NAME:ROLE:HASH" a line, HASH a crypt(3) hash as mkpasswd makes it), or
// the one user of [web] user and password_file (an admin).
#pragma once

#include <string>
#include <vector>

#include "gateway/core/Command.h"

// What a user may do: see everything; also write outputs and command
// stations; also change a channel's settings and scan its line.
enum class WebRole { viewer, operator_, admin };
inline constexpr Named<WebRole> kWebRoles[] = {{WebRole::viewer, "viewer", "보기 (viewer)"},
                                               {WebRole::operator_, "operator", "운전 (operator)"},
                                               {WebRole::admin, "admin", "관리 (admin)"}};
static_assert(InEnumOrder(kWebRoles));
constexpr const char* WebRoleName(WebRole role) {
    return NameIn(kWebRoles, role);
}

struct WebUser {
    std::string name;
    WebRole role = WebRole::viewer;
    std::string hash;   // crypt(3); empty for the password of [web] password_file
    std::string plain;  // that password
};

// Reads a users file (refused when group or others may read it): false with
// *error naming the file, the line and what is wrong.
bool ReadWebUsers(const std::string& path, std::vector<WebUser>* users, std::string* error);
