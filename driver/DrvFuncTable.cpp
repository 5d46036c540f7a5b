// The entry table and its slot functions. Every slot is a thin forwarder to
// the channel manager; no exception leaves a slot.
#include "DrvFuncTable.h"

#include <cstddef>

#include "driver/ChannelManager.h"
#include "driver_texts.h"

#if defined(_WIN32)
#define DRV_EXPORT __declspec(dllexport)
#else
#define DRV_EXPORT __attribute__((visibility("default")))
#endif

namespace {

int32_t DrvGetVersion() { return static_cast<int32_t>(kInterfaceVersion); }

int32_t DrvOpenChannel(const char* path) {
    try {
        return TheManager().Open(path);
    } catch (...) {
        return -1;
    }
}

int32_t DrvAlwaysOne() { return 1; }
void DrvReserved() {}

const char* DrvGetDescription() { return DrvFuncTable.m_szDescription; }

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
        nullptr,                  // 2 settings dialog
        nullptr,                  // 3 start channel
        nullptr,                  // 4 start scan
        nullptr,                  // 5 stop channel
        nullptr,                  // 6 register tag
        nullptr,                  // 7 write tag
        nullptr,                  // 8 is write done
        Slot(DrvAlwaysOne),       // 9
        Slot(DrvReserved),        // 10
        Slot(DrvReserved),        // 11
        Slot(DrvGetDescription),  // 12
    },
    "Motor Controller (Dravik)",
};
}
