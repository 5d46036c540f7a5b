// Talks to a running mcsim over its loopback control port, so a test can set
// a station's status, switch its faults and read its counters mid-run.
#pragma once

#include <string>

namespace testsupport {

class SimControl {
public:
    // The simulator on COM<com>, whose port the test wrapper passed as MCSIM_COM<com>.
    explicit SimControl(int com);
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    bool Connected() const { return m_socket != -1; }
    // Sends one command line and returns the reply line ("ok ..." or "error ...").
    std::string Send(const std::string& command);
    // Sends and expects "ok"; returns the reply for the test's message.
    bool Ok(const std::string& command) { return Send(command).rfind("ok", 0) == 0; }
    // The value of key=... in the reply to "get N".
    long Get(int station, const std::string& key);

private:
    long long m_socket = -1;
    std::string m_pending;
};

}  // namespace testsupport
