// Not a test: acts on a dialog another program shows, as a person would, for
// the tests that run a tool's dialog in its own process.
//   DialogPoke TITLE ACTION...   (TITLE in UTF-8)
// Waits up to 30 s for a top-level window titled TITLE, then for each action:
//   select:PAGECONTROL:INDEX  picks an item of a drop-down list on any page
//                             and tells its page, as a click does
//   ok | cancel               presses the button of the sheet or dialog
// Exit status 0 when the window was found and every action had its control.
#include <windows.h>
// shellapi.h needs windows.h first
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring Wide(const char* utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &w[0], n);
    w.resize(wcslen(w.c_str()));
    return w;
}

HWND ControlOnAnyPage(HWND sheet, int id) {
    for (HWND page = GetWindow(sheet, GW_CHILD); page; page = GetWindow(page, GW_HWNDNEXT)) {
        if (HWND c = GetDlgItem(page, id)) return c;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: DialogPoke TITLE ACTION...\n", stderr);
        return 64;
    }
    // the Korean title arrives in the ANSI code page; the wide command line has it whole
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    std::wstring title = wargc > 1 ? std::wstring(wargv[1]) : Wide(argv[1]);
    HWND window = nullptr;
    for (int i = 0; i < 3000 && !window; ++i) {
        window = FindWindowW(nullptr, title.c_str());
        if (!window) Sleep(10);
    }
    if (!window) {
        std::fputs("DialogPoke: no such window\n", stderr);
        return 1;
    }
    Sleep(200);  // the sheet finishes creating its pages
    for (int i = 2; i < argc; ++i) {
        std::string action = argv[i];
        if (action == "ok" || action == "cancel") {
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(action == "ok" ? IDOK : IDCANCEL, BN_CLICKED),
                         0);
        } else if (action.rfind("select:", 0) == 0) {
            int id = 0, index = 0;
            if (std::sscanf(action.c_str(), "select:%d:%d", &id, &index) != 2) return 64;
            HWND combo = ControlOnAnyPage(window, id);
            if (!combo) {
                std::fprintf(stderr, "DialogPoke: no control %d\n", id);
                return 1;
            }
            SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
            SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(combo));
        } else {
            return 64;
        }
    }
    LocalFree(wargv);
    return 0;
}
