#include <cerrno>
#include <cstdlib>

#include "Window.h"

namespace {
HINSTANCE g_resourceModule = nullptr;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
}  // namespace

void SetResourceModule(HINSTANCE module) {
    g_resourceModule = module;
}
HINSTANCE GetResourceModule() {
    return g_resourceModule;
}

CDialog::CDialog(UINT templateId, HWND parent)
    : m_nTemplate(templateId), m_hParent(parent), m_hModule(g_resourceModule) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    INT_PTR r = DialogBoxParamA(m_hModule, MAKEINTRESOURCEA(m_nTemplate), m_hParent, &DialogProc,
                                reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return r;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        self->m_hWnd = hwnd;
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!self) return FALSE;
    switch (message) {
        case WM_COMMAND: {
            int id = LOWORD(wParam);
            int code = HIWORD(wParam);
            if (code == BN_CLICKED && id == IDOK) {
                self->OnOK();
                return TRUE;
            }
            if (code == BN_CLICKED && id == IDCANCEL) {
                self->OnCancel();
                return TRUE;
            }
            return self->OnCommand(id, code);
        }
        case WM_NOTIFY: {
            LRESULT result = 0;
            if (self->OnNotify(reinterpret_cast<NMHDR*>(lParam), &result)) {
                SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
                return TRUE;
            }
            return FALSE;
        }
        case WM_NCDESTROY:
            self->m_hWnd = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

std::string CDialog::GetText(int id) const {
    HWND item = GetDlgItem(id);
    int n = GetWindowTextLengthA(item);
    std::string text(static_cast<size_t>(n) + 1, '\0');
    GetWindowTextA(item, &text[0], n + 1);
    text.resize(static_cast<size_t>(lstrlenA(text.c_str())));
    return text;
}

void CDialog::SetText(int id, const std::string& text) {
    SetDlgItemTextA(m_hWnd, id, text.c_str());
}

bool CDialog::GetInt(int id, long long* value, bool isSigned) const {
    std::string text = GetText(id);
    const char* p = text.c_str();
    while (IsBlank(*p)) ++p;
    if (!isSigned && *p == '-') return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 10);
    if (end == p || errno == ERANGE) return false;
    while (IsBlank(*end)) ++end;
    if (*end != '\0') return false;
    if (isSigned ? (v < -2147483647LL - 1 || v > 2147483647LL) : (v > 4294967295LL)) return false;
    *value = v;
    return true;
}

void CDialog::SetInt(int id, long long value) {
    SetText(id, std::to_string(value));
}

void CDialog::FocusField(int id) {
    HWND item = GetDlgItem(id);
    SendMessageA(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
    SendMessageA(item, EM_SETSEL, 0, -1);
}

bool CPropertyPage::Create(HWND parent) {
    m_hParent = parent;
    HWND page = CreateDialogParamA(m_hModule, MAKEINTRESOURCEA(m_nTemplate), parent, &DialogProc,
                                   reinterpret_cast<LPARAM>(this));
    return page != nullptr;
}

std::string CPropertyPage::GetTitle() const {
    char title[128] = {};
    GetWindowTextA(m_hWnd, title, sizeof title);
    return title;
}
