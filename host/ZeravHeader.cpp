#include "ZeravHeader.h"

#include <cstring>

#include "platform/Archive.h"
#include "platform/File.h"
#include "platform/NoCase.h"

namespace {
const char kSignature[4] = {'Z', 'R', 'V', 'H'};
}

CZeravHeader::CZeravHeader(int number) : m_wFlags(0), m_nNumber(number) {}
CZeravHeader::~CZeravHeader() = default;

void CZeravHeader::SetDesc(const char* description) {
    m_strDesc = description;
}

int CZeravHeader::OpenCompare(const char* path) const {
    CDiskFile file;
    if (!file.OpenForReading(path, nullptr)) return 0;
    try {
        CArchive ar(&file, CArchive::load);
        char signature[4];
        ar.ReadBytes(signature, sizeof signature);
        if (std::memcmp(signature, kSignature, sizeof signature) != 0) return errNotConfigFile;
        if (ar.ReadWord() > kFormat) return errNewerFormat;
        ar.ReadInt();
        ar.ReadWord();
        std::string desc = ar.ReadString();
        if (!m_strDesc.IsEmpty() && StrICmp(desc.c_str(), m_strDesc) != 0) return errOtherDriver;
        return 0;
    } catch (const CArchiveException&) {
        return errNotConfigFile;
    } catch (const CFileException&) {
        return 0;
    } catch (...) {
        return errNotConfigFile;
    }
}

void CZeravHeader::Serialize(CArchive& ar) {
    try {
        if (ar.IsStoring()) {
            ar.WriteBytes(kSignature, sizeof kSignature);
            ar.WriteWord(kFormat);
            ar.WriteInt(m_nNumber);
            ar.WriteWord(m_wFlags);
            ar.WriteString(m_strDesc.Str());
        } else {
            char signature[4];
            ar.ReadBytes(signature, sizeof signature);
            if (std::memcmp(signature, kSignature, sizeof signature) != 0 ||
                ar.ReadWord() > kFormat) {
                ar.SetDeferredError(CArchiveException::badClass);
                return;
            }
            m_nNumber = ar.ReadInt();
            m_wFlags = ar.ReadWord();
            m_strDesc = ar.ReadString().c_str();
        }
    } catch (const CArchiveException& e) {
        ar.SetDeferredError(e.m_cause ? e.m_cause : CArchiveException::generic);
    } catch (...) {
        ar.SetDeferredError(CArchiveException::generic);
    }
}
