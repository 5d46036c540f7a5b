// A tab sheet that takes over an existing tab control of a plain dialog and
// hosts property pages in it (Windows). The pages are created when they are
// added, so every page has its controls until the dialog ends, shown or not.
#pragma once

#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>

#include <vector>

#include "ZeravSubApi.h"
#include "platform/Window.h"

class ZERAVSUB_API CTabSheet {
public:
    CTabSheet();
    virtual ~CTabSheet();

    // The tab control to take over (a child of the dialog).
    void Attach(HWND tab);
    // Adds a tab with the page's title and creates the page in the tab's area.
    void AddPage(CPropertyPage* page);
    void SetActivePage(int index);
    int GetActiveIndex() const;
    // Lets every page commit its data.
    void SendOnOK();
    // The dialog hands on its notifications; TRUE when it was the tab's.
    BOOL HandleNotify(NMHDR* header);

private:
    HWND m_hTab = nullptr;
    std::vector<CPropertyPage*> m_pages;
};
