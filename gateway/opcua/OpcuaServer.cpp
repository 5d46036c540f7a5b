#include "gateway/opcua/OpcuaServer.h"

#include <crypt.h>
#include <open62541/plugin/accesscontrol_default.h>
#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/log.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/server.h>
#include <open62541/server_config_default.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "gateway/config/WebUsersFile.h"
#include "gateway/core/Files.h"
#include "gateway/core/Journal.h"
#include "gateway/opcua/OpcuaCertificates.h"
#include "krandolix_version.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kDrainMs = 10;
// the most password checks (crypt, tens of milliseconds each) a second: a
// flood of wrong passwords cannot keep the server's thread hashing
constexpr int kChecksPerSecond = 20;
// how long the kernel keeps a connection whose client takes nothing of what
// is sent (see BoundStalledClients)
constexpr unsigned kStalledClientMs = 5000;

// open62541 1.4 sends a response whole, waiting without end while a client
// that stopped reading leaves its socket full: on its one thread every other
// client would wait too. The kernel gives up on such a connection after
// kStalledClientMs instead (TCP_USER_TIMEOUT, which bounds zero-window
// probing as well; accepted sockets take it from their listener), the send
// fails and the server's thread goes on. The listeners are the library's:
// found among the process's sockets by their port. The number set.
int BoundStalledClients(int port) {
    int count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec)) {
        const int fd = std::atoi(it->path().filename().c_str());
        sockaddr_storage address;
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        int bound = -1;
        if (address.ss_family == AF_INET)
            bound = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        else if (address.ss_family == AF_INET6)
            bound = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
        int listening = 0;
        socklen_t size = sizeof listening;
        if (bound != port ||
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
            continue;
        unsigned timeout = kStalledClientMs;
        if (::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout) == 0) ++count;
    }
    return count;
}

std::string Text(const UA_String& s) {
    return std::string(reinterpret_cast<const char*>(s.data), s.length);
}

// Who a session is: set at its activation, read in its calls.
struct SessionUser {
    std::string name;
    WebRole role = WebRole::viewer;
    bool anonymous = false;
    std::string address;  // the client's, as its connection came
};

std::string IdText(const UA_NodeId& id) {
    UA_String out = UA_STRING_NULL;
    UA_NodeId_print(&id, &out);
    std::string text = Text(out);
    UA_String_clear(&out);
    return text;
}

// The first fields of open62541 1.4's asynchronous operation and of the
// request it belongs to (src/server/ua_server_async.h): its asynchronous
// method calls reach no access control (the library checks executability on
// its synchronous path only), so the session of a Command() is read from
// there, and checked against the sessions seen activated; an operation that
// does not look like one (another layout) matches none and is refused.
struct AsyncOperationHead {
    void* next;
    void** previous;
    UA_CallMethodRequest request;
    UA_CallMethodResult response;
    size_t index;
    const void* parent;
};
struct AsyncResponseHead {
    void* next;
    void** previous;
    UA_UInt32 requestId;
    UA_NodeId sessionId;
};

}  // namespace

// What the loop tells the server's thread.
struct Event {
    enum Kind {
        describe, tagValue, station, channel, writeResult, keep, asyncDone, certificate, reopens
    } kind;
    explicit Event(Kind k) : kind(k) {}
    std::string channelName, target, json;
    std::string cert, key;  // certificate: DER, the new ones
    double value = 0;
    StationState state;
    ChannelState channelState = ChannelState::off;
    CommandReply reply;
    std::set<std::string> names;
    void* async = nullptr;
    UA_DateTime when = 0;
};

// A client's write or call, on its way to the loop.
struct Call {
    GatewayCommand command;
    bool taken = false, answered = false;
    CommandReply reply;
    void* async = nullptr;  // Command(): the server's operation, answered later
};

struct OpcuaServer::Impl {
    GatewayConfig config;
    std::function<void()> wake;
    UA_Server* server = nullptr;
    std::thread thread;
    std::atomic<bool> running{false};

    // between the loop and the server's thread
    mutable std::mutex lock;
    std::condition_variable answered;
    std::vector<Event> events;
    std::deque<std::shared_ptr<Call>> calls;
    std::map<uint64_t, void*> asyncByTicket;  // the loop's: queued Command()s
    bool stopping = false;
    std::vector<WebUser> users;  // under lock (replaced at a reload)

    // figures: written by the server's thread, read by the loop
    std::atomic<uint64_t> sessions{0}, sessionsRejected{0}, sessionsTimedOut{0}, channels{0},
        channelsRejected{0}, writes{0}, calls_{0}, refused{0}, notifications{0},
        subscriptions{0}, monitoredItems{0}, unactivatedClosed{0}, certificatesRejected{0};
    std::map<std::pair<std::string, bool>, uint64_t> requests;  // under lock
    std::map<std::string, uint64_t> reopensTold;                // the loop's

    // the server's thread alone: the address space's model
    struct Tag {
        std::string channel, station, name, id;
        bool output = false;
        int bit = -1;
        bool has = false, value = false;
        UA_DateTime when = 0;
        std::string lastResult;
    };
    struct Station {
        std::string channel, name, id;
        StationState state;
        bool told = false;
    };
    struct Channel {
        std::string name, description;
        ChannelState state = ChannelState::off;
        bool told = false;
        uint64_t reopens = 0;
        std::map<std::string, Station> stations;
        std::map<std::string, Tag> tags;  // by tag name
    };
    std::map<std::string, Channel> model;
    std::map<std::string, std::pair<std::string, std::string>> nodeTag;  // node id -> channel, tag
    std::map<std::string, std::pair<std::string, std::string>> nodeStationMethod;  // -> channel, station
    std::map<std::string, std::string> methodAction;  // station method node id -> action word
    // the sessions activated, by id: who each is (anonymous: no user)
    std::map<std::string, SessionUser> sessionUsers;
    // the clients' addresses by connection, as the stack's TCP tells them
    std::map<uintptr_t, std::string> addresses;
    // each session's service counts as last seen (the stack's diagnostics)
    std::map<std::string, std::vector<UA_ServiceCounterDataType>> sessionCounts;
    Clock::time_point nextWatch;
    bool listenersBounded = false;
    std::string certificate;  // the server's, as it serves it (DER)
    int checksThisSecond = 0;
    Clock::time_point checkSecond;

    bool Build(std::string* error);
    void Run();
    void Drain();
    // Once a second: the sessions' subscriptions and service counts, and a
    // session never activated closed after kUnactivatedSeconds.
    void Watch();
    // The sessions' figures taken from the stack (also as a session closes,
    // so that its last requests count): the sessions idle too long without
    // activation into *idle.
    void Count(std::vector<UA_NodeId>* idle);
    void Apply(Event& e);
    void Describe(const std::string& channel, const std::string& json);
    void RemoveChannel(const std::string& channel);
    void AddChannelNodes(Channel& ch);
    void WriteTag(const Tag& t);
    void WriteStation(const Station& st, UA_StatusCode status = UA_STATUSCODE_GOOD);
    void WriteChannel(const Channel& ch, UA_StatusCode status = UA_STATUSCODE_GOOD);
    // A node that goes: its last value told as Bad_NodeIdUnknown (a
    // subscription to it hears so), then deleted with what is below it.
    void ForgetTag(const Tag& t);
    void ForgetStation(const Station& st);
    void AddStationNodes(const Station& st);
    void AddTagNodes(const Tag& t);
    UA_StatusCode TagStatus(const Channel& ch, const Tag& t) const;
    void SetValue(const std::string& id, const UA_Variant& v, UA_StatusCode status,
                  UA_DateTime when);
    template <typename T>
    void SetScalar(const std::string& id, T value, const UA_DataType* type,
                   UA_StatusCode status = UA_STATUSCODE_GOOD, UA_DateTime when = 0) {
        UA_Variant v;
        UA_Variant_setScalar(&v, &value, type);
        SetValue(id, v, status, when);
    }
    void SetText(const std::string& id, const std::string& text, UA_DateTime when = 0) {
        UA_String s = UA_STRING(const_cast<char*>(text.c_str()));
        SetScalar(id, s, &UA_TYPES[UA_TYPES_STRING], UA_STATUSCODE_GOOD, when);
    }
    void AddVariable(const std::string& id, const std::string& parent, const std::string& name,
                     const UA_DataType* type, const void* value, bool property = false);
    void AddMethod(const std::string& id, const std::string& parent, const std::string& name,
                   bool async);
    // What the loop tells, queued for the server's thread.
    void Push(Event&& e) {
        std::lock_guard<std::mutex> hold(lock);
        events.push_back(std::move(e));
    }
    void TakeAsyncOperations();
    // A write to an output of a channel that is off or of a station that is
    // disabled: refused before the entry, with its reason.
    void OutOfService(GatewayCommand* c) const;
    // A client's command, through the loop: its answer, or a halt.
    CommandReply Hand(GatewayCommand command, bool* halted);
    // "user@address" (or "anonymous@address") of a session.
    std::string Who(const UA_NodeId* sessionId, const void* sessionContext) const;
    bool Login(const std::string& name, const std::string& password, SessionUser* user);
};

namespace {

OpcuaServer::Impl* g_impl = nullptr;  // open62541's callbacks carry no context of ours for PKI

// ---- the clients' addresses -------------------------------------------------------
//
// The stack's TCP tells a new connection's remote address to the server,
// which drops it: the TCP connection manager's openConnection is wrapped so
// that the server's connection callback passes through ours, which notes
// the address and, while the server handles a message, its connection (the
// activation of a session happens within: that is how a session gets its
// client's address).

UA_StatusCode (*g_openTcp)(UA_ConnectionManager*, const UA_KeyValueMap*, void*, void*,
                           UA_ConnectionManager_connectionCallback) = nullptr;
UA_ConnectionManager_connectionCallback g_serverConnection = nullptr;
uintptr_t g_connection = 0;  // whose message the server's thread handles now
UA_ConnectionManager* g_tcp = nullptr;  // the stack's TCP (see EndConnectionsGone)

void SeenConnection(UA_ConnectionManager* cm, uintptr_t id, void* application, void** context,
                    UA_ConnectionState state, const UA_KeyValueMap* params, UA_ByteString msg);

UA_StatusCode OpenTcp(UA_ConnectionManager* cm, const UA_KeyValueMap* params, void* application,
                      void* context, UA_ConnectionManager_connectionCallback callback) {
    g_serverConnection = callback;
    g_tcp = cm;
    return g_openTcp(cm, params, application, context, SeenConnection);
}

void SeenConnection(UA_ConnectionManager* cm, uintptr_t id, void* application, void** context,
                    UA_ConnectionState state, const UA_KeyValueMap* params, UA_ByteString msg) {
    if (g_impl && state == UA_CONNECTIONSTATE_ESTABLISHED && params) {
        const auto* address = static_cast<const UA_String*>(UA_KeyValueMap_getScalar(
            params, UA_QUALIFIEDNAME(0, const_cast<char*>("remote-address")),
            &UA_TYPES[UA_TYPES_STRING]));
        if (address && address->length > 0 && address->length < 200)
            g_impl->addresses[id] = std::string(reinterpret_cast<const char*>(address->data),
                                                address->length);
    }
    const uintptr_t before = g_connection;
    g_connection = id;
    g_serverConnection(cm, id, application, context, state, params, msg);
    g_connection = before;
    if (g_impl && state == UA_CONNECTIONSTATE_CLOSING) g_impl->addresses.erase(id);
}

// open62541 1.4 takes a receive of 0 (the client has closed its side) for
// "try again" when errno still holds EAGAIN or EINTR from an earlier call of
// its thread (a send into a full socket leaves it so): the connection stays,
// half closed, for good, and wakes the thread at every turn. The connections
// whose client has gone with nothing left unread are ended here, as the stack
// ends one it sees go.
void EndConnectionsGone() {
    if (!g_impl || !g_tcp) return;
    std::vector<std::pair<uintptr_t, std::string>> gone;
    for (const auto& [id, address] : g_impl->addresses) {
        pollfd p{static_cast<int>(id), POLLRDHUP, 0};
        if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLNVAL)) continue;
        char byte;
        if ((p.revents & (POLLHUP | POLLERR)) ||
            ::recv(p.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            gone.emplace_back(id, address);
    }
    for (const auto& [id, address] : gone) {
        Journal(kInfo, "opcua: " + address + " has gone: its connection is ended");
        g_tcp->closeConnection(g_tcp, id);
    }
}

// Puts SeenConnection between the stack's TCP and the server (before the
// server starts to listen): false when there is no TCP connection manager.
bool WatchConnections(UA_Server* server) {
    UA_EventLoop* el = UA_Server_getConfig(server)->eventLoop;
    if (!el) return false;
    for (UA_EventSource* es = el->eventSources; es; es = es->next) {
        if (es->eventSourceType != UA_EVENTSOURCETYPE_CONNECTIONMANAGER) continue;
        auto* cm = reinterpret_cast<UA_ConnectionManager*>(es);
        const UA_String tcp = UA_STRING(const_cast<char*>("tcp"));
        if (!UA_String_equal(&cm->protocol, &tcp) || cm->openConnection == OpenTcp) continue;
        g_openTcp = cm->openConnection;
        cm->openConnection = OpenTcp;
        return true;
    }
    return false;
}

// ---- access control: the page's users, their roles ------------------------------

UA_StatusCode (*g_activate)(UA_Server*, UA_AccessControl*, const UA_EndpointDescription*,
                            const UA_ByteString*, const UA_NodeId*, const UA_ExtensionObject*,
                            void**) = nullptr;

UA_StatusCode LoginCallback(const UA_String* userName, const UA_ByteString* password, size_t,
                            const UA_UsernamePasswordLogin*, void** sessionContext,
                            void* loginContext) {
    auto* impl = static_cast<OpcuaServer::Impl*>(loginContext);
    auto user = std::make_unique<SessionUser>();
    if (!impl->Login(Text(*userName), Text(*password), user.get()))
        return UA_STATUSCODE_BADUSERACCESSDENIED;
    *sessionContext = user.release();
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode Activate(UA_Server* server, UA_AccessControl* ac,
                       const UA_EndpointDescription* endpoint,
                       const UA_ByteString* secureChannelRemoteCertificate,
                       const UA_NodeId* sessionId, const UA_ExtensionObject* token,
                       void** sessionContext) {
    // a session activated again (another user): the old user goes
    delete static_cast<SessionUser*>(*sessionContext);
    *sessionContext = nullptr;
    const UA_StatusCode s = g_activate(server, ac, endpoint, secureChannelRemoteCertificate,
                                       sessionId, token, sessionContext);
    if (g_impl) {
        SessionUser seen;
        if (const auto* user = static_cast<const SessionUser*>(*sessionContext)) {
            seen = *user;
        } else {
            seen.name = "anonymous";
            seen.anonymous = true;
        }
        auto address = g_impl->addresses.find(g_connection);
        if (address != g_impl->addresses.end()) seen.address = address->second;
        if (s == UA_STATUSCODE_GOOD)
            g_impl->sessionUsers[IdText(*sessionId)] = seen;
        else
            g_impl->sessionUsers.erase(IdText(*sessionId));
    }
    return s;
}

void CloseSession(UA_Server*, UA_AccessControl*, const UA_NodeId* sessionId, void* sessionContext) {
    delete static_cast<SessionUser*>(sessionContext);
    if (!g_impl) return;
    g_impl->sessionUsers.erase(IdText(*sessionId));
    if (g_impl->running) g_impl->Count(nullptr);  // (its figures are still there)
}

bool MayOperate(const void* sessionContext) {
    if (const auto* user = static_cast<const SessionUser*>(sessionContext))
        return user->role != WebRole::viewer;
    return g_impl && g_impl->config.opcua.anonymous == "operator";
}

UA_Byte AccessLevel(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext,
                    const UA_NodeId*, void*) {
    return MayOperate(sessionContext)
               ? static_cast<UA_Byte>(UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE)
               : static_cast<UA_Byte>(UA_ACCESSLEVELMASK_READ);
}

UA_Boolean Executable(UA_Server*, UA_AccessControl*, const UA_NodeId*, void* sessionContext,
                      const UA_NodeId*, void*) {
    return MayOperate(sessionContext);
}

UA_Boolean ExecutableOnObject(UA_Server*, UA_AccessControl*, const UA_NodeId*,
                              void* sessionContext, const UA_NodeId*, void*, const UA_NodeId*,
                              void*) {
    return MayOperate(sessionContext);
}

UA_UInt32 RightsMask(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const UA_NodeId*,
                     void*) {
    return 0;  // no client changes a node's attributes other than a value
}

UA_Boolean Never(UA_Server*, UA_AccessControl*, const UA_NodeId*, void*, const void*) {
    return false;
}

// ---- certificates: a refused client's certificate kept in rejected/ -------------

UA_StatusCode (*g_verify)(const UA_CertificateVerification*, const UA_ByteString*) = nullptr;

UA_StatusCode VerifyAndKeep(const UA_CertificateVerification* cv, const UA_ByteString* cert) {
    const UA_StatusCode status = g_verify(cv, cert);
    if (status != UA_STATUSCODE_GOOD && g_impl) {
        g_impl->certificatesRejected++;
        const std::string der(reinterpret_cast<const char*>(cert->data), cert->length);
        const std::string kept = KeepRejectedCertificate(g_impl->config.opcua.trustDir, der);
        if (!kept.empty())
            Journal(kWarning, std::string("opcua: a client's certificate was refused (") +
                                  UA_StatusCode_name(status) + "); kept in " + kept +
                                  ": move it to trusted/ to trust it");
    }
    return status;
}

// ---- the address space's callbacks ----------------------------------------------

UA_StatusCode ReadOutput(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*,
                         UA_Boolean includeSourceTimeStamp, const UA_NumericRange*,
                         UA_DataValue* value) {
    // an output is a command: it reads false (as its coil does on Modbus)
    UA_Boolean off = false;
    UA_Variant_setScalarCopy(&value->value, &off, &UA_TYPES[UA_TYPES_BOOLEAN]);
    value->hasValue = true;
    if (includeSourceTimeStamp) {
        value->sourceTimestamp = UA_DateTime_now();
        value->hasSourceTimestamp = true;
    }
    return UA_STATUSCODE_GOOD;
}

UA_StatusCode WriteOutput(UA_Server*, const UA_NodeId* sessionId, void* sessionContext,
                          const UA_NodeId* nodeId, void*, const UA_NumericRange* range,
                          const UA_DataValue* value) {
    OpcuaServer::Impl& impl = *g_impl;
    const std::string id = Text(nodeId->identifier.string);
    auto found = impl.nodeTag.find(id);
    if (found == impl.nodeTag.end()) return UA_STATUSCODE_BADNODEIDUNKNOWN;
    if (range) return UA_STATUSCODE_BADINDEXRANGEINVALID;
    impl.writes++;
    GatewayCommand c;
    c.kind = GatewayCommand::write;
    c.ticket.origin = Origin::opcua;
    c.ticket.who = impl.Who(sessionId, sessionContext);
    c.channel = found->second.first;
    c.target = found->second.second;
    // the payload rule of every way in: true asks for 1; false, and anything
    // that is not a Boolean, is refused
    if (value->hasValue && UA_Variant_hasScalarType(&value->value, &UA_TYPES[UA_TYPES_BOOLEAN]))
        c.payload = *static_cast<const UA_Boolean*>(value->value.data) ? "1" : "0";
    else
        c.payload = "a value that is not a Boolean";
    impl.OutOfService(&c);
    bool halted = false;
    const CommandReply reply = impl.Hand(std::move(c), &halted);
    if (halted) return UA_STATUSCODE_BADSERVERHALTED;
    const UA_StatusCode status = OpcuaStatusFor(reply);
    if (status != UA_STATUSCODE_GOOD) impl.refused++;
    return status;
}

UA_StatusCode StationMethod(UA_Server*, const UA_NodeId* sessionId, void* sessionContext,
                            const UA_NodeId* methodId, void*, const UA_NodeId*, void*, size_t,
                            const UA_Variant*, size_t outputSize, UA_Variant* output) {
    OpcuaServer::Impl& impl = *g_impl;
    const std::string id = Text(methodId->identifier.string);
    auto found = impl.nodeStationMethod.find(id);
    if (found == impl.nodeStationMethod.end()) return UA_STATUSCODE_BADMETHODINVALID;
    impl.calls_++;
    GatewayCommand c;
    c.kind = GatewayCommand::station;
    c.ticket.origin = Origin::opcua;
    c.ticket.who = impl.Who(sessionId, sessionContext);
    c.channel = found->second.first;
    c.target = found->second.second;
    c.payload = impl.methodAction[id];
    bool halted = false;
    const CommandReply reply = impl.Hand(std::move(c), &halted);
    if (halted) return UA_STATUSCODE_BADSERVERHALTED;
    if (outputSize > 0) {
        UA_String text = UA_STRING(const_cast<char*>(WriteResultName(reply.result)));
        UA_Variant_setScalarCopy(&output[0], &text, &UA_TYPES[UA_TYPES_STRING]);
    }
    const UA_StatusCode status = OpcuaStatusFor(reply);
    if (status != UA_STATUSCODE_GOOD) impl.refused++;
    return status;
}

// Command() is asynchronous: this is never called for it, but a method needs one.
UA_StatusCode NotHere(UA_Server*, const UA_NodeId*, void*, const UA_NodeId*, void*,
                      const UA_NodeId*, void*, size_t, const UA_Variant*, size_t, UA_Variant*) {
    return UA_STATUSCODE_BADINTERNALERROR;
}

void DrainCallback(UA_Server*, void* data) {
    static_cast<OpcuaServer::Impl*>(data)->Drain();
}

// open62541's own log lines, warnings and worse, to the journal: at most 20
// in 10 s (a client sending garbage makes one a connection), then how many
// were left out. Quiet while the settings are made (the stack warns of
// access control not yet set up).
bool g_quietLog = false;
void LogLine(void*, UA_LogLevel level, UA_LogCategory, const char* format, va_list args) {
    if (level < UA_LOGLEVEL_WARNING || g_quietLog) return;
    static std::mutex lock;
    static Clock::time_point windowStart;
    static int inWindow = 0, leftOut = 0;
    std::string note;
    {
        std::lock_guard<std::mutex> hold(lock);
        const auto now = Clock::now();
        if (now - windowStart > std::chrono::seconds(10)) {
            if (leftOut > 0) note = "opcua: " + std::to_string(leftOut) + " more lines of the stack left out";
            windowStart = now;
            inWindow = leftOut = 0;
        }
        if (++inWindow > 20) {
            ++leftOut;
            return;
        }
    }
    if (!note.empty()) Journal(kWarning, note);
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    Journal(level >= UA_LOGLEVEL_ERROR ? kError : kWarning, std::string("opcua: ") + text);
}

}  // namespace

uint32_t OpcuaStatusFor(const CommandReply& reply) {
    switch (reply.result) {
        case WriteResult::queued:
        case WriteResult::done:
            return UA_STATUSCODE_GOOD;
        case WriteResult::busy:
            return UA_STATUSCODE_BADRESOURCEUNAVAILABLE;
        case WriteResult::noReply:
        case WriteResult::timeout:
            return UA_STATUSCODE_BADTIMEOUT;
        case WriteResult::cancelled:
            return UA_STATUSCODE_BADOUTOFSERVICE;
        case WriteResult::refused:
            break;
    }
    switch (reply.why) {
        case Refusal::readOnly:
            return UA_STATUSCODE_BADUSERACCESSDENIED;
        case Refusal::payload:
            return UA_STATUSCODE_BADTYPEMISMATCH;
        case Refusal::notOutput:
            return UA_STATUSCODE_BADNOTWRITABLE;
        case Refusal::unknownChannel:
        case Refusal::unknownTarget:
            return UA_STATUSCODE_BADNODEIDUNKNOWN;
        case Refusal::driver:
            return UA_STATUSCODE_BADOUTOFSERVICE;
        default:
            return UA_STATUSCODE_BADINVALIDARGUMENT;
    }
}

const char* OpcuaLibraryVersion() {
#define KRANDOLIX_TEXT(x) #x
#define KRANDOLIX_NUMBER(x) KRANDOLIX_TEXT(x)
    return "open62541 " KRANDOLIX_NUMBER(UA_OPEN62541_VER_MAJOR) "." KRANDOLIX_NUMBER(
        UA_OPEN62541_VER_MINOR) "." KRANDOLIX_NUMBER(UA_OPEN62541_VER_PATCH);
}

std::string OpcuaTagId(const std::string& channel, const std::string& station,
                       const std::string& tag) {
    return station.empty() ? channel + "." + tag : channel + "." + station + "." + tag;
}

// ---- the server's thread ---------------------------------------------------------

std::string OpcuaServer::Impl::Who(const UA_NodeId* sessionId, const void* sessionContext) const {
    if (sessionId) {
        auto found = sessionUsers.find(IdText(*sessionId));
        if (found != sessionUsers.end())
            return found->second.address.empty() ? found->second.name
                                                 : found->second.name + "@" + found->second.address;
    }
    if (const auto* user = static_cast<const SessionUser*>(sessionContext)) return user->name;
    return "anonymous";
}

bool OpcuaServer::Impl::Login(const std::string& name, const std::string& password,
                              SessionUser* user) {
    WebUser found;
    {
        std::lock_guard<std::mutex> hold(lock);
        bool any = false;
        for (const WebUser& u : users)
            if (u.name == name) {
                found = u;
                any = true;
            }
        if (!any) return false;
    }
    const auto now = Clock::now();
    if (now - checkSecond >= std::chrono::seconds(1)) {
        checkSecond = now;
        checksThisSecond = 0;
    }
    if (++checksThisSecond > kChecksPerSecond) return false;
    bool ok = false;
    if (!found.hash.empty()) {
        auto data = std::make_unique<crypt_data>();
        std::memset(data.get(), 0, sizeof(crypt_data));
        const char* hashed = crypt_r(password.c_str(), found.hash.c_str(), data.get());
        ok = hashed && hashed[0] != '*' && found.hash == hashed;
    } else {
        ok = !found.plain.empty() && found.plain == password;
    }
    if (!ok) return false;
    user->name = name;
    user->role = found.role;
    return true;
}

CommandReply OpcuaServer::Impl::Hand(GatewayCommand command, bool* halted) {
    auto call = std::make_shared<Call>();
    call->command = std::move(command);
    std::unique_lock<std::mutex> hold(lock);
    if (stopping) {
        *halted = true;
        return {};
    }
    calls.push_back(call);
    hold.unlock();
    wake();
    hold.lock();
    // The loop answers at once; should it not within 5 s, a call it has not
    // taken yet is withdrawn (never executed: a true Bad_Timeout), one it has
    // taken is waited for.
    const auto giveUp = Clock::now() + std::chrono::seconds(5);
    while (!call->answered && !stopping) {
        if (answered.wait_until(hold, giveUp) == std::cv_status::timeout && !call->taken) {
            calls.erase(std::find(calls.begin(), calls.end(), call));
            CommandReply late;
            late.why = Refusal::driver;
            late.detail = "the gateway did not take it in time";
            late.result = WriteResult::timeout;
            return late;
        }
    }
    if (!call->answered) {
        *halted = true;
        return {};
    }
    return call->reply;
}

void OpcuaServer::Impl::OutOfService(GatewayCommand* c) const {
    const auto ch = model.find(c->channel);
    if (ch == model.end()) return;
    const auto t = ch->second.tags.find(c->target);
    const auto st = t == ch->second.tags.end() ? ch->second.stations.end()
                                               : ch->second.stations.find(t->second.station);
    if (ch->second.state == ChannelState::off) {
        c->refused = Refusal::driver;
        c->refusedDetail = "the channel is off";
    } else if (st != ch->second.stations.end() &&
               st->second.state.state == StationHealth::disabled) {
        c->refused = Refusal::driver;
        c->refusedDetail = "the station is disabled";
    }
}

void OpcuaServer::Impl::TakeAsyncOperations() {
    UA_AsyncOperationType type;
    const UA_AsyncOperationRequest* request = nullptr;
    void* context = nullptr;
    UA_DateTime timeout;
    while (UA_Server_getAsyncOperationNonBlocking(server, &type, &request, &context, &timeout)) {
        if (type != UA_ASYNCOPERATIONTYPE_CALL) continue;
        const UA_CallMethodRequest& r = request->callMethodRequest;
        calls_++;
        auto call = std::make_shared<Call>();
        call->async = context;
        GatewayCommand& c = call->command;
        c.kind = GatewayCommand::write;
        c.ticket.origin = Origin::opcua;
        c.payload = "1";
        // whose call it is (see AsyncOperationHead), and whether they may
        const auto* op = static_cast<const AsyncOperationHead*>(context);
        const SessionUser* user = nullptr;
        if (request == reinterpret_cast<const UA_AsyncOperationRequest*>(&op->request) && op->parent) {
            const auto* parent = static_cast<const AsyncResponseHead*>(op->parent);
            auto found = sessionUsers.find(IdText(parent->sessionId));
            if (found != sessionUsers.end()) user = &found->second;
        }
        const bool may = user && (user->anonymous ? config.opcua.anonymous == "operator"
                                                  : user->role != WebRole::viewer);
        if (!may) {
            // answered here: the loop never sees it
            UA_AsyncOperationResponse response;
            std::memset(&response, 0, sizeof response);
            response.callMethodResult.statusCode = UA_STATUSCODE_BADUSERACCESSDENIED;
            UA_Server_setAsyncOperationResult(server, &response, context);
            refused++;
            continue;
        }
        c.ticket.who = user->address.empty() ? user->name : user->name + "@" + user->address;
        const std::string method =
            r.methodId.identifierType == UA_NODEIDTYPE_STRING ? Text(r.methodId.identifier.string)
                                                              : "";
        const std::string tagId = method.size() > 8 ? method.substr(0, method.size() - 8) : "";
        auto found = nodeTag.find(tagId);
        if (found == nodeTag.end()) {
            c.refused = Refusal::unknownTarget;
        } else {
            c.channel = found->second.first;
            c.target = found->second.second;
            OutOfService(&c);
        }
        std::lock_guard<std::mutex> hold(lock);
        calls.push_back(call);
    }
}

void OpcuaServer::Impl::Drain() {
    if (!listenersBounded) {
        listenersBounded = true;
        if (BoundStalledClients(config.opcua.port) == 0)
            Journal(kWarning, "opcua: the listener was not found: a client that stops reading "
                              "can hold the others until its connection ends");
    }
    TakeAsyncOperations();
    std::vector<Event> now;
    bool callsWaiting;
    {
        std::lock_guard<std::mutex> hold(lock);
        now.swap(events);
        callsWaiting = !calls.empty();
    }
    if (callsWaiting) wake();
    for (Event& e : now) Apply(e);
    const UA_ServerStatistics s = UA_Server_getStatistics(server);
    sessions = sessionUsers.size();  // (the activated ones, as the access control saw them)
    sessionsRejected = s.ss.rejectedSessionCount + s.ss.securityRejectedSessionCount;
    sessionsTimedOut = s.ss.sessionTimeoutCount;
    channels = s.scs.currentChannelCount;
    channelsRejected = s.scs.rejectedChannelCount;
    if (Clock::now() >= nextWatch) {
        nextWatch = Clock::now() + std::chrono::seconds(1);
        Watch();
    }
}

namespace {

// The services counted by name (the stack counts each session's requests by
// service and whether the service itself failed).
struct CountedService {
    const char* name;
    UA_ServiceCounterDataType UA_SessionDiagnosticsDataType::*counter;
};
using SD = UA_SessionDiagnosticsDataType;
constexpr CountedService kCountedServices[] = {
    {"read", &SD::readCount},
    {"write", &SD::writeCount},
    {"call", &SD::callCount},
    {"browse", &SD::browseCount},
    {"browse_next", &SD::browseNextCount},
    {"translate_browse_paths", &SD::translateBrowsePathsToNodeIdsCount},
    {"register_nodes", &SD::registerNodesCount},
    {"history_read", &SD::historyReadCount},
    {"create_subscription", &SD::createSubscriptionCount},
    {"modify_subscription", &SD::modifySubscriptionCount},
    {"delete_subscriptions", &SD::deleteSubscriptionsCount},
    {"create_monitored_items", &SD::createMonitoredItemsCount},
    {"modify_monitored_items", &SD::modifyMonitoredItemsCount},
    {"delete_monitored_items", &SD::deleteMonitoredItemsCount},
    {"set_monitoring_mode", &SD::setMonitoringModeCount},
    {"publish", &SD::publishCount},
    {"republish", &SD::republishCount},
    {"transfer_subscriptions", &SD::transferSubscriptionsCount},
    {"add_nodes", &SD::addNodesCount},
    {"delete_nodes", &SD::deleteNodesCount},
};
constexpr int kUnactivatedSeconds = 5;

}  // namespace

void OpcuaServer::Impl::Watch() {
    std::vector<UA_NodeId> idle;
    Count(&idle);
    for (UA_NodeId& id : idle) {
        if (UA_Server_closeSession(server, &id) == UA_STATUSCODE_GOOD) unactivatedClosed++;
        UA_NodeId_clear(&id);
    }
}

void OpcuaServer::Impl::Count(std::vector<UA_NodeId>* idle) {
    UA_Variant v;
    UA_Variant_init(&v);
    const UA_NodeId array = UA_NODEID_NUMERIC(
        0, UA_NS0ID_SERVER_SERVERDIAGNOSTICS_SESSIONSDIAGNOSTICSSUMMARY_SESSIONDIAGNOSTICSARRAY);
    if (UA_Server_readValue(server, array, &v) != UA_STATUSCODE_GOOD) return;
    if (!UA_Variant_hasArrayType(&v, &UA_TYPES[UA_TYPES_SESSIONDIAGNOSTICSDATATYPE])) {
        UA_Variant_clear(&v);
        return;
    }
    const auto* sd = static_cast<const SD*>(v.data);
    const UA_DateTime now = UA_DateTime_now();
    uint64_t subs = 0, items = 0;
    std::map<std::string, std::vector<UA_ServiceCounterDataType>> seen;
    std::map<std::pair<std::string, bool>, uint64_t> more;
    for (size_t i = 0; i < v.arrayLength; ++i) {
        const std::string id = IdText(sd[i].sessionId);
        subs += sd[i].currentSubscriptionsCount;
        items += sd[i].currentMonitoredItemsCount;
        std::vector<UA_ServiceCounterDataType>& counts = seen[id];
        const auto before = sessionCounts.find(id);
        for (size_t k = 0; k < std::size(kCountedServices); ++k) {
            const UA_ServiceCounterDataType& c = sd[i].*(kCountedServices[k].counter);
            UA_ServiceCounterDataType last{0, 0};
            if (before != sessionCounts.end() && k < before->second.size())
                last = before->second[k];
            counts.push_back(c);
            if (c.errorCount >= last.errorCount && c.totalCount >= last.totalCount &&
                c.totalCount - c.errorCount >= last.totalCount - last.errorCount) {
                if (c.errorCount > last.errorCount)
                    more[{kCountedServices[k].name, false}] += c.errorCount - last.errorCount;
                const uint64_t good = c.totalCount - c.errorCount,
                               wasGood = last.totalCount - last.errorCount;
                if (good > wasGood) more[{kCountedServices[k].name, true}] += good - wasGood;
            }
        }
        // a session nobody activated: made by a client that never signed in
        // (or an intruder filling the sessions): given back
        if (idle && !sessionUsers.count(id) &&
            now - sd[i].clientConnectionTime > kUnactivatedSeconds * UA_DATETIME_SEC) {
            UA_NodeId copy;
            UA_NodeId_copy(&sd[i].sessionId, &copy);
            idle->push_back(copy);
        }
    }
    UA_Variant_clear(&v);
    sessionCounts.swap(seen);
    subscriptions = subs;
    monitoredItems = items;
    {
        std::lock_guard<std::mutex> hold(lock);
        for (const auto& [key, n] : more) requests[key] += n;
    }
}

void OpcuaServer::Impl::Run() {
    auto nextSweep = Clock::now();
    while (running) {
        const auto begun = Clock::now();
        if (begun >= nextSweep) {
            nextSweep = begun + std::chrono::milliseconds(500);
            EndConnectionsGone();
        }
        errno = 0;  // (what the stack reads after a receive of 0: see EndConnectionsGone)
        UA_Server_run_iterate(server, true);
        // The stack waits in whole milliseconds: with less than one left
        // before its next timer it waits 0 and returns at once, again and
        // again until the timer is due (a tenth of a core with the 10 ms
        // drain). A millisecond's sleep after such a return instead.
        if (Clock::now() - begun < std::chrono::microseconds(100))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void OpcuaServer::Impl::SetValue(const std::string& id, const UA_Variant& v,
                                 UA_StatusCode status, UA_DateTime when) {
    UA_DataValue dv;
    UA_DataValue_init(&dv);
    dv.value = v;
    dv.hasValue = true;
    dv.status = status;
    dv.hasStatus = status != UA_STATUSCODE_GOOD;
    dv.sourceTimestamp = when ? when : UA_DateTime_now();
    dv.hasSourceTimestamp = true;
    UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(id.c_str()));
    UA_Server_writeDataValue(server, node, dv);
}

UA_StatusCode OpcuaServer::Impl::TagStatus(const Channel& ch, const Tag& t) const {
    if (ch.state == ChannelState::off) return UA_STATUSCODE_BADOUTOFSERVICE;
    const auto st = ch.stations.find(t.station);
    if (st != ch.stations.end() && st->second.state.state == StationHealth::disabled)
        return UA_STATUSCODE_BADOUTOFSERVICE;
    if (t.output) return UA_STATUSCODE_GOOD;
    if (!t.has) return UA_STATUSCODE_BADWAITINGFORINITIALDATA;
    if ((st != ch.stations.end() && st->second.state.state == StationHealth::fault) ||
        ch.state == ChannelState::portLost)
        return UA_STATUSCODE_BADCOMMUNICATIONERROR;
    return UA_STATUSCODE_GOOD;
}

void OpcuaServer::Impl::WriteTag(const Tag& t) {
    if (t.output) return;  // (read through its callback)
    const Channel& ch = model[t.channel];
    UA_Boolean b = t.value;
    SetScalar(t.id, b, &UA_TYPES[UA_TYPES_BOOLEAN], TagStatus(ch, t), t.when);
    notifications++;
}

void OpcuaServer::Impl::WriteStation(const Station& st, UA_StatusCode status) {
    const std::string& p = st.id;
    UA_String state = UA_STRING(const_cast<char*>(StationHealthName(st.state.state)));
    SetScalar(p + "/State", state, &UA_TYPES[UA_TYPES_STRING], status);
    SetScalar<UA_Boolean>(p + "/Enabled", st.state.state != StationHealth::disabled,
                          &UA_TYPES[UA_TYPES_BOOLEAN], status);
    const std::pair<const char*, int32_t> counters[] = {{"/Controls", st.state.controls},
                                                        {"/ControlFailures", st.state.controlFailures},
                                                        {"/Polls", st.state.polls},
                                                        {"/PollFailures", st.state.pollFailures}};
    for (const auto& [part, n] : counters)
        SetScalar<UA_UInt32>(p + part, static_cast<UA_UInt32>(n), &UA_TYPES[UA_TYPES_UINT32], status);
}

void OpcuaServer::Impl::WriteChannel(const Channel& ch, UA_StatusCode status) {
    UA_String state = UA_STRING(const_cast<char*>(ChannelStateName(ch.state)));
    SetScalar(ch.name + "/State", state, &UA_TYPES[UA_TYPES_STRING], status);
    SetScalar<UA_Int32>(ch.name + "/StateCode", static_cast<UA_Int32>(ch.state),
                        &UA_TYPES[UA_TYPES_INT32], status);
}

void OpcuaServer::Impl::AddVariable(const std::string& id, const std::string& parent,
                                    const std::string& name, const UA_DataType* type,
                                    const void* value, bool property) {
    UA_VariableAttributes va = UA_VariableAttributes_default;
    va.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name.c_str()));
    va.dataType = type->typeId;
    va.valueRank = UA_VALUERANK_SCALAR;
    va.accessLevel = UA_ACCESSLEVELMASK_READ;
    UA_Variant_setScalar(&va.value, const_cast<void*>(value), type);
    UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(id.c_str()));
    UA_NodeId parentId = UA_NODEID_STRING(1, const_cast<char*>(parent.c_str()));
    UA_Server_addVariableNode(
        server, node, parentId,
        UA_NODEID_NUMERIC(0, property ? UA_NS0ID_HASPROPERTY : UA_NS0ID_HASCOMPONENT),
        UA_QUALIFIEDNAME(1, const_cast<char*>(name.c_str())),
        UA_NODEID_NUMERIC(0, property ? UA_NS0ID_PROPERTYTYPE : UA_NS0ID_BASEDATAVARIABLETYPE), va,
        nullptr, nullptr);
}

void OpcuaServer::Impl::AddMethod(const std::string& id, const std::string& parent,
                                  const std::string& name, bool async) {
    UA_MethodAttributes ma = UA_MethodAttributes_default;
    ma.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(name.c_str()));
    ma.executable = true;
    ma.userExecutable = true;
    UA_Argument result;
    UA_Argument_init(&result);
    result.name = UA_STRING(const_cast<char*>("Result"));
    result.dataType = UA_TYPES[UA_TYPES_STRING].typeId;
    result.valueRank = UA_VALUERANK_SCALAR;
    UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(id.c_str()));
    UA_NodeId parentId = UA_NODEID_STRING(1, const_cast<char*>(parent.c_str()));
    UA_Server_addMethodNode(server, node, parentId, UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT),
                            UA_QUALIFIEDNAME(1, const_cast<char*>(name.c_str())), ma,
                            async ? NotHere : StationMethod, 0, nullptr, 1, &result, nullptr,
                            nullptr);
    if (async) UA_Server_setMethodNodeAsync(server, node, true);
}

void OpcuaServer::Impl::AddChannelNodes(Channel& ch) {
    UA_ObjectAttributes oa = UA_ObjectAttributes_default;
    oa.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(ch.name.c_str()));
    UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(ch.name.c_str()));
    UA_Server_addObjectNode(server, node, UA_NODEID_NUMERIC(1, 1),
                            UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
                            UA_QUALIFIEDNAME(1, const_cast<char*>(ch.name.c_str())),
                            UA_NODEID_NUMERIC(0, UA_NS0ID_BASEOBJECTTYPE), oa, nullptr, nullptr);
    UA_String state = UA_STRING(const_cast<char*>(ChannelStateName(ch.state)));
    UA_Int32 code = static_cast<UA_Int32>(ch.state);
    AddVariable(ch.name + "/State", ch.name, "State", &UA_TYPES[UA_TYPES_STRING], &state);
    AddVariable(ch.name + "/StateCode", ch.name, "StateCode", &UA_TYPES[UA_TYPES_INT32], &code);
    UA_UInt32 reopens = static_cast<UA_UInt32>(ch.reopens);
    AddVariable(ch.name + "/Reopens", ch.name, "Reopens", &UA_TYPES[UA_TYPES_UINT32], &reopens);
}

void OpcuaServer::Impl::ForgetTag(const Tag& t) {
    nodeTag.erase(t.id);
    if (t.output) {
        UA_String last = UA_STRING(const_cast<char*>(t.lastResult.c_str()));
        SetScalar(t.id + "/LastResult", last, &UA_TYPES[UA_TYPES_STRING],
                  UA_STATUSCODE_BADNODEIDUNKNOWN);
        UA_Server_deleteNode(server, UA_NODEID_STRING(1, const_cast<char*>((t.id + "/Command").c_str())),
                             true);
    } else {
        SetScalar<UA_Boolean>(t.id, t.value, &UA_TYPES[UA_TYPES_BOOLEAN],
                              UA_STATUSCODE_BADNODEIDUNKNOWN, t.when);
    }
    UA_Server_deleteNode(server, UA_NODEID_STRING(1, const_cast<char*>(t.id.c_str())), true);
}

void OpcuaServer::Impl::ForgetStation(const Station& st) {
    WriteStation(st, UA_STATUSCODE_BADNODEIDUNKNOWN);
    for (auto it = nodeStationMethod.begin(); it != nodeStationMethod.end();) {
        if (it->second == std::make_pair(st.channel, st.name)) {
            methodAction.erase(it->first);
            it = nodeStationMethod.erase(it);
        } else {
            ++it;
        }
    }
    UA_Server_deleteNode(server, UA_NODEID_STRING(1, const_cast<char*>(st.id.c_str())), true);
}

void OpcuaServer::Impl::RemoveChannel(const std::string& name) {
    auto found = model.find(name);
    if (found == model.end()) return;
    for (auto& [tagName, t] : found->second.tags) ForgetTag(t);
    for (auto& [stName, st] : found->second.stations) ForgetStation(st);
    WriteChannel(found->second, UA_STATUSCODE_BADNODEIDUNKNOWN);
    UA_Server_deleteNode(server, UA_NODEID_STRING(1, const_cast<char*>(name.c_str())), true);
    model.erase(found);
}

void OpcuaServer::Impl::AddStationNodes(const Station& st) {
    UA_ObjectAttributes oa = UA_ObjectAttributes_default;
    oa.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(st.name.c_str()));
    UA_Server_addObjectNode(server, UA_NODEID_STRING(1, const_cast<char*>(st.id.c_str())),
                            UA_NODEID_STRING(1, const_cast<char*>(st.channel.c_str())),
                            UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
                            UA_QUALIFIEDNAME(1, const_cast<char*>(st.name.c_str())),
                            UA_NODEID_NUMERIC(0, UA_NS0ID_BASEOBJECTTYPE), oa, nullptr, nullptr);
    UA_String state = UA_STRING(const_cast<char*>(StationHealthName(st.state.state)));
    UA_Boolean enabled = st.state.state != StationHealth::disabled;
    UA_UInt32 zero = 0;
    UA_Byte status = 0;
    AddVariable(st.id + "/State", st.id, "State", &UA_TYPES[UA_TYPES_STRING], &state);
    AddVariable(st.id + "/Enabled", st.id, "Enabled", &UA_TYPES[UA_TYPES_BOOLEAN], &enabled);
    for (const char* counter : {"Controls", "ControlFailures", "Polls", "PollFailures"})
        AddVariable(st.id + "/" + counter, st.id, counter, &UA_TYPES[UA_TYPES_UINT32], &zero);
    AddVariable(st.id + "/StatusByte", st.id, "StatusByte", &UA_TYPES[UA_TYPES_BYTE], &status);
    for (const auto& [method, action] :
         {std::pair<const char*, const char*>{"ResetCounters", "reset"},
          {"Enable", "enable"},
          {"Disable", "disable"}}) {
        const std::string id = st.id + "/" + method;
        AddMethod(id, st.id, method, false);
        nodeStationMethod[id] = {st.channel, st.name};
        methodAction[id] = action;
    }
}

void OpcuaServer::Impl::AddTagNodes(const Tag& t) {
    const std::string parent = t.station.empty() ? t.channel : t.channel + "." + t.station;
    UA_VariableAttributes va = UA_VariableAttributes_default;
    va.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(t.name.c_str()));
    va.dataType = UA_TYPES[UA_TYPES_BOOLEAN].typeId;
    va.valueRank = UA_VALUERANK_SCALAR;
    UA_NodeId node = UA_NODEID_STRING(1, const_cast<char*>(t.id.c_str()));
    UA_NodeId parentId = UA_NODEID_STRING(1, const_cast<char*>(parent.c_str()));
    UA_QualifiedName qname = UA_QUALIFIEDNAME(1, const_cast<char*>(t.name.c_str()));
    UA_NodeId type = UA_NODEID_NUMERIC(0, UA_NS0ID_BASEDATAVARIABLETYPE);
    UA_NodeId ref = UA_NODEID_NUMERIC(0, UA_NS0ID_HASCOMPONENT);
    nodeTag[t.id] = {t.channel, t.name};
    if (t.output) {
        va.accessLevel = UA_ACCESSLEVELMASK_READ | UA_ACCESSLEVELMASK_WRITE;
        UA_DataSource source;
        source.read = ReadOutput;
        source.write = WriteOutput;
        UA_Server_addDataSourceVariableNode(server, node, parentId, ref, qname, type, va, source,
                                            nullptr, nullptr);
        UA_String text = UA_STRING(const_cast<char*>(t.lastResult.c_str()));
        AddVariable(t.id + "/LastResult", t.id, "LastResult", &UA_TYPES[UA_TYPES_STRING], &text,
                    true);
        AddMethod(t.id + "/Command", parent, t.name + ".Command", true);
    } else {
        va.accessLevel = UA_ACCESSLEVELMASK_READ;
        UA_Boolean b = t.value;
        UA_Variant_setScalar(&va.value, &b, &UA_TYPES[UA_TYPES_BOOLEAN]);
        UA_Server_addVariableNode(server, node, parentId, ref, qname, type, va, nullptr, nullptr);
    }
}

// A channel as it describes itself: what is new added, what has gone
// forgotten, what stays left as it is (its subscriptions go on).
void OpcuaServer::Impl::Describe(const std::string& name, const std::string& json) {
    auto known = model.find(name);
    if (known != model.end() && known->second.description == json) return;
    nlohmann::json d = nlohmann::json::parse(json, nullptr, false);
    if (!d.is_object()) return;
    if (known == model.end()) {
        Channel fresh;
        fresh.name = name;
        known = model.emplace(name, std::move(fresh)).first;
        AddChannelNodes(known->second);
    }
    Channel& ch = known->second;
    ch.description = json;
    std::map<std::string, Station> stations;
    std::map<std::string, Tag> tags;
    auto takeTags = [&](const nlohmann::json& list, const std::string& station) {
        if (!list.is_array()) return;
        for (const auto& j : list) {
            Tag t;
            t.channel = name;
            t.station = station;
            t.name = j.value("name", "");
            if (t.name.empty()) continue;
            t.output = j.value("kind", "") == "output";
            t.bit = j.contains("bit") && j["bit"].is_number() ? j["bit"].get<int>() : -1;
            t.id = OpcuaTagId(name, station, t.name);
            tags[t.name] = t;
        }
    };
    for (const auto& s : d.value("stations", nlohmann::json::array())) {
        Station st;
        st.channel = name;
        st.name = s.value("name", "");
        if (st.name.empty()) continue;
        st.id = name + "." + st.name;
        stations[st.name] = st;
        takeTags(s.value("tags", nlohmann::json::array()), st.name);
    }
    takeTags(d.value("tags", nlohmann::json::array()), "");
    // gone, or changed (another station, another kind): forgotten; the tags first
    for (auto it = ch.tags.begin(); it != ch.tags.end();) {
        const auto now = tags.find(it->first);
        if (now != tags.end() && now->second.id == it->second.id &&
            now->second.output == it->second.output) {
            it->second.bit = now->second.bit;  // kept, with its value
            ++it;
        } else {
            ForgetTag(it->second);
            it = ch.tags.erase(it);
        }
    }
    for (auto it = ch.stations.begin(); it != ch.stations.end();) {
        if (stations.count(it->first)) {
            stations[it->first] = it->second;
            ++it;
        } else {
            ForgetStation(it->second);
            it = ch.stations.erase(it);
        }
    }
    for (auto& [stName, st] : stations)
        if (!ch.stations.count(stName)) {
            AddStationNodes(st);
            ch.stations[stName] = st;
        }
    for (auto& [tagName, t] : tags)
        if (!ch.tags.count(tagName)) {
            AddTagNodes(t);
            ch.tags[tagName] = t;
            WriteTag(t);
        }
    for (auto& [stName, st] : ch.stations)
        if (st.told) WriteStation(st);
    WriteChannel(ch);
}

void OpcuaServer::Impl::Apply(Event& e) {
    if (e.kind == Event::describe) return Describe(e.channelName, e.json);
    if (e.kind == Event::keep) {
        std::vector<std::string> gone;
        for (auto& [name, ch] : model)
            if (!e.names.count(name)) gone.push_back(name);
        for (const std::string& name : gone) RemoveChannel(name);
        return;
    }
    if (e.kind == Event::certificate) {
        if (e.cert == certificate) return;
        UA_ByteString cert = {e.cert.size(), reinterpret_cast<UA_Byte*>(e.cert.data())};
        UA_ByteString key = {e.key.size(), reinterpret_cast<UA_Byte*>(e.key.data())};
        // the sessions and channels open go on with the old one; new ones get
        // this. Each policy's own (UA_Server_updateCertificate of 1.4 finds the
        // policies through the endpoints' certificates, which the endpoints
        // made from the settings do not hold: it would change nothing).
        UA_ServerConfig* sc = UA_Server_getConfig(server);
        UA_StatusCode s = UA_STATUSCODE_GOOD;
        for (size_t i = 0; i < sc->securityPoliciesSize && s == UA_STATUSCODE_GOOD; ++i) {
            UA_SecurityPolicy& policy = sc->securityPolicies[i];
            if (policy.updateCertificateAndPrivateKey)
                s = policy.updateCertificateAndPrivateKey(&policy, cert, key);
        }
        if (s == UA_STATUSCODE_GOOD) {
            certificate = e.cert;
            Journal(kInfo, "opcua: the server's certificate was read again; new connections get it");
        } else {
            Journal(kError, std::string("opcua: the new certificate was refused (") +
                                UA_StatusCode_name(s) + "); the one in use stays");
        }
        return;
    }
    if (e.kind == Event::asyncDone) {
        UA_AsyncOperationResponse response;
        std::memset(&response, 0, sizeof response);
        UA_CallMethodResult& r = response.callMethodResult;
        r.statusCode = OpcuaStatusFor(e.reply);
        UA_String text = UA_STRING(const_cast<char*>(WriteResultName(e.reply.result)));
        UA_Variant out;
        UA_Variant_setScalar(&out, &text, &UA_TYPES[UA_TYPES_STRING]);
        r.outputArgumentsSize = 1;
        r.outputArguments = &out;
        UA_Server_setAsyncOperationResult(server, &response, e.async);
        if (r.statusCode != UA_STATUSCODE_GOOD) refused++;
        return;
    }
    auto found = model.find(e.channelName);
    if (found == model.end()) return;
    Channel& ch = found->second;
    switch (e.kind) {
        case Event::tagValue: {
            auto t = ch.tags.find(e.target);
            if (t == ch.tags.end()) return;
            t->second.has = true;
            t->second.value = e.value != 0;
            t->second.when = e.when;
            WriteTag(t->second);
            // the status byte of its station, from its input bits
            if (!t->second.station.empty() && t->second.bit >= 0 && !t->second.output) {
                UA_Byte status = 0;
                for (const auto& [n, other] : ch.tags)
                    if (other.station == t->second.station && !other.output && other.bit >= 0 &&
                        other.bit < 8 && other.value)
                        status = static_cast<UA_Byte>(status | (1u << other.bit));
                SetScalar(ch.name + "." + t->second.station + "/StatusByte", status,
                          &UA_TYPES[UA_TYPES_BYTE], UA_STATUSCODE_GOOD, e.when);
            }
            return;
        }
        case Event::station: {
            auto st = ch.stations.find(e.target);
            if (st == ch.stations.end()) return;
            const bool healthChanged = !st->second.told || st->second.state.state != e.state.state;
            st->second.state = e.state;
            st->second.told = true;
            WriteStation(st->second);
            if (healthChanged)
                for (const auto& [n, t] : ch.tags)
                    if (t.station == e.target) WriteTag(t);
            return;
        }
        case Event::channel: {
            const bool changed = ch.state != e.channelState;
            ch.state = e.channelState;
            ch.told = true;
            WriteChannel(ch);
            if (changed)
                for (const auto& [n, t] : ch.tags) WriteTag(t);
            return;
        }
        case Event::reopens:
            ch.reopens = static_cast<uint64_t>(e.value);
            SetScalar<UA_UInt32>(ch.name + "/Reopens", static_cast<UA_UInt32>(ch.reopens),
                                 &UA_TYPES[UA_TYPES_UINT32]);
            return;
        case Event::writeResult: {
            auto t = ch.tags.find(e.target);
            if (t == ch.tags.end() || !t->second.output) return;
            t->second.lastResult = WriteResultName(e.reply.result);
            SetText(t->second.id + "/LastResult", t->second.lastResult, e.when);
            return;
        }
        default:
            return;
    }
}

bool OpcuaServer::Impl::Build(std::string* error) {
    const GatewayOpcuaConfig& o = config.opcua;
    std::string cert, key;
    if (!ServerCertificate(o, "urn:krandolix:" + config.id, config.id, &cert, &key, error))
        return false;
    this->certificate = cert;
    UA_ByteString certificate = {cert.size(), reinterpret_cast<UA_Byte*>(cert.data())};
    UA_ByteString privateKey = {key.size(), reinterpret_cast<UA_Byte*>(key.data())};

    UA_ServerConfig sc;
    std::memset(&sc, 0, sizeof sc);
    sc.logging = static_cast<UA_Logger*>(UA_malloc(sizeof(UA_Logger)));
    sc.logging->log = LogLine;
    sc.logging->context = nullptr;
    sc.logging->clear = [](UA_Logger* logger) { UA_free(logger); };
    g_quietLog = true;
    const UA_StatusCode basics = UA_ServerConfig_setBasics_withPort(&sc, static_cast<UA_UInt16>(o.port));
    g_quietLog = false;
    if (basics != UA_STATUSCODE_GOOD) {
        *error = "opcua: the server's settings could not be made";
        UA_ServerConfig_clean(&sc);
        return false;
    }
    // where it listens, and what it says it is
    UA_Array_delete(sc.serverUrls, sc.serverUrlsSize, &UA_TYPES[UA_TYPES_STRING]);
    const std::string host = o.listen.find(':') != std::string::npos ? "[" + o.listen + "]" : o.listen;
    const std::string url = "opc.tcp://" + host + ":" + std::to_string(o.port);
    sc.serverUrls = UA_String_new();
    *sc.serverUrls = UA_STRING_ALLOC(url.c_str());
    sc.serverUrlsSize = 1;
    const std::string uri = "urn:krandolix:" + config.id;
    UA_String_clear(&sc.applicationDescription.applicationUri);
    sc.applicationDescription.applicationUri = UA_STRING_ALLOC(uri.c_str());
    UA_LocalizedText_clear(&sc.applicationDescription.applicationName);
    sc.applicationDescription.applicationName =
        UA_LOCALIZEDTEXT_ALLOC("", ("krandolix drvgw " + config.id).c_str());
    UA_String_clear(&sc.applicationDescription.productUri);
    sc.applicationDescription.productUri = UA_STRING_ALLOC("urn:krandolix:drvgw");
    UA_BuildInfo_clear(&sc.buildInfo);
    sc.buildInfo.productUri = UA_STRING_ALLOC("urn:krandolix:drvgw");
    sc.buildInfo.manufacturerName = UA_STRING_ALLOC("krandolix");
    sc.buildInfo.productName = UA_STRING_ALLOC("krandolix drvgw");
    sc.buildInfo.softwareVersion = UA_STRING_ALLOC(KRANDOLIX_VERSION);
    sc.buildInfo.buildNumber = UA_STRING_ALLOC(KRANDOLIX_VERSION);
    sc.buildInfo.buildDate = UA_DateTime_now();

    // security: None always there for discovery, served only when asked for
    UA_StatusCode s = UA_ServerConfig_addSecurityPolicyNone(&sc, &certificate);
    bool basic = false, aes = false;
    for (const std::string& p : o.security) {
        basic |= p.rfind("Basic256Sha256:", 0) == 0;
        aes |= p.rfind("Aes128_Sha256_RsaOaep:", 0) == 0;
    }
    if (s == UA_STATUSCODE_GOOD && basic)
        s = UA_ServerConfig_addSecurityPolicyBasic256Sha256(&sc, &certificate, &privateKey);
    if (s == UA_STATUSCODE_GOOD && aes)
        s = UA_ServerConfig_addSecurityPolicyAes128Sha256RsaOaep(&sc, &certificate, &privateKey);
    for (const std::string& p : o.security) {
        if (s != UA_STATUSCODE_GOOD) break;
        if (p == "None") {
            s = UA_ServerConfig_addEndpoint(
                &sc, UA_STRING(const_cast<char*>("http://opcfoundation.org/UA/SecurityPolicy#None")),
                UA_MESSAGESECURITYMODE_NONE);
            continue;
        }
        const std::string policy = p.substr(0, p.find(':'));
        const std::string mode = p.substr(p.find(':') + 1);
        const std::string policyUri = "http://opcfoundation.org/UA/SecurityPolicy#" + policy;
        s = UA_ServerConfig_addEndpoint(&sc, UA_STRING(const_cast<char*>(policyUri.c_str())),
                                        mode == "Sign" ? UA_MESSAGESECURITYMODE_SIGN
                                                       : UA_MESSAGESECURITYMODE_SIGNANDENCRYPT);
    }
    sc.securityPolicyNoneDiscoveryOnly = !o.HasPolicy("None");
    // the client certificates it trusts, and those it refused
    std::string trusted, issuers, revoked;
    if (s == UA_STATUSCODE_GOOD && !TrustFolders(o.trustDir, &trusted, &issuers, &revoked, error)) {
        UA_ServerConfig_clean(&sc);
        return false;
    }
    if (s == UA_STATUSCODE_GOOD) {
        if (sc.secureChannelPKI.clear) sc.secureChannelPKI.clear(&sc.secureChannelPKI);
        s = UA_CertificateVerification_CertFolders(&sc.secureChannelPKI, trusted.c_str(),
                                                   issuers.c_str(), revoked.c_str());
        if (s == UA_STATUSCODE_GOOD) {
            g_verify = sc.secureChannelPKI.verifyCertificate;
            sc.secureChannelPKI.verifyCertificate = VerifyAndKeep;
        }
    }
    // who signs in, and what each may do
    if (s == UA_STATUSCODE_GOOD) {
        // a password is encrypted with the server's certificate even on a
        // channel that is not (the most secure policy there is); with None
        // alone it crosses as it is, which loopback (or allow_insecure) allows
        const char* tokenPolicy = basic ? "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"
                                  : aes ? "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep"
                                        : nullptr;
        UA_ByteString tokenUri = UA_BYTESTRING(const_cast<char*>(tokenPolicy ? tokenPolicy : ""));
        sc.allowNonePolicyPassword = !tokenPolicy;
        // (one login listed, never matched: the callback decides, but the
        // plugin offers user names only when it has a list)
        UA_UsernamePasswordLogin none = {UA_STRING(const_cast<char*>("\x01")),
                                         UA_STRING(const_cast<char*>("\x01"))};
        g_quietLog = true;  // (it warns that it is not set up yet)
        s = UA_AccessControl_defaultWithLoginCallback(&sc, !o.anonymous.empty(),
                                                      tokenPolicy ? &tokenUri : nullptr, 1, &none,
                                                      LoginCallback, this);
        g_quietLog = false;
        // user names and passwords, and anonymous where allowed: no X.509 user tokens
        UA_AccessControl& a = sc.accessControl;
        size_t kept = 0;
        for (size_t i = 0; i < a.userTokenPoliciesSize; ++i) {
            if (a.userTokenPolicies[i].tokenType == UA_USERTOKENTYPE_CERTIFICATE) {
                UA_UserTokenPolicy_clear(&a.userTokenPolicies[i]);
                continue;
            }
            a.userTokenPolicies[kept++] = a.userTokenPolicies[i];
        }
        a.userTokenPoliciesSize = kept;
    }
    if (s != UA_STATUSCODE_GOOD) {
        *error = std::string("opcua: the server's security could not be set up: ") +
                 UA_StatusCode_name(s);
        UA_ServerConfig_clean(&sc);
        return false;
    }
    UA_AccessControl& ac = sc.accessControl;
    g_activate = ac.activateSession;
    ac.activateSession = Activate;
    ac.closeSession = CloseSession;
    ac.getUserAccessLevel = AccessLevel;
    ac.getUserExecutable = Executable;
    ac.getUserExecutableOnObject = ExecutableOnObject;
    ac.getUserRightsMask = RightsMask;
    ac.allowAddNode = reinterpret_cast<decltype(ac.allowAddNode)>(Never);
    ac.allowAddReference = reinterpret_cast<decltype(ac.allowAddReference)>(Never);
    ac.allowDeleteNode = reinterpret_cast<decltype(ac.allowDeleteNode)>(Never);
    ac.allowDeleteReference = reinterpret_cast<decltype(ac.allowDeleteReference)>(Never);
#ifdef UA_ENABLE_HISTORIZING
    ac.allowHistoryUpdateUpdateData = nullptr;
    ac.allowHistoryUpdateDeleteRawModified = nullptr;
#endif

    // limits
    sc.maxSessions = static_cast<UA_UInt16>(o.maxSessions);
    // (a channel that never opens a session is closed first when they run out)
    sc.maxSecureChannels = static_cast<UA_UInt16>(o.maxSessions + 8);
    sc.maxSessionTimeout = 60.0 * 60 * 1000;
    sc.maxSubscriptionsPerSession = static_cast<UA_UInt32>(o.maxSubscriptions);
    sc.maxSubscriptions = static_cast<UA_UInt32>(o.maxSubscriptions * o.maxSessions);
    sc.maxMonitoredItemsPerSubscription = static_cast<UA_UInt32>(o.maxMonitoredItems);
    sc.maxMonitoredItems = static_cast<UA_UInt32>(o.maxMonitoredItems) * sc.maxSubscriptions;
    sc.maxPublishReqPerSession = 10;
    sc.maxNotificationsPerPublish = 10000;
    sc.maxRetransmissionQueueSize = 100;
    sc.tcpBufSize = 65535;
    sc.tcpMaxMsgSize = static_cast<UA_UInt32>(o.maxMessageSize);
    sc.tcpMaxChunks = static_cast<UA_UInt32>(o.maxMessageSize / 8192 + 1);
    sc.maxNodesPerRead = 10000;
    sc.maxNodesPerWrite = 100;
    sc.maxNodesPerMethodCall = 100;
    sc.maxNodesPerBrowse = 10000;
    sc.maxNodesPerTranslateBrowsePathsToNodeIds = 1000;
    sc.maxNodesPerRegisterNodes = 1000;
    sc.maxMonitoredItemsPerCall = 1000;
    sc.maxReferencesPerNode = 10000;
    sc.publishingIntervalLimits = UA_DurationRange{50.0, 3600.0 * 1000.0};
    sc.samplingIntervalLimits = UA_DurationRange{50.0, 24.0 * 3600.0 * 1000.0};
    sc.queueSizeLimits = UA_UInt32Range{1, 1000};
    sc.asyncOperationTimeout = 120000;
    sc.maxAsyncOperationQueueSize = 1000;
    sc.tcpReuseAddr = true;

    server = UA_Server_newWithConfig(&sc);
    if (!server) {
        *error = "opcua: the server could not be made";
        return false;
    }
    // the gateway's object, under which the channels go
    UA_ObjectAttributes oa = UA_ObjectAttributes_default;
    oa.displayName = UA_LOCALIZEDTEXT(const_cast<char*>(""), const_cast<char*>(config.id.c_str()));
    s = UA_Server_addObjectNode(server, UA_NODEID_NUMERIC(1, 1),
                                UA_NODEID_NUMERIC(0, UA_NS0ID_OBJECTSFOLDER),
                                UA_NODEID_NUMERIC(0, UA_NS0ID_ORGANIZES),
                                UA_QUALIFIEDNAME(1, const_cast<char*>(config.id.c_str())),
                                UA_NODEID_NUMERIC(0, UA_NS0ID_FOLDERTYPE), oa, nullptr, nullptr);
    UA_UInt64 drain = 0;
    if (s == UA_STATUSCODE_GOOD)
        s = UA_Server_addRepeatedCallback(server, DrainCallback, this, kDrainMs, &drain);
    if (s == UA_STATUSCODE_GOOD && !WatchConnections(server))
        Journal(kWarning, "opcua: the stack's TCP was not found: writes name no client address");
    if (s == UA_STATUSCODE_GOOD) s = UA_Server_run_startup(server);
    if (s != UA_STATUSCODE_GOOD) {
        *error = "opcua: cannot listen on " + url + " (" + UA_StatusCode_name(s) + ")";
        UA_Server_delete(server);
        server = nullptr;
        return false;
    }
    return true;
}

// ---- the loop's side -------------------------------------------------------------

OpcuaServer::OpcuaServer(const GatewayConfig& config, std::function<void()> wake)
    : m_impl(new Impl) {
    m_impl->config = config;
    m_impl->wake = std::move(wake);
}

OpcuaServer::~OpcuaServer() {
    Stop();
}

bool OpcuaServer::Start(std::string* error) {
    Impl& impl = *m_impl;
    if (!impl.config.web.usersFile.empty() &&
        !ReadWebUsers(impl.config.web.usersFile, &impl.users, error)) {
        *error = "opcua: " + *error;
        return false;
    }
    g_impl = &impl;
    if (!impl.Build(error)) {
        g_impl = nullptr;
        return false;
    }
    impl.running = true;
    impl.thread = std::thread([&impl] { impl.Run(); });
    const GatewayOpcuaConfig& o = impl.config.opcua;
    std::string policies;
    for (const std::string& p : o.security) policies += (policies.empty() ? "" : ", ") + p;
    Journal(kInfo, "opcua: opc.tcp://" + o.listen + ":" + std::to_string(o.port) + " (" +
                       policies + (o.anonymous.empty() ? "" : "; anonymous " + o.anonymous) + ")");
    return true;
}

void OpcuaServer::Stop() {
    Impl& impl = *m_impl;
    {
        std::lock_guard<std::mutex> hold(impl.lock);
        impl.stopping = true;
    }
    impl.answered.notify_all();
    if (impl.thread.joinable()) {
        impl.running = false;
        impl.thread.join();
    }
    if (impl.server) {
        UA_Server_run_shutdown(impl.server);
        UA_Server_delete(impl.server);
        impl.server = nullptr;
    }
    if (g_impl == &impl) g_impl = nullptr;
}

void OpcuaServer::ServeCommands(CommandEntry& entry) {
    Impl& impl = *m_impl;
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard<std::mutex> hold(impl.lock);
            if (impl.calls.empty() || impl.stopping) return;
            call = impl.calls.front();
            impl.calls.pop_front();
            call->taken = true;
        }
        const CommandReply reply = entry.Execute(call->command);
        std::lock_guard<std::mutex> hold(impl.lock);
        if (call->async) {
            if (reply.result == WriteResult::queued) {
                impl.asyncByTicket[reply.ticket] = call->async;
            } else {
                Event e(Event::asyncDone);
                e.reply = reply;
                e.async = call->async;
                impl.events.push_back(std::move(e));
            }
        } else {
            call->reply = reply;
            call->answered = true;
            impl.answered.notify_all();
        }
    }
}

void OpcuaServer::KeepChannels(const std::set<std::string>& names) {
    Event e(Event::keep);
    e.names = names;
    m_impl->Push(std::move(e));
}

bool OpcuaServer::Reload(const GatewayConfig& fresh, std::string* error) {
    std::vector<WebUser> users;
    if (!fresh.web.usersFile.empty() && !ReadWebUsers(fresh.web.usersFile, &users, error))
        return false;
    // a renewed certificate (cert_file and key_file, or own/), for the connections from now on
    Event e(Event::certificate);
    GatewayOpcuaConfig settings = m_impl->config.opcua;
    settings.certFile = fresh.opcua.certFile;
    settings.keyFile = fresh.opcua.keyFile;
    if (!ServerCertificate(settings, "urn:krandolix:" + m_impl->config.id, m_impl->config.id, &e.cert,
                           &e.key, error))
        return false;
    std::lock_guard<std::mutex> hold(m_impl->lock);
    m_impl->users = std::move(users);
    m_impl->events.push_back(std::move(e));
    return true;
}

OpcuaServer::Figures OpcuaServer::Read() const {
    const Impl& i = *m_impl;
    Figures f;
    f.sessions = i.sessions;
    f.sessionsRejected = i.sessionsRejected;
    f.sessionsTimedOut = i.sessionsTimedOut;
    f.channels = i.channels;
    f.channelsRejected = i.channelsRejected;
    f.writes = i.writes;
    f.calls = i.calls_;
    f.refused = i.refused;
    f.notifications = i.notifications;
    f.subscriptions = i.subscriptions;
    f.monitoredItems = i.monitoredItems;
    f.unactivatedClosed = i.unactivatedClosed;
    f.certificatesRejected = i.certificatesRejected;
    std::lock_guard<std::mutex> hold(i.lock);
    f.requests = i.requests;
    return f;
}

void OpcuaServer::OnReopens(const std::string& channel, uint64_t reopens) {
    uint64_t& told = m_impl->reopensTold[channel];
    if (told == reopens) return;
    told = reopens;
    Event e(Event::reopens);
    e.channelName = channel;
    e.value = static_cast<double>(reopens);
    m_impl->Push(std::move(e));
}

void OpcuaServer::OnValue(const std::string& channel, const std::string& tag, double value) {
    Event e(Event::tagValue);
    e.channelName = channel;
    e.target = tag;
    e.value = value;
    e.when = UA_DateTime_now();
    m_impl->Push(std::move(e));
}

void OpcuaServer::OnStation(const std::string& channel, const std::string& station,
                            const StationState& state) {
    Event e(Event::station);
    e.channelName = channel;
    e.target = station;
    e.state = state;
    m_impl->Push(std::move(e));
}

void OpcuaServer::OnChannelState(const std::string& channel, ChannelState state) {
    Event e(Event::channel);
    e.channelName = channel;
    e.channelState = state;
    m_impl->Push(std::move(e));
}

void OpcuaServer::OnDescription(const std::string& channel, const std::string& json) {
    Event e(Event::describe);
    e.channelName = channel;
    e.json = json;
    m_impl->Push(std::move(e));
}

void OpcuaServer::OnWriteResult(const std::string& channel, const std::string& tag,
                                const CommandReply& outcome, const CommandTicket& ticket) {
    Event e(Event::writeResult);
    e.channelName = channel;
    e.target = tag;
    e.reply = outcome;
    e.when = UA_DateTime_now();
    std::lock_guard<std::mutex> hold(m_impl->lock);
    m_impl->events.push_back(e);
    // a Command() waiting for this write's end
    if (ticket.origin != Origin::opcua || !IsFinalResult(outcome.result)) return;
    auto waiting = m_impl->asyncByTicket.find(ticket.id);
    if (waiting == m_impl->asyncByTicket.end()) return;
    Event done(Event::asyncDone);
    done.reply = outcome;
    done.async = waiting->second;
    m_impl->asyncByTicket.erase(waiting);
    m_impl->events.push_back(std::move(done));
}
