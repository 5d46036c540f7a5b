// The driver's only export: 32 function slots, then the description text.
// On the 32-bit Windows target the slots are 4 bytes each, so the text starts
// at byte 128; natively they are pointer-sized.
#pragma once

#include <cstdint>

struct DrvFuncTableLayout {
    void* m_slots[32];
    char m_szDescription[26];  // "Motor Controller (Dravik)" and its zero
};

extern "C" DrvFuncTableLayout DrvFuncTable;

const uint32_t kInterfaceVersion = 0x10000;

// Slot numbers as the host knows them.
enum DrvSlot {
    kSlotGetVersion = 0,
    kSlotOpenChannel = 1,
    kSlotConfigure = 2,
    kSlotStartChannel = 3,
    kSlotStartScan = 4,
    kSlotStopChannel = 5,
    kSlotRegisterTag = 6,
    kSlotWriteTag = 7,
    kSlotIsWriteDone = 8,
    kSlotAlwaysOne = 9,
    kSlotReserved10 = 10,
    kSlotReserved11 = 11,
    kSlotGetDescription = 12,
    kSlotSetActive = 13,
    kSlotResetCounters = 14,
    kSlotGetStatus = 15,
    kSlotGetStationInfo = 16,
};
