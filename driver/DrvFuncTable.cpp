// The entry table and its slot functions. Every slot is a thin forwarder to
// the channel manager; no exception leaves a slot.
#include "DrvFuncTable.h"

#include <cstddef>

#include "channel/Channel.h"
#include "driver/ChannelManager.h"
#include "driver/HostLink.h"
#include "driver_texts.h"

#if defined(_WIN32)
#define DRV_EXPORT __declspec(dllexport)
#else
#define DRV_EXPORT __attribute__((visibility("default")))
#endif

namespace {

int32_t DrvGetVersion() {
    return static_cast<int32_t>(kInterfaceVersion);
}

int32_t DrvOpenChannel(const char* path) {
    try {
        return TheManager().Open(path);
    } catch (...) {
        return -1;
    }
}

int32_t DrvConfigure(const char* path) {
    try {
        return TheManager().Configure(path);
    } catch (...) {
        return 0;
    }
}

// Per-channel slots: a handle that names no channel gives the slot's own
// answer; an exception never leaves the table.
template <typename R, typename F>
R OnChannel(int32_t handle, R noChannel, F call) {
    try {
        CChannel* channel = TheManager().FindChannel(handle);
        return channel ? call(channel) : noChannel;
    } catch (...) {
        return noChannel;
    }
}

template <typename F>
void OnChannelVoid(int32_t handle, F call) {
    try {
        if (CChannel* channel = TheManager().FindChannel(handle)) call(channel);
    } catch (...) {
    }
}

int32_t DrvStartChannel(int32_t h) {
    return OnChannel(h, -1, [](CChannel* c) { return c->Start(); });
}

int32_t DrvStartScan(int32_t h) {
    return OnChannel(h, -1, [](CChannel* c) { return c->StartScan(); });
}

int32_t DrvStopChannel(int32_t h) {
    return OnChannel(h, -1, [](CChannel* c) { return c->Stop(); });
}

int32_t DrvRegisterTag(int32_t h, const char* device, const char* address, int32_t type,
                       int32_t reserved, HostTagRef hostTag) {
    return OnChannel(h, -1, [&](CChannel* c) {
        return c->RegisterTag(device, address, type, reserved, hostTag);
    });
}

int32_t DrvWriteTag(int32_t h, int32_t tagHandle, CTagVal* value) {
    return OnChannel(
        h, -1, [&](CChannel* c) { return c->WriteTag(static_cast<uint32_t>(tagHandle), value); });
}

int32_t DrvIsWriteDone(int32_t h, int32_t tagHandle) {
    return OnChannel(h, 0,
                     [&](CChannel* c) { return c->IsWriteDone(static_cast<uint32_t>(tagHandle)); });
}

int32_t DrvAlwaysOne() {
    return 1;
}
void DrvReserved() {}

const char* DrvGetDescription() {
    return DrvFuncTable.m_szDescription;
}

void DrvSetActive(int32_t h, const char* station, int32_t value) {
    OnChannelVoid(h, [&](CChannel* c) { c->SetActive(station, value); });
}

void DrvResetCounters(int32_t h, const char* station) {
    OnChannelVoid(h, [&](CChannel* c) { c->ResetCounters(station); });
}

int32_t DrvGetStatus(int32_t h, const char* station, int32_t* controls, int32_t* controlFails,
                     int32_t* polls, int32_t* pollFails) {
    return OnChannel(h, -1, [&](CChannel* c) {
        return c->GetStatus(station, controls, controlFails, polls, pollFails);
    });
}

void DrvGetStationInfo(int32_t h, const char* station, CString* number, CString* description) {
    OnChannelVoid(h, [&](CChannel* c) { c->GetStationInfo(station, number, description); });
}

template <typename F>
void* Slot(F* f) {
    return reinterpret_cast<void*>(f);
}

}  // namespace

static_assert(sizeof(txt::TXT_DESCRIPTION) == sizeof(DrvFuncTableLayout::m_szDescription),
              "the description fills the table's text field exactly");
static_assert(offsetof(DrvFuncTableLayout, m_szDescription) == 32 * sizeof(void*),
              "the description follows the last slot");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(DrvFuncTableLayout, m_szDescription) == 128,
              "the host reads the description at byte 128");
#endif

extern "C" {
DRV_EXPORT DrvFuncTableLayout DrvFuncTable = {
    {
        Slot(DrvGetVersion),      // 0
        Slot(DrvOpenChannel),     // 1
        Slot(DrvConfigure),       // 2
        Slot(DrvStartChannel),    // 3
        Slot(DrvStartScan),       // 4
        Slot(DrvStopChannel),     // 5
        Slot(DrvRegisterTag),     // 6
        Slot(DrvWriteTag),        // 7
        Slot(DrvIsWriteDone),     // 8
        Slot(DrvAlwaysOne),       // 9
        Slot(DrvReserved),        // 10
        Slot(DrvReserved),        // 11
        Slot(DrvGetDescription),  // 12
        Slot(DrvSetActive),       // 13
        Slot(DrvResetCounters),   // 14
        Slot(DrvGetStatus),       // 15
        Slot(DrvGetStationInfo),  // 16
    },
    "Motor Controller (Dravik)",
};
}
