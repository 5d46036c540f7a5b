// The header at the start of every configuration file of this host's drivers.
//
// Bytes (little-endian), H = 13 + length of the description:
//   0  4  signature "ZRVH"
//   4  2  header format, 1
//   6  4  the number given to the constructor (the driver's file generation)
//  10  2  m_wFlags (the drivers set it to 1)
//  12  .. description, as an archive string (length byte, then the CP949 bytes;
//         the long forms for 255 bytes and more)
// The header enters nothing in the archive's object numbering.
#pragma once

#include <cstdint>

#include "ZeravSubApi.h"
#include "platform/CString.h"

class CArchive;

class ZERAVSUB_API CZeravHeader {
public:
    // Results of OpenCompare besides 0 (the loader's own codes are 2000-2005).
    enum {
        errNotConfigFile = 2100,  // the file does not start with this header
        errNewerFormat = 2101,    // the header is of a later format than this library reads
        errOtherDriver = 2102,    // the file belongs to a driver of another description
    };
    static const uint16_t kFormat = 1;

    explicit CZeravHeader(int number);
    virtual ~CZeravHeader();

    void SetDesc(const char* description);
    const char* GetDesc() const { return m_strDesc; }
    int GetNumber() const { return m_nNumber; }

    // 0 when the file starts with this header (of this description), else one
    // of the codes above. A file that cannot be opened or read at all is left
    // to the loader: 0.
    int OpenCompare(const char* path) const;

    // Writes or reads the header. Never throws into the caller's module: a
    // failure is left in the archive (SetDeferredError) for the caller.
    void Serialize(CArchive& ar);

    uint16_t m_wFlags;

private:
    int m_nNumber;
    CString m_strDesc;
};
