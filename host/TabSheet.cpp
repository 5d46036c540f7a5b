#include "TabSheet.h"

#include <string>

CTabSheet::CTabSheet() = default;
CTabSheet::~CTabSheet() = default;

void CTabSheet::Attach(HWND tab) {
    m_hTab = tab;
}

void CTabSheet::AddPage(CPropertyPage* page) {
    HWND dialog = GetParent(m_hTab);
    if (!page || !page->Create(dialog)) return;
    std::string title = page->GetTitle();
    TCITEMA item = {};
    item.mask = TCIF_TEXT;
    item.pszText = &title[0];
    SendMessageA(m_hTab, TCM_INSERTITEMA, m_pages.size(), reinterpret_cast<LPARAM>(&item));

    // the page sits in the tab's display area, after the tab in the tab order
    HWND hwnd = page->GetSafeHwnd();
    SetWindowTextA(hwnd, "");
    RECT area;
    GetWindowRect(m_hTab, &area);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&area), 2);
    SendMessageA(m_hTab, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    HWND after = m_pages.empty() ? m_hTab : m_pages.back()->GetSafeHwnd();
    SetWindowPos(hwnd, after, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_NOACTIVATE | SWP_HIDEWINDOW);
    m_pages.push_back(page);
}

void CTabSheet::SetActivePage(int index) {
    if (index < 0 || index >= static_cast<int>(m_pages.size())) return;
    SendMessageA(m_hTab, TCM_SETCURSEL, index, 0);
    for (size_t i = 0; i < m_pages.size(); ++i) {
        ShowWindow(m_pages[i]->GetSafeHwnd(), static_cast<int>(i) == index ? SW_SHOW : SW_HIDE);
    }
}

int CTabSheet::GetActiveIndex() const {
    return static_cast<int>(SendMessageA(m_hTab, TCM_GETCURSEL, 0, 0));
}

void CTabSheet::SendOnOK() {
    for (CPropertyPage* page : m_pages) page->OnOK();
}

BOOL CTabSheet::HandleNotify(NMHDR* header) {
    if (header->hwndFrom != m_hTab || header->code != TCN_SELCHANGE) return FALSE;
    SetActivePage(GetActiveIndex());
    return TRUE;
}
