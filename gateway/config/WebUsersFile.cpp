#include "gateway/config/WebUsersFile.h"

#include <sstream>

#include "gateway/core/Files.h"

bool ReadWebUsers(const std::string& path, std::vector<WebUser>* users, std::string* error) {
    std::string text;
    if (!ReadPrivateFile(path, &text, error)) return false;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    users->clear();
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos || first == 0) {
            *error = where + "a user is NAME:ROLE:HASH";
            return false;
        }
        WebUser u;
        u.name = line.substr(0, first);
        const std::string role = line.substr(first + 1, second - first - 1);
        u.hash = line.substr(second + 1);
        bool known = false;
        for (const auto& r : kWebRoles)
            if (role == r.name) u.role = r.value, known = true;
        if (!known) {
            *error = where + "the role is viewer, operator or admin, not \"" + role + "\"";
            return false;
        }
        if (u.hash.empty() || u.hash[0] != '$') {
            *error =
                where + "the hash is crypt(3)'s, as mkpasswd makes it (\"$y$...\", \"$6$...\")";
            return false;
        }
        for (const WebUser& other : *users)
            if (other.name == u.name) {
                *error = where + "\"" + u.name + "\" is named twice";
                return false;
            }
        users->push_back(u);
    }
    if (users->empty()) {
        *error = path + ": names no user";
        return false;
    }
    return true;
}
