// The settings dialogs as a person uses them, through slot 2 of the built
// driver: a second thread finds the dialogs the first one shows, types into
// their fields and presses their buttons, as a person would.
#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"
#include "host/ZeravError.h"

using testsupport::Cp949;

namespace {

std::vector<int> g_messages;
void Record(int code, const char*, int, const char* const*) {
    g_messages.push_back(code);
}

struct Search {
    std::string caption;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM p) {
    auto* s = reinterpret_cast<Search*>(p);
    char cls[32] = {}, text[256] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, text, sizeof text);
    if (IsWindowVisible(hwnd) && std::string(cls) == "#32770" && s->caption == text) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level dialog of the thread with this caption, or null.
HWND FindDialog(DWORD thread, const std::string& caption) {
    Search search{caption, nullptr};
    EnumThreadWindows(thread, &MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitDialog(DWORD thread, const std::string& caption) {
    for (int i = 0; i < 500; ++i) {
        if (HWND h = FindDialog(thread, caption)) return h;
        Sleep(10);
    }
    return nullptr;
}

bool WaitGone(HWND hwnd) {
    for (int i = 0; i < 500 && IsWindow(hwnd) && IsWindowVisible(hwnd); ++i) Sleep(10);
    return !IsWindow(hwnd) || !IsWindowVisible(hwnd);
}

// The page of the sheet that holds a control.
HWND PageWith(HWND sheet, int control) {
    for (HWND child = GetWindow(sheet, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgItem(child, control)) return child;
    }
    return nullptr;
}

// A button press that does not wait for what the press opens.
void Press(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::string Text(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

std::vector<std::string> TreeLabels(HWND tree, HTREEITEM* items = nullptr) {
    std::vector<std::string> labels;
    HTREEITEM root = TreeView_GetRoot(tree);
    int n = 0;
    for (HTREEITEM item = root; item; item = item == root ? TreeView_GetChild(tree, root)
                                                          : TreeView_GetNextSibling(tree, item)) {
        char text[256] = {};
        TVITEMA tv = {};
        tv.mask = TVIF_TEXT;
        tv.hItem = item;
        tv.pszText = text;
        tv.cchTextMax = sizeof text;
        SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
        labels.push_back(text);
        if (items) items[n++] = item;
    }
    return labels;
}

void Select(HWND tree, HTREEITEM item) {
    SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
}

// Selects the station at a position of the tree, presses Delete and answers
// the question with Yes; false when the question did not come or go.
bool DeleteStation(DWORD thread, HWND page, int position) {
    HWND tree = GetDlgItem(page, 9736);
    HTREEITEM items[8] = {};
    TreeLabels(tree, items);
    Select(tree, items[position]);
    Press(page, 9738);
    HWND question = WaitDialog(thread, Cp949("확인"));
    if (!question) return false;
    Press(question, IDYES);
    return WaitGone(question);
}

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        CZeravError::SetHandler(&Record);
        ASSERT_TRUE(drv.Loaded());
        path = dir.Path("Line1.cfg");
    }
    void TearDown() override { CZeravError::SetHandler(nullptr); }

    void WriteConfig() {
        CConfigData config;
        config.SetTimeout(1500);
        for (auto [name, number] : {std::pair<const char*, int>{"A", 1}, {"B", 2}}) {
            auto* s = new CStationData;
            s->SetName(name);
            s->SetStationNo(number);
            s->SetDescription("old");
            config.AddStation(s);
        }
        ASSERT_EQ(config.Save(path.c_str()), 0);
    }

    // Runs slot 2 on this thread while person acts on another; slot 2's result.
    int Configure(const std::function<void(DWORD thread)>& person) {
        DWORD self = GetCurrentThreadId();
        std::thread other([&] { person(self); });
        int result = drv.Configure(path);
        other.join();
        return result;
    }

    const std::string kSheet = Cp949("디바이스 설정 (Dravik 모터컨트롤러)");
    const std::string kStation = Cp949("스테이션 설정");
    DriverTable drv;
    testsupport::ScratchDir dir;
    std::string path;
};

}  // namespace

TEST_F(Dialogs, AddEditDeleteAndThePortPageReachTheFileOnOK) {
    WriteConfig();
    int result = Configure([&](DWORD t) {
        HWND sheet = WaitDialog(t, kSheet);
        ASSERT_TRUE(sheet);
        HWND page = PageWith(sheet, 9736);
        HWND ports = PageWith(sheet, 9900);
        ASSERT_TRUE(page && ports);
        HWND tree = GetDlgItem(page, 9736);
        EXPECT_EQ(Text(page, 9741), "1");  // 1500 ms shows 1
        EXPECT_EQ(TreeLabels(tree),
                  (std::vector<std::string>{"LINE1", "A (1) : old", "B (2) : old"}));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page, 9737)));  // nothing chosen: no Edit

        // add: a name that differs from A only in case is refused, then C goes in
        Press(page, 9739);
        HWND station = WaitDialog(t, kStation);
        ASSERT_TRUE(station);
        EXPECT_EQ(Text(station, 9751), "1.0");
        SetDlgItemTextA(station, 9741, "a");
        SetDlgItemTextA(station, 9743, "3");
        SetDlgItemTextA(station, 9751, "2.5");
        Press(station, IDOK);
        for (int i = 0; i < 200 && g_messages.empty(); ++i) Sleep(10);
        EXPECT_EQ(g_messages, std::vector<int>{2710});
        ASSERT_TRUE(IsWindowVisible(station));
        SetDlgItemTextA(station, 9741, "C");
        Press(station, IDOK);
        ASSERT_TRUE(WaitGone(station));

        // edit B
        HTREEITEM items[8] = {};
        TreeLabels(tree, items);
        Select(tree, items[2]);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, 9737)));
        Press(page, 9737);
        station = WaitDialog(t, kStation);
        ASSERT_TRUE(station);
        EXPECT_EQ(Text(station, 9741), "B");
        SetDlgItemTextA(station, 9742, "new");
        Press(station, IDOK);
        ASSERT_TRUE(WaitGone(station));

        // delete A, answering the question
        ASSERT_TRUE(DeleteStation(t, page, 1));
        for (int i = 0; i < 200 && TreeLabels(tree).size() != 3; ++i) Sleep(10);
        EXPECT_EQ(TreeLabels(tree), (std::vector<std::string>{"LINE1", "B (2) : new", "C (3) : "}));

        // the port page, never shown, and the time-out
        SendDlgItemMessageA(ports, 9900, CB_SETCURSEL, 4, 0);
        SendDlgItemMessageA(ports, 9014, CB_SETCURSEL, 8, 0);
        CheckRadioButton(ports, 9015, 9017, 9017);
        CheckRadioButton(ports, 9018, 9019, 9018);
        CheckRadioButton(ports, 9020, 9021, 9021);
        SetDlgItemTextA(page, 9741, "3");
        Press(sheet, IDOK);
        EXPECT_TRUE(WaitGone(sheet));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_messages, std::vector<int>{2710});

    CConfigData saved;
    ASSERT_EQ(saved.Load(path.c_str()), 0);
    ASSERT_EQ(saved.GetStationCount(), 2);
    EXPECT_STREQ(saved.GetStationAt(0)->GetName(), "B");
    EXPECT_STREQ(saved.GetStationAt(0)->GetDescription(), "new");
    EXPECT_STREQ(saved.GetStationAt(1)->GetName(), "C");
    EXPECT_EQ(saved.GetStationAt(1)->GetStationNo(), 3);
    EXPECT_EQ(saved.GetStationAt(1)->GetPollPeriod(), 2500);
    EXPECT_EQ(saved.GetTimeout(), 3000);
    EXPECT_EQ(saved.GetPort(), 4);
    EXPECT_EQ(saved.GetBaudRate(), 8);
    EXPECT_EQ(saved.GetParity(), 2);
    EXPECT_EQ(saved.GetDataBits(), 0);
    EXPECT_EQ(saved.GetStopBits(), 1);
}

TEST_F(Dialogs, CancelLeavesTheFileAsItWas) {
    WriteConfig();
    std::string before = testsupport::ReadBytes(path);
    int result = Configure([&](DWORD t) {
        HWND sheet = WaitDialog(t, kSheet);
        ASSERT_TRUE(sheet);
        HWND page = PageWith(sheet, 9736);
        ASSERT_TRUE(DeleteStation(t, page, 1));
        SetDlgItemTextA(page, 9735, "100");
        Press(sheet, IDCANCEL);
        EXPECT_TRUE(WaitGone(sheet));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testsupport::ReadBytes(path), before);
}

TEST_F(Dialogs, ValuesOutsideTheirRangesKeepTheSheetOpen) {
    WriteConfig();
    std::string before = testsupport::ReadBytes(path);
    int result = Configure([&](DWORD t) {
        HWND sheet = WaitDialog(t, kSheet);
        ASSERT_TRUE(sheet);
        HWND page = PageWith(sheet, 9736);
        for (auto [field, text, message] : {std::tuple<int, const char*, int>{9741, "0", 2717},
                                            {9741, "", 2725},
                                            {9735, "2001", 2716},
                                            {9743, "-1", 2718}}) {
            g_messages.clear();
            SetDlgItemTextA(page, 9735, "0");
            SetDlgItemTextA(page, 9741, "5");
            SetDlgItemTextA(page, 9743, "0");
            SetDlgItemTextA(page, field, text);
            Press(sheet, IDOK);
            for (int i = 0; i < 200 && g_messages.empty(); ++i) Sleep(10);
            EXPECT_EQ(g_messages, std::vector<int>{message}) << field << " " << text;
            EXPECT_TRUE(IsWindowVisible(sheet));
        }
        Press(sheet, IDCANCEL);
        EXPECT_TRUE(WaitGone(sheet));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testsupport::ReadBytes(path), before);
}

TEST_F(Dialogs, ANewFileStartsFromTheDefaults) {
    path = dir.Path("new line.cfg");
    int result = Configure([&](DWORD t) {
        HWND sheet = WaitDialog(t, kSheet);
        ASSERT_TRUE(sheet);
        HWND page = PageWith(sheet, 9736);
        HWND ports = PageWith(sheet, 9900);
        EXPECT_EQ(TreeLabels(GetDlgItem(page, 9736)), std::vector<std::string>{"NEW LINE"});
        EXPECT_EQ(Text(page, 9735), "0");
        EXPECT_EQ(Text(page, 9741), "5");
        EXPECT_EQ(Text(page, 9743), "0");
        EXPECT_EQ(Text(ports, 9900), "COM1");
        EXPECT_EQ(Text(ports, 9014), " 9600");
        EXPECT_EQ(IsDlgButtonChecked(ports, 9015), BST_CHECKED);
        EXPECT_EQ(IsDlgButtonChecked(ports, 9019), BST_CHECKED);
        EXPECT_EQ(IsDlgButtonChecked(ports, 9020), BST_CHECKED);
        Press(sheet, IDOK);
        EXPECT_TRUE(WaitGone(sheet));
    });
    EXPECT_EQ(result, 1);
    CConfigData saved;
    EXPECT_EQ(saved.Load(path.c_str()), 0);
    EXPECT_TRUE(g_messages.empty());
}

TEST_F(Dialogs, LoadAndSaveFailuresAreShownAndReportedAsNotSaved) {
    testsupport::WriteBytes(path, "not a configuration");
    EXPECT_EQ(drv.Configure(path), 0);  // no dialog at all
    EXPECT_EQ(g_messages, std::vector<int>{2100});

    g_messages.clear();
    WriteConfig();
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    int result = Configure([&](DWORD t) {
        HWND sheet = WaitDialog(t, kSheet);
        ASSERT_TRUE(sheet);
        Press(sheet, IDOK);
        EXPECT_TRUE(WaitGone(sheet));
    });
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(g_messages, std::vector<int>{2001});
}

TEST_F(Dialogs, TheStationDialogChecksInOrderAndFocusesTheField) {
    WriteConfig();
    std::string before = testsupport::ReadBytes(path);
    int result = Configure([&](DWORD t) {
        HWND sheet = WaitDialog(t, kSheet);
        ASSERT_TRUE(sheet);
        HWND page = PageWith(sheet, 9736);
        Press(page, 9739);
        HWND station = WaitDialog(t, kStation);
        ASSERT_TRUE(station);
        EXPECT_EQ(Text(station, 9741), "");
        EXPECT_EQ(Text(station, 9743), "0");
        EXPECT_EQ(Text(station, 9751), "1.0");
        struct Case {
            const char *name, *number, *period;
            int message, focus;
        };
        for (const Case& c :
             {Case{"", "0", "1.0", 2711, 9741}, Case{"b", "9", "1.0", 2710, 9741},
              Case{"x", "2", "1.0", 2712, 9743}, Case{"x", "255", "1.0", 2714, 9743},
              Case{"x", "", "1.0", 2725, 9743}, Case{"x", "40", "0.05", 2715, 9751},
              Case{"x", "40", "1000", 2715, 9751}, Case{"x", "40", "", 2715, 9751}}) {
            g_messages.clear();
            SetDlgItemTextA(station, 9741, c.name);
            SetDlgItemTextA(station, 9743, c.number);
            SetDlgItemTextA(station, 9751, c.period);
            Press(station, IDOK);
            for (int i = 0; i < 200 && g_messages.empty(); ++i) Sleep(10);
            EXPECT_EQ(g_messages, std::vector<int>{c.message})
                << c.name << " " << c.number << " " << c.period;
            // (the message is recorded before the dialog moves the focus: wait for it)
            GUITHREADINFO info = {};
            info.cbSize = sizeof info;
            for (int i = 0; i < 300; ++i) {
                GetGUIThreadInfo(t, &info);
                if (info.hwndFocus == GetDlgItem(station, c.focus)) break;
                Sleep(10);
            }
            EXPECT_EQ(info.hwndFocus, GetDlgItem(station, c.focus)) << c.message;
            EXPECT_TRUE(IsWindowVisible(station));
        }
        Press(station, IDCANCEL);
        ASSERT_TRUE(WaitGone(station));
        EXPECT_EQ(TreeLabels(GetDlgItem(page, 9736)).size(), 3u);  // nothing added
        Press(sheet, IDCANCEL);
        EXPECT_TRUE(WaitGone(sheet));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testsupport::ReadBytes(path), before);
}
