// Shows one of the settings dialogs on a sample configuration and holds it
// open for a screenshot: DialogShots sheet|ports|station. Prints
// "ready X Y W H" (the dialog's place on the screen) and closes everything
// when a line arrives on standard input.
#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"

using testsupport::Cp949;

namespace {

struct Search {
    std::string caption;
    HWND found;
};

BOOL CALLBACK MatchCaption(HWND hwnd, LPARAM p) {
    auto* s = reinterpret_cast<Search*>(p);
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    if (IsWindowVisible(hwnd) && s->caption == text) s->found = hwnd;
    return s->found == nullptr;
}

HWND WaitDialog(DWORD thread, const std::string& caption) {
    for (int i = 0; i < 1000; ++i) {
        Search s{caption, nullptr};
        EnumThreadWindows(thread, &MatchCaption, reinterpret_cast<LPARAM>(&s));
        if (s.found) return s.found;
        Sleep(10);
    }
    return nullptr;
}

HWND PageWith(HWND sheet, int control) {
    for (HWND child = GetWindow(sheet, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (GetDlgItem(child, control)) return child;
    return nullptr;
}

void Press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "sheet";
    testsupport::ScratchDir dir;
    std::string path = dir.Path("Line1.cfg");
    CConfigData config;
    config.SetTimeout(3000);
    config.SetRetries(2);
    config.SetDelay(20);
    config.SetPort(2);
    const char* names[] = {"펌프1", "펌프2", "팬"};
    const char* descriptions[] = {"유입 펌프", "배출 펌프", "환기 팬"};
    for (int i = 0; i < 3; ++i) {
        auto* s = new CStationData;
        s->SetName(Cp949(names[i]).c_str());
        s->SetDescription(Cp949(descriptions[i]).c_str());
        s->SetStationNo(i + 1);
        s->SetPollPeriod(500 * (i + 1));
        config.AddStation(s);
    }
    config.Save(path.c_str());

    DriverTable drv;
    DWORD self = GetCurrentThreadId();
    std::thread person([&] {
        HWND sheet = WaitDialog(self, Cp949("디바이스 설정 (Dravik 모터컨트롤러)"));
        if (!sheet) return;
        HWND shown = sheet;
        HWND page = PageWith(sheet, 9736);
        HWND tree = GetDlgItem(page, 9736);
        HTREEITEM first = TreeView_GetChild(tree, TreeView_GetRoot(tree));
        TreeView_SelectItem(tree, first);
        if (mode == "ports") {
            HWND tab = GetDlgItem(sheet, 9735);
            TabCtrl_SetCurSel(tab, 1);
            NMHDR note = {tab, 9735, static_cast<UINT>(TCN_SELCHANGE)};
            SendMessageA(sheet, WM_NOTIFY, 9735, reinterpret_cast<LPARAM>(&note));
        } else if (mode == "station") {
            Press(page, 9737);
            shown = WaitDialog(self, Cp949("스테이션 설정"));
        }
        Sleep(300);
        RECT r;
        GetWindowRect(shown, &r);
        std::printf("ready %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
        if (shown != sheet) Press(shown, IDCANCEL);
        Sleep(100);
        Press(sheet, IDCANCEL);
    });
    drv.Configure(path);
    person.join();
    return 0;
}
