#include "Object.h"

#include <cstring>
#include <mutex>

namespace {
CRuntimeClass* g_firstClass = nullptr;
std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}
}  // namespace

const CRuntimeClass* CRuntimeClass::FromName(const char* name) {
    std::lock_guard<std::mutex> hold(RegistryLock());
    for (CRuntimeClass* c = g_firstClass; c; c = c->m_pNextClass) {
        if (std::strcmp(c->m_lpszClassName, name) == 0) return c;
    }
    return nullptr;
}

CClassRegistration::CClassRegistration(CRuntimeClass* cls) : m_pClass(cls) {
    std::lock_guard<std::mutex> hold(RegistryLock());
    cls->m_pNextClass = g_firstClass;
    g_firstClass = cls;
}

CClassRegistration::~CClassRegistration() {
    std::lock_guard<std::mutex> hold(RegistryLock());
    for (CRuntimeClass** p = &g_firstClass; *p; p = &(*p)->m_pNextClass) {
        if (*p == m_pClass) {
            *p = m_pClass->m_pNextClass;
            break;
        }
    }
}
