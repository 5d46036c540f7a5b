// The reading of the gateway's TOML file, shared by the files that read its
// tables: a refusal's text, paths, and one table checked key by key.
#pragma once

#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "gateway/config/ConfigKeys.h"
#include "gateway/config/GatewayConfig.h"

namespace gwconfig {

struct ConfigRefusal {
    std::string text;
};

inline std::string Folder(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

inline std::string Absolute(const std::string& base, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return base + "/" + path;
}

inline bool IsFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !*name) return "gateway";
    return name;
}

// Checks one table: every key known (those of its kind in kConfigKeys),
// every value of its type. The values a reload cannot apply are noted, as
// the reader takes them (defaults too), in the configuration's restartKeys.
class Table {
public:
    Table(const std::string& file, const std::string& name, const toml::table& t,
          const char* kind = nullptr, GatewayConfig* noted = nullptr)
        : m_file(file),
          m_name(name),
          m_kind(kind ? kind : m_name.c_str()),
          m_table(t),
          m_noted(noted) {
        if (m_noted && FindsRestart()) m_noted->restartKeys[m_kind] = "present";
    }

    // Refuses keys the table does not know.
    void Only() const {
        for (const auto& [key, node] : m_table) {
            const std::string k(key.str());
            if (!FindKey(m_kind.c_str(), k.c_str())) Refuse(node, k, "unknown key");
        }
    }

    bool Has(const char* key) const { return m_table.contains(key); }

    std::string String(const char* key, const std::string& fallback = "") const {
        const toml::node* n = m_table.get(key);
        if (!n) return Note(key, fallback);
        if (!n->is_string()) Refuse(*n, key, "must be a string");
        return Note(key, n->as_string()->get());
    }

    int Integer(const char* key, int fallback, int low, int high) const {
        const toml::node* n = m_table.get(key);
        if (!n) return Note(key, fallback);
        if (!n->is_integer()) Refuse(*n, key, "must be a whole number");
        int64_t v = n->as_integer()->get();
        if (v < low || v > high)
            Refuse(*n, key, "must be from " + std::to_string(low) + " to " + std::to_string(high));
        return Note(key, static_cast<int>(v));
    }

    std::vector<std::string> Strings(const char* key) const {
        std::vector<std::string> out;
        const toml::node* n = m_table.get(key);
        if (!n) return Note(key, out);
        if (!n->is_array()) Refuse(*n, key, "must be a list of names");
        for (const toml::node& item : *n->as_array()) {
            if (!item.is_string() || item.as_string()->get().empty())
                Refuse(*n, key, "must be a list of names");
            out.push_back(item.as_string()->get());
        }
        return Note(key, out);
    }

    bool Boolean(const char* key, bool fallback) const {
        const toml::node* n = m_table.get(key);
        if (!n) return Note(key, fallback);
        if (!n->is_boolean()) Refuse(*n, key, "must be true or false");
        return Note(key, n->as_boolean()->get());
    }

    [[noreturn]] void Refuse(const toml::node& n, const std::string& key,
                             const std::string& what) const {
        throw ConfigRefusal{Where(n, key) + ": " + what};
    }
    // "FILE:LINE: TABLE.KEY" of a key (of the table itself when it lacks the key)
    std::string Where(const toml::node& table, const std::string& key) const {
        const toml::node* n = m_table.get(key);
        std::ostringstream out;
        out << m_file << ":" << (n ? n->source() : table.source()).begin.line << ": " << m_name
            << "." << key;
        return out.str();
    }
    [[noreturn]] void Refuse(const std::string& key, const std::string& what) const {
        throw ConfigRefusal{m_file + ": " + m_name + "." + key + ": " + what};
    }

private:
    // Whether a change in this kind of table can need a restart at all.
    bool FindsRestart() const {
        for (const ConfigKey& k : kConfigKeys)
            if (m_kind == k.table && !k.live) return true;
        return false;
    }
    // The value a key was read as, noted when a reload cannot apply it.
    template <typename T>
    T Note(const char* key, T value) const {
        const ConfigKey* k = FindKey(m_kind.c_str(), key);
        if (!k) throw ConfigRefusal{m_file + ": " + m_name + "." + key + ": read, not declared"};
        if (m_noted && !k->live) {
            std::ostringstream text;
            if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                for (const std::string& v : value) text << v << '\n';
            } else {
                text << value;
            }
            m_noted->restartKeys[m_kind + "." + key] = text.str();
        }
        return value;
    }

    std::string m_file, m_name, m_kind;
    const toml::table& m_table;
    GatewayConfig* m_noted;
};

inline const toml::table& SubTable(const std::string& file, const toml::table& root,
                                   const char* name, const toml::table& empty) {
    const toml::node* n = root.get(name);
    if (!n) return empty;
    if (!n->is_table()) {
        throw ConfigRefusal{file + ":" + std::to_string(n->source().begin.line) + ": " + name +
                            ": must be a table"};
    }
    return *n->as_table();
}

// [web] and [metrics] (GatewayConfigWeb.cpp).
void ReadWeb(const Table& web, const std::string& base, GatewayConfig* c);
void ReadMetrics(const Table& metrics, const std::string& base, GatewayConfig* c);
// after [web]: its users sign in to OPC UA as well
void ReadOpcua(const Table& opcua, const std::string& base, GatewayConfig* c);
void ReadSparkplug(const Table& sparkplug, const std::string& base, GatewayConfig* c);

}  // namespace gwconfig
