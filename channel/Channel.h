// One opened configuration file brought to life: the configuration, the
// handle the host knows it by, and (with the scan) its line and threads.
#pragma once

#include <cstdint>

#include "config/ConfigData.h"

class CChannel : public CConfigData {
public:
    CChannel();
    ~CChannel() override;

    void SetHandle(int32_t handle) { m_nHandle = handle; }
    int32_t GetHandle() const { return m_nHandle; }

private:
    int32_t m_nHandle = -1;
};
