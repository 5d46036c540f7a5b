#include "TagVal.h"

CTagVal::CTagVal() : m_wType(typeEmpty), m_dValue(0.0) {}
CTagVal::CTagVal(uint16_t type, double value) : m_wType(type), m_dValue(value) {}
CTagVal::CTagVal(const CTagVal& other) = default;
CTagVal& CTagVal::operator=(const CTagVal& other) = default;
CTagVal::~CTagVal() = default;

void CTagVal::SetVal(double value) {
    m_dValue = value;
    m_wType = typeNumber;
}
