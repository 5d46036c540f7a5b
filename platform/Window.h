// The small dialog layer the settings dialogs stand on (Windows only): modal
// dialogs and property pages from the resource templates of the module that
// builds them, with the data exchange the pages need. Built on the plain
// Win32 dialog manager.
#pragma once

#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>

#include <string>

// The module whose templates, strings and bitmaps the dialogs load: the driver
// library sets it when it is loaded.
void SetResourceModule(HINSTANCE module);
HINSTANCE GetResourceModule();

class CDialog {
public:
    CDialog(UINT templateId, HWND parent);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // IDOK or IDCANCEL (-1 when the dialog could not be shown).
    INT_PTR DoModal();
    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

    // Data exchange: the text of a control, and whole numbers read as the
    // class library reads them (blanks around, a sign only when signed).
    std::string GetText(int id) const;
    void SetText(int id, const std::string& text);
    bool GetInt(int id, long long* value, bool isSigned) const;
    void SetInt(int id, long long value);
    // Moves the keyboard focus to a control and selects its text.
    void FocusField(int id);

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(m_hWnd, IDOK); }
    virtual void OnCancel() { EndDialog(m_hWnd, IDCANCEL); }
    virtual BOOL OnCommand(int id, int code) {
        (void)id;
        (void)code;
        return FALSE;
    }
    // Return TRUE when handled, with the result in *result.
    virtual BOOL OnNotify(NMHDR* header, LRESULT* result) {
        (void)header;
        (void)result;
        return FALSE;
    }
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nTemplate;
    HWND m_hParent;
    HWND m_hWnd = nullptr;
    HINSTANCE m_hModule;  // taken when built: whoever shows it, the templates are the builder's
};

// A page of a tab sheet: a child dialog made from its own template.
class CPropertyPage : public CDialog {
public:
    explicit CPropertyPage(UINT templateId) : CDialog(templateId, nullptr) {}
    // Creates the page window as a child of parent; false when it fails.
    bool Create(HWND parent);
    // The page's title (its template's caption).
    std::string GetTitle() const;
    // Commits the page's data; called by the sheet on OK.
    virtual void OnOK() {}
    void OnCancel() override {}
};
