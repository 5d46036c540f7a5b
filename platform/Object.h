// Run-time class information and the serialisable base class. A class that
// the archive can create by name registers a CRuntimeClass once at start-up.
#pragma once

#include <cstdint>

class CArchive;
class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    uint16_t m_wSchema;
    CObject* (*m_pfnCreateObject)();
    CRuntimeClass* m_pNextClass;

    CObject* CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }
    // The registered class with exactly this name (letter case counts), or null.
    static const CRuntimeClass* FromName(const char* name);
};

// Adds a class to the by-name registry; use through a static instance.
struct CClassRegistration {
    explicit CClassRegistration(CRuntimeClass* cls);
    ~CClassRegistration();
    CRuntimeClass* m_pClass;
};

class CObject {
public:
    virtual ~CObject() = default;
    virtual const CRuntimeClass* GetRuntimeClass() const { return nullptr; }
    virtual void Serialize(CArchive&) {}
    virtual void AssertValid() const {}
    virtual void Dump() const {}
};
