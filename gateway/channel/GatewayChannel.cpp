#include "gateway/channel/GatewayChannel.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "config/ConfigData.h"
#include "driver_texts.h"
#include "gateway/core/Journal.h"
#include "gateway/core/Topics.h"
#include "host/DriverTable.h"
#include "platform/Encoding.h"
#include "platform/NoCase.h"
#include "platform/Thread.h"

namespace {

// The system numbers of this process's scan threads. A log line the driver
// writes from a channel's scan thread names no channel; the host side knows
// the scan thread as the one that slot 4 started, by its name. Channels are
// started one at a time on the gateway's thread, so a new scan thread seen
// after a start is that channel's, and no other thread can be taken for it.
std::set<uint64_t> ScanThreadsNow() {
    std::set<uint64_t> ids;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name == kScanThreadName) ids.insert(std::strtoull(e->d_name, nullptr, 10));
        }
        ::closedir(d);
    }
    return ids;
}

// The driver's words for a command's progress, as its log lines carry them
// (UTF-8, as the host's log hands them on).
struct ControlWords {
    std::string logPrefix;    // "Krandolix : "
    std::string info, fault;  // after the station's name: " 스테이션 : ", " 스테이션 ("
    std::string startHead, startTail;  // "제어 실시 (" TAG " 태그) ..."
    std::string ok, sendFailed, receiveTimeout, receiveError;
};

const ControlWords& Words() {
    static const ControlWords words = [] {
        auto utf8 = [](const char* cp949) { return Cp949ToUtf8(cp949); };
        auto around = [](const std::string& format, std::string* head, std::string* tail) {
            const size_t at = format.find("%s");
            *head = format.substr(0, at);
            *tail = at == std::string::npos ? "" : format.substr(at + 2);
        };
        ControlWords w;
        std::string tail;
        around(utf8(txt::TXT_LOG_LINE), &w.logPrefix, &tail);
        // "%s 스테이션 : %s" and "%s 스테이션 (%d) : %s": what follows the name
        std::string head;
        around(utf8(txt::TXT_STATION_INFO), &head, &w.info);
        w.info = w.info.substr(0, w.info.find("%s"));
        around(utf8(txt::TXT_STATION_FAULT), &head, &w.fault);
        w.fault = w.fault.substr(0, w.fault.find("%d"));
        around(utf8(txt::TXT_CONTROL_START), &w.startHead, &w.startTail);
        w.ok = utf8(txt::TXT_CONTROL_OK);
        w.sendFailed = utf8(txt::TXT_SEND_CONTROL_FAILED);
        w.receiveTimeout = utf8(txt::TXT_RECEIVE_TIMEOUT);
        w.receiveError = utf8(txt::TXT_RECEIVE_ERROR);
        return w;
    }();
    return words;
}

bool StartsWith(const std::string& text, size_t at, const std::string& part) {
    return text.compare(at, part.size(), part) == 0;
}

}  // namespace

GatewayChannel::GatewayChannel(DriverTable& driver, const GatewayChannelConfig& config, int index,
                               GatewaySink& sink)
    : m_driver(driver), m_config(config), m_index(index), m_sink(sink) {}

bool GatewayChannel::Start(std::string* error) {
    std::string why;
    if (m_prepare && !m_prepare(m_port, &why)) {
        // this channel stays off; the others run
        m_portRefused = true;
        Log(true, "gateway: not started: " + why);
        TellState(ChannelState::fault);
        return true;
    }
    CallerScope caller(m_index);
    if (m_session->Open() < 0) {
        *error =
            m_config.configWhere + ": " + m_config.configPath + ": the driver refuses to open it";
        return false;
    }
    m_session->RegisterTags();
    const std::set<uint64_t> before = ScanThreadsNow();
    const int32_t port = m_session->Start();
    for (uint64_t id : ScanThreadsNow())
        if (!before.count(id)) m_scanThreads.push_back(id);
    m_session->SetActive(nullptr, 1);
    m_on = true;
    m_sink.OnDescription(m_config.name, Description());
    m_lastProgress = Clock::now();
    if (port != 0) {
        m_portLost = true;
        m_backoff.Reset();
        m_nextReopen = Clock::now() + std::chrono::milliseconds(m_backoff.Next());
    }
    return true;
}

void GatewayChannel::Stop() {
    BeginStop();
    if (m_stop.valid()) m_stop.wait();
    StopEnded();
}

void GatewayChannel::BeginStop() {
    if (m_stopBegun) return;
    m_stopBegun = true;
    // slot 5 waits for the pass in progress (seconds with silent stations),
    // and a reopen under way first: not on the gateway's thread
    CHostSession* session =
        m_on && m_session && m_session->Handle() >= 0 ? m_session.get() : nullptr;
    const int index = m_index;
    std::future<int32_t> reopen = std::move(m_reopen);
    m_stop = std::async(std::launch::async, [session, index, reopen = std::move(reopen)]() mutable {
        if (reopen.valid()) reopen.wait();
        CallerScope caller(index);
        if (session) session->Stop();
    });
}

bool GatewayChannel::Stopping() const {
    return m_stopBegun && !m_stopped;
}

bool GatewayChannel::StopEnded() {
    if (m_stopped) return true;
    if (!m_stopBegun || m_stop.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;
    m_stop.get();
    m_stopped = true;
    // The scan has ended: what the driver logged of this channel's commands is
    // all there is. What it never took is cancelled; what it took and no
    // answer was logged for got no reply.
    const auto now = Clock::now();
    if (!m_pending.empty() && m_session) {
        for (HostTag* t : m_session->TakeDoneWrites())
            for (PendingWrite& w : m_pending)
                if (w.tag == t && w.phase == PendingWrite::waiting) Taken(w, now);
        for (const HostEvent& e : HostEvents::TakeIf(
                 [this](const HostEvent& e) { return e.kind == HostEvent::log && OwnsEvent(e); }))
            Log(e.code == kLogFault, e.text);
    }
    while (!m_pending.empty())
        Finish(m_pending.begin(), m_pending.front().phase == PendingWrite::waiting
                                      ? WriteResult::cancelled
                                      : WriteResult::noReply);
    m_on = false;
    TellState(ChannelState::off);
    ForgetStations();  // nobody looks at them now
    return true;
}

CommandReply GatewayChannel::Write(const std::string& name, const CommandTicket& ticket) {
    CommandReply reply;
    reply.ticket = ticket.id;
    HostTag* tag = m_session->FindTag(name);
    if (!tag) {
        reply.why = Refusal::unknownTarget;
        return reply;
    }
    if (tag->handle < 0 || !m_isOutput[static_cast<size_t>(tag - &m_session->Tags()[0])]) {
        reply.why = Refusal::notOutput;
        return reply;
    }
    if (Busy(*tag)) {
        reply.result = WriteResult::busy;
        return reply;
    }
    // Not busy: the driver has taken this output's last write from its queue,
    // whether or not a tick has seen it yet. Its outcome follows from the
    // driver's lines as before (each outcome goes to its own write).
    for (PendingWrite& w : m_pending)
        if (w.tag == tag && w.phase == PendingWrite::waiting) Taken(w, Clock::now());
    const int32_t r = [&] {
        CallerScope caller(m_index);
        return m_session->Write(tag, 1.0);
    }();
    if (r != 0) {
        reply.why = Refusal::driver;
        return reply;
    }
    PendingWrite w;
    w.tag = tag;
    w.ticket = ticket;
    w.deadline = Clock::now() + m_writeBound;
    w.station = m_tagStation[static_cast<size_t>(tag - &m_session->Tags()[0])];
    m_pending.push_back(w);
    reply.result = WriteResult::queued;
    return reply;
}

void GatewayChannel::Taken(PendingWrite& write, Clock::time_point now) {
    write.phase = PendingWrite::taken;
    write.verdictBy = now + m_commandBound;
}

void GatewayChannel::ControlLine(const std::string& text, Clock::time_point now) {
    const ControlWords& w = Words();
    if (!StartsWith(text, 0, w.logPrefix)) return;
    const size_t from = w.logPrefix.size();
    int station = -1;
    size_t at = 0;
    for (size_t i = 0; i < m_stations.size() && station < 0; ++i) {
        const std::string& name = m_stations[i].name;
        if (!StartsWith(text, from, name)) continue;
        const size_t after = from + name.size();
        if (StartsWith(text, after, w.info)) {
            at = after + w.info.size();
        } else if (StartsWith(text, after, w.fault)) {
            at = text.find(") : ", after + w.fault.size());
            if (at == std::string::npos) continue;
            at += 4;
        } else {
            continue;
        }
        station = static_cast<int>(i);
    }
    if (station < 0) return;
    const std::string message = text.substr(at);
    auto started = std::find_if(m_pending.begin(), m_pending.end(), [&](const PendingWrite& p) {
        return p.station == station && p.phase == PendingWrite::started;
    });
    if (StartsWith(message, 0, w.startHead) &&
        message.size() >= w.startHead.size() + w.startTail.size() &&
        message.compare(message.size() - w.startTail.size(), w.startTail.size(), w.startTail) ==
            0) {
        const std::string tag = message.substr(
            w.startHead.size(), message.size() - w.startHead.size() - w.startTail.size());
        // the station's command before this one has ended, unanswered
        if (started != m_pending.end()) Finish(started, WriteResult::noReply);
        auto next = std::find_if(m_pending.begin(), m_pending.end(), [&](const PendingWrite& p) {
            return p.station == station && p.phase != PendingWrite::started && p.tag->name == tag;
        });
        if (next == m_pending.end()) return;
        next->phase = PendingWrite::started;
        next->failures = 0;
        next->verdictBy = now + m_commandBound;
        return;
    }
    if (started == m_pending.end()) return;
    if (message == w.ok) {
        Finish(started, WriteResult::done);
    } else if (message == w.sendFailed) {
        Finish(started, WriteResult::noReply);
    } else if (message == w.receiveTimeout || message == w.receiveError) {
        // every attempt's time-out is logged; after the last one no answer will come
        if (++started->failures > m_retries) Finish(started, WriteResult::noReply);
    }
}

void GatewayChannel::Finish(std::vector<PendingWrite>::iterator write, WriteResult result) {
    CommandReply outcome;
    outcome.result = result;
    outcome.ticket = write->ticket.id;
    const CommandTicket ticket = write->ticket;
    const std::string tag = write->tag->name;
    m_pending.erase(write);
    Journal(result == WriteResult::done ? kInfo : kWarning, SenderText(ticket) + ": write " +
                                                                m_config.name + "/" + tag + ": " +
                                                                WriteResultName(result));
    m_sink.OnWriteResult(m_config.name, tag, outcome, ticket);
}

bool GatewayChannel::Reopening() const {
    return m_reopen.valid() &&
           m_reopen.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

bool GatewayChannel::Busy() const {
    return Reopening() || Stopping();
}

bool GatewayChannel::WriteBusy(const std::string& name) {
    if (Busy()) return false;  // (refused by the entry)
    HostTag* tag = m_session->FindTag(name);
    return tag && Busy(*tag);
}

bool GatewayChannel::Busy(const HostTag& tag) {
    return tag.writePending && m_driver.IsWriteDone(m_session->Handle(), tag.handle) != 1;
}

std::string GatewayChannel::OutputTag(int station, int bit) const {
    const std::vector<HostTag>& tags = m_session->Tags();
    for (size_t i = 0; i < tags.size(); ++i)
        if (m_isOutput[i] && m_tagStation[i] == station && m_tagBit[i] == bit &&
            tags[i].handle >= 0)
            return tags[i].name;
    return "";
}

uint8_t GatewayChannel::StatusByte(int station) const {
    const std::vector<HostTag>& tags = m_session->Tags();
    uint8_t status = 0;
    for (size_t i = 0; i < tags.size(); ++i)
        if (!m_isOutput[i] && m_tagStation[i] == station && tags[i].hasValue && tags[i].value != 0)
            status = static_cast<uint8_t>(status | (1u << m_tagBit[i]));
    return status;
}

std::string GatewayChannel::StationOfTag(const std::string& name) const {
    const std::vector<HostTag>& tags = m_session->Tags();
    for (size_t i = 0; i < tags.size(); ++i)
        if (tags[i].name == name && m_tagStation[i] >= 0)
            return m_stations[static_cast<size_t>(m_tagStation[i])].name;
    return "";
}

bool GatewayChannel::HasStation(const std::string& name) const {
    return std::any_of(m_stations.begin(), m_stations.end(),
                       [&](const Station& s) { return s.name == name; });
}

bool GatewayChannel::StationCommand(const std::string& station, StationAction action) {
    auto it = std::find_if(m_stations.begin(), m_stations.end(),
                           [&](const Station& s) { return s.name == station; });
    if (it == m_stations.end()) return false;
    CallerScope caller(m_index);
    switch (action) {
        case StationAction::enable:
            m_session->SetActive(it->cp949.c_str(), 1);
            break;
        case StationAction::disable:
            m_session->SetActive(it->cp949.c_str(), 0);
            break;
        case StationAction::reset:
            m_session->ResetCounters(it->cp949.c_str());
            break;
    }
    return true;
}

bool GatewayChannel::TakeValue(const HostEvent& e) {
    bool changed = false;
    HostTag* t = m_session ? m_session->Apply(e, &changed) : nullptr;
    if (!t) return false;
    if (changed) m_sink.OnValue(m_config.name, t->name, t->value);
    return true;
}

void GatewayChannel::TellState(ChannelState state) {
    if (m_stateTold && state == m_state) return;
    m_state = state;
    m_stateTold = true;
    Journal(state == ChannelState::ok || state == ChannelState::off ? kInfo : kWarning,
            m_config.name + ": " + ChannelStateName(state));
    m_sink.OnChannelState(m_config.name, state);
}

void GatewayChannel::Log(bool fault, const std::string& text) {
    Journal(fault ? kWarning : kInfo, m_config.name + ": " + text);
    m_sink.OnLog(m_config.name, fault, text);
    if (!m_pending.empty()) ControlLine(text, Clock::now());
}

bool GatewayChannel::OwnsEvent(const HostEvent& e) const {
    return e.caller >= 0 ? e.caller == m_index
                         : std::find(m_scanThreads.begin(), m_scanThreads.end(), e.thread) !=
                               m_scanThreads.end();
}

void GatewayChannel::Tick(Clock::time_point now) {
    if (!m_on || !m_session || m_session->Handle() < 0 || Busy()) return;
    // writes: served, or out of time
    // (one write pending an output at most: a new one finishes the one before)
    // (taken: the outcome waits for the driver's lines of it)
    const std::vector<HostTag*> done = m_session->TakeDoneWrites();
    for (size_t i = 0; i < m_pending.size();) {
        PendingWrite& w = m_pending[i];
        if (w.phase == PendingWrite::waiting &&
            std::find(done.begin(), done.end(), w.tag) != done.end())
            Taken(w, now);
        if (w.phase == PendingWrite::waiting && now >= w.deadline)
            Finish(m_pending.begin() + static_cast<std::ptrdiff_t>(i), WriteResult::timeout);
        else if (w.phase != PendingWrite::waiting && now >= w.verdictBy)
            Finish(m_pending.begin() + static_cast<std::ptrdiff_t>(i), WriteResult::noReply);
        else
            ++i;
    }

    int32_t c[4] = {0, 0, 0, 0};
    const int32_t summary = m_session->Status(nullptr, c);
    int faulted = 0, enabled = 0;
    int64_t work = 0;
    for (Station& s : m_stations) {
        StationState st;
        int32_t n[4] = {0, 0, 0, 0};
        const int32_t r = m_session->Status(s.cp949.c_str(), n);
        st.controls = n[0];
        st.controlFailures = n[1];
        st.polls = n[2];
        st.pollFailures = n[3];
        work += st.controls + st.polls;
        // (the summary is -1 for a channel switched off, and for one whose
        // stations are all disabled: only the station's own answer tells)
        st.state = r < 0                         ? StationHealth::disabled
                   : r > 0                       ? StationHealth::fault
                   : st.polls + st.controls == 0 ? StationHealth::unknown
                                                 : StationHealth::ok;
        if (r >= 0) ++enabled;
        if (r > 0) ++faulted;
        // told at once when its state or a failure count changes; the
        // counts of transactions alone follow with the periodic republish
        const bool changed = !s.told || st.state != s.last.state ||
                             st.controlFailures != s.last.controlFailures ||
                             st.pollFailures != s.last.pollFailures;
        s.last = st;
        if (changed) {
            s.told = true;
            m_sink.OnStation(m_config.name, s.name, st);
        }
    }
    if (work != m_lastWork) {
        m_lastWork = work;
        m_lastProgress = now;
    }
    if (summary >= 0) CheckPort(now, faulted, enabled);
    TellState(m_portLost    ? ChannelState::portLost
              : summary < 0 ? ChannelState::off
              : summary > 0 ? ChannelState::fault
                            : ChannelState::ok);
}

void GatewayChannel::CheckPort(Clock::time_point now, int faulted, int enabled) {
    if (m_reopen.valid()) {
        if (m_reopen.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
        const bool opened = m_reopen.get() == 0;
        if (!opened && !m_portLost) {
            Log(true, "gateway: the port does not open: retrying");
        } else if (opened && m_portLost) {
            Log(false, "gateway: the port is open again: the line is back");
        }
        m_portLost = !opened;
        m_nextReopen = now + std::chrono::milliseconds(m_backoff.Next());
        return;
    }
    const bool allFaulted = enabled > 0 && faulted == enabled;
    if (!allFaulted && !m_portLost) {
        m_backoff.Reset();
        return;
    }
    if (!m_backoff.Begun()) {  // every station fails: give the line a moment, then reopen it
        m_nextReopen = now + std::chrono::milliseconds(m_backoff.Next());
        return;
    }
    if (now < m_nextReopen) return;
    std::string why;
    if (m_prepare && !m_prepare(m_port, &why)) {
        if (why != m_lastPortRefusal) Log(true, "gateway: not reopened: " + why + ": retrying");
        m_lastPortRefusal = why;
        m_nextReopen = now + std::chrono::milliseconds(m_backoff.Next());
        return;
    }
    m_lastPortRefusal.clear();
    // slot 3 waits for a pass in progress (seconds with silent stations): not on this thread
    CHostSession* session = m_session.get();
    const int index = m_index;
    ++m_reopens;
    m_reopen = std::async(std::launch::async, [session, index] {
        CallerScope caller(index);
        return session->Start();
    });
}

void GatewayChannel::ForgetStations() {
    for (Station& s : m_stations) {
        if (!s.told || s.last.state == StationHealth::unknown) continue;
        s.last.state = StationHealth::unknown;
        m_sink.OnStation(m_config.name, s.name, s.last);
    }
}

void GatewayChannel::RetellStations() {
    for (Station& s : m_stations)
        if (s.told) m_sink.OnStation(m_config.name, s.name, s.last);
}

std::string GatewayChannel::Description() const {
    nlohmann::json stations = nlohmann::json::array(), loose = nlohmann::json::array();
    for (const Station& st : m_stations)
        stations.push_back(
            {{"name", st.name}, {"number", st.number}, {"tags", nlohmann::json::array()}});
    const std::vector<HostTag>& tags = m_session->Tags();
    for (size_t i = 0; i < tags.size(); ++i) {
        const bool output = m_isOutput[i];
        nlohmann::json t = {
            {"name", tags[i].name},
            {"kind", output ? "output" : "input"},
            {"bit", m_tagBit[i] >= 0 ? nlohmann::json(m_tagBit[i]) : nlohmann::json()},
            {"accepted", tags[i].handle >= 0},
            {"topic", topic::Value(m_config.name, tags[i].name)}};
        if (output) {
            t["set"] = topic::Command(m_config.name, tags[i].name);
            t["result"] = topic::Result(m_config.name, tags[i].name);
        }
        if (m_tagStation[i] >= 0)
            stations[static_cast<size_t>(m_tagStation[i])]["tags"].push_back(std::move(t));
        else
            loose.push_back(std::move(t));
    }
    return JsonText({{"channel", m_config.name}, {"stations", stations}, {"tags", loose}});
}

void GatewayChannel::RetellStates() {
    if (m_stateTold) m_sink.OnChannelState(m_config.name, m_state);
    RetellStations();
}

void GatewayChannel::RetellAll() {
    if (m_session) m_sink.OnDescription(m_config.name, Description());
    RetellStates();
    if (!m_session) return;
    for (const HostTag& t : m_session->Tags())
        if (t.hasValue) m_sink.OnValue(m_config.name, t.name, t.value);
}

bool GatewayChannel::MakesProgress(Clock::time_point now) const {
    if (!m_session || m_portLost || m_state == ChannelState::off || Busy()) return true;
    bool anyEnabled = false;
    for (const Station& s : m_stations)
        anyEnabled = anyEnabled || s.last.state != StationHealth::disabled;
    return !anyEnabled || now - m_lastProgress < m_stallLimit;
}
