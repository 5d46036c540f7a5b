#include "host/HostSession.h"

#include <atomic>
#include <cctype>
#include <fstream>
#include <mutex>

#include "host/DriverTable.h"
#include "host/HostTables.h"
#include "host/TagVal.h"
#include "host/ZeravError.h"
#include "platform/DynLib.h"
#include "platform/Encoding.h"
#include "platform/Thread.h"

bool ParseTagLine(const std::string& line, HostTag* tag) {
    size_t eq = line.find('=');
    size_t colon = line.rfind(':');
    if (eq == std::string::npos || eq == 0 || colon == std::string::npos || colon < eq)
        return false;
    tag->name = line.substr(0, eq);
    std::string device = line.substr(eq + 1, colon - eq - 1);
    tag->address = line.substr(colon + 1);
    tag->place = TagAddress();
    TagAddress place;
    if (ParseTagAddress(tag->address, &place) == TagAddressFault::none) tag->place = place;
    return Utf8ToCp949(device, &tag->device);
}

bool ReadTagFile(const std::string& path, std::vector<std::string>* lines) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos) lines->push_back(line.substr(start));
    }
    return true;
}

// ---- events ----

namespace {

std::mutex g_eventLock;
std::deque<HostEvent> g_events;
// The wake, one function and its context together. It is called under its
// lock, so once SetWake has returned nobody calls the one it replaced: the
// context (a descriptor, say) may then be closed.
struct Wake {
    void (*fn)(void*) = nullptr;
    void* context = nullptr;
};
std::mutex g_wakeLock;
Wake g_wake;
thread_local int t_caller = -1;

void Post(HostEvent::Kind kind, HostTagRef tag, double number, int code, std::string text) {
    bool first;
    {
        std::lock_guard<std::mutex> hold(g_eventLock);
        first = g_events.empty();
        g_events.push_back(
            HostEvent{kind, tag, number, code, std::move(text), CurrentOsThreadId(), t_caller});
    }
    // a poll delivers every input at once: one wake-up for all that waits
    if (first) {
        std::lock_guard<std::mutex> hold(g_wakeLock);
        if (g_wake.fn) g_wake.fn(g_wake.context);
    }
}

void OnValue(void*, HostTagRef tag, double value) {
    Post(HostEvent::value, tag, value, 0, "");
}
void OnLog(void*, int kind, const char* line) {
    Post(HostEvent::log, 0, 0, kind, Cp949ToUtf8(line ? line : ""));
}
void OnError(int code, const char* text, int, const char* const*) {
    Post(HostEvent::error, 0, 0, code, Cp949ToUtf8(text ? text : ""));
}

template <typename F>
F HostLibEntry(const char* library, const char* name) {
    return reinterpret_cast<F>(FindSymbol(LoadLib(library), name));
}

}  // namespace

void HostEvents::Install() {
    CZeravError::SetHandler(&OnError);
    if (auto notify = HostLibEntry<decltype(&DbmSetNotify)>("ZeravDbm.DLL", "DbmSetNotify"))
        notify(&OnValue, nullptr);
    if (auto notify = HostLibEntry<decltype(&LogSetNotify)>("Plovanet.DLL", "LogSetNotify"))
        notify(&OnLog, nullptr);
}

void HostEvents::SetWake(void (*wake)(void*), void* context) {
    std::lock_guard<std::mutex> hold(g_wakeLock);
    g_wake = Wake{wake, context};
}

void HostEvents::SetCaller(int caller) {
    t_caller = caller;
}

std::deque<HostEvent> HostEvents::Take() {
    std::lock_guard<std::mutex> hold(g_eventLock);
    std::deque<HostEvent> out;
    out.swap(g_events);
    return out;
}

std::deque<HostEvent> HostEvents::TakeIf(const std::function<bool(const HostEvent&)>& mine) {
    std::lock_guard<std::mutex> hold(g_eventLock);
    std::deque<HostEvent> out, rest;
    for (HostEvent& e : g_events) (mine(e) ? out : rest).push_back(std::move(e));
    g_events.swap(rest);
    return out;
}

// ---- the session ----

CHostSession::CHostSession(DriverTable& driver, std::string configPath, std::vector<HostTag> tags,
                           HostTagRef refBase)
    : m_driver(driver),
      m_config(std::move(configPath)),
      m_tags(std::move(tags)),
      m_refBase(refBase) {
    for (size_t i = 0; i < m_tags.size(); ++i) m_tags[i].ref = m_refBase + i;
}

int32_t CHostSession::Open() {
    m_handle = m_driver.Open(m_config);
    return m_handle;
}

void CHostSession::RegisterTags() {
    static auto define = HostLibEntry<decltype(&DbmDefineTag)>("ZeravDbm.DLL", "DbmDefineTag");
    for (HostTag& t : m_tags) {
        std::string name;
        if (!Utf8ToCp949(t.name, &name)) name = t.name;
        if (define) define(t.ref, name.c_str());
        t.handle = m_driver.Register(m_handle, t.device.c_str(), t.address.c_str(), kDigitalTagType,
                                     t.ref);
    }
}

int32_t CHostSession::Start() {
    int32_t r = m_driver.Start(m_handle);
    m_driver.StartScan(m_handle);
    return r;
}

void CHostSession::Stop() {
    m_driver.Stop(m_handle);
}

void CHostSession::SetActive(const char* station, int value) {
    m_driver.SetActive(m_handle, station, value);
}

void CHostSession::ResetCounters(const char* station) {
    m_driver.ResetCounters(m_handle, station);
}

int32_t CHostSession::Status(const char* station, int32_t counters[4]) {
    return m_driver.GetStatus(m_handle, station, counters);
}

int32_t CHostSession::Write(HostTag* tag, double value) {
    if (!tag) return -1;
    CTagVal v;
    v.SetVal(value);
    int32_t r = m_driver.Write(m_handle, tag->handle, &v);
    if (r == 0) tag->writePending = true;
    return r;
}

std::vector<HostTag*> CHostSession::TakeDoneWrites() {
    std::vector<HostTag*> done;
    for (HostTag& t : m_tags) {
        if (!t.writePending || m_driver.IsWriteDone(m_handle, t.handle) != 1) continue;
        t.writePending = false;
        done.push_back(&t);
    }
    return done;
}

HostTag* CHostSession::Apply(const HostEvent& e, bool* changed) {
    if (e.kind != HostEvent::value || e.tag < m_refBase || e.tag - m_refBase >= m_tags.size())
        return nullptr;
    HostTag& t = m_tags[e.tag - m_refBase];
    const bool differs = !t.hasValue || t.value != e.number;
    if (differs) t.changed = std::chrono::steady_clock::now();
    if (changed) *changed = differs;
    t.hasValue = true;
    t.value = e.number;
    return &t;
}

HostTag* CHostSession::FindTag(const std::string& name) {
    for (HostTag& t : m_tags)
        if (t.name == name) return &t;
    return nullptr;
}
