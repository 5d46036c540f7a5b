// The host's side of the tag database and message log stand-ins, as a test
// sees it: it loads the same libraries the driver loads (the same instances)
// and reads what the driver handed over.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/DynLib.h"

namespace testsupport {

struct LoggedLine {
    int first;
    int kind;
    std::string text;  // CP949
};

struct DeliveredValue {
    double value;
    int type;
    unsigned updates;
    unsigned nameLookups;
};

class HostRecorder {
public:
    HostRecorder();
    ~HostRecorder();
    bool Loaded() const { return m_db && m_log; }

    void DefineTag(uintptr_t tag, const std::string& nameCp949);
    // False when nothing is known of the tag.
    bool Read(uintptr_t tag, DeliveredValue* out);
    std::vector<LoggedLine> Lines();
    // Forgets the log lines, or the lines and every tag.
    void ClearLog();
    void Clear();

private:
    LibHandle m_db = nullptr;
    LibHandle m_log = nullptr;
};

}  // namespace testsupport
