// The host's value object: a 16-bit type code and a number. The host fills one
// for every write it hands the driver; the driver fills one for every input
// value it hands the host.
#pragma once

#include <cstdint>

#include "HostInterface.h"
#include "ZeravSubApi.h"

class ZERAVSUB_API CTagVal {
public:
    enum : uint16_t {
        typeEmpty = 0,                  // nothing set yet
        typeNumber = kValueTypeNumber,  // a numeric value; the only type a driver write accepts
        typeText = 8,                   // a text value, which this driver never takes
    };

    CTagVal();
    CTagVal(uint16_t type, double value);
    CTagVal(const CTagVal& other);
    CTagVal& operator=(const CTagVal& other);
    virtual ~CTagVal();

    uint16_t GetType() const { return m_wType; }
    void SetType(uint16_t type) { m_wType = type; }
    // Stores a number; the value then has the number type.
    void SetVal(double value);
    double GetVal() const { return m_dValue; }

private:
    uint16_t m_wType;
    double m_dValue;
};
