#include "SettingsDialogs_win32.h"

#include <cstdio>

#include "SettingsDialog.h"
#include "config/ConfigData.h"
#include "config/LineSettings.h"
#include "config/StationRules.h"
#include "driver_texts.h"
#include "host/ZeravError.h"
#include "platform/CString.h"

namespace {

// Controls of the sheet and its pages
const int kTab = 9735;
const int kTree = 9736, kEdit = 9737, kDelete = 9738, kAdd = 9739;
const int kDelayEdit = 9735, kDelaySpin = 9740, kTimeoutEdit = 9741, kTimeoutSpin = 9742;
const int kRetriesEdit = 9743, kRetriesSpin = 9744;
const int kPortList = 9900, kBaudList = 9014, kParityFirst = 9015, kDataBitsFirst = 9018,
          kStopBitsFirst = 9020;
// Controls of the station dialog
const int kName = 9741, kDescription = 9742, kNumber = 9743, kNumberSpin = 9744, kPeriod = 9751,
          kPeriodSpin = 9752;
const int kStationBitmap = 9561;
const int kImageChannel = 0, kImageStation = 1;

void SetSpinRange(HWND spin, const line::LineRange& range) {
    SendMessageA(spin, UDM_SETRANGE32, range.low, range.high);
}

// Appends an item under parent, with the same image selected or not.
HTREEITEM InsertItem(HWND tree, HTREEITEM parent, std::string text, int image, LPARAM data) {
    TVINSERTSTRUCTA insert = {};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = &text[0];
    insert.item.iImage = insert.item.iSelectedImage = image;
    insert.item.lParam = data;
    return reinterpret_cast<HTREEITEM>(
        SendMessageA(tree, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
}

}  // namespace

void CSettingsPage::ShowFailure(int messageId, int field) {
    if (m_pSheet) m_pSheet->SetActivePage(m_nIndex);
    CZeravError::ErrMsg(messageId, 0);
    FocusField(field);
}

// ---- the station page ----

CConfigPage1::CConfigPage1() : CSettingsPage(9554) {}

CConfigPage1::~CConfigPage1() {
    if (m_imageList) ImageList_Destroy(m_imageList);
}

void CConfigPage1::LoadFrom(CConfigData* config) {
    m_pConfig = config;
    m_work.LoadFrom(*config);
}

BOOL CConfigPage1::OnInitDialog() {
    m_tree = GetDlgItem(kTree);
    SetInt(kDelayEdit, m_work.m_nDelay);
    SetInt(kRetriesEdit, m_work.m_nRetries);
    SetInt(kTimeoutEdit, m_work.m_nTimeoutSec);

    m_imageList = ImageList_LoadImageA(m_hModule, MAKEINTRESOURCEA(kStationBitmap), 16, 0,
                                       RGB(255, 0, 255), IMAGE_BITMAP, LR_CREATEDIBSECTION);
    ImageList_SetBkColor(m_imageList, GetSysColor(COLOR_WINDOW));
    SendMessageA(m_tree, TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(m_imageList));

    m_hRootItem = InsertItem(m_tree, TVI_ROOT, FormatRootLabel(*m_pConfig), kImageChannel, 0);
    for (const auto& station : m_work.Items()) InsertStationItem(station.get());
    SendMessageA(m_tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(m_hRootItem));

    SetSpinRange(GetDlgItem(kDelaySpin), line::kDelayMs);
    SetSpinRange(GetDlgItem(kTimeoutSpin), line::kTimeoutSeconds);
    SetSpinRange(GetDlgItem(kRetriesSpin), line::kRetries);
    UpdateButtons();
    return TRUE;
}

void CConfigPage1::InsertStationItem(CStationData* station) {
    station->SetTreeItem(InsertItem(m_tree, m_hRootItem, FormatStationLabel(*station),
                                    kImageStation, reinterpret_cast<LPARAM>(station)));
}

CStationData* CConfigPage1::SelectedStation(HTREEITEM* itemOut) const {
    HTREEITEM item =
        reinterpret_cast<HTREEITEM>(SendMessageA(m_tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (itemOut) *itemOut = item;
    if (!item) return nullptr;
    TVITEMA tv = {};
    tv.mask = TVIF_PARAM;
    tv.hItem = item;
    SendMessageA(m_tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
    return reinterpret_cast<CStationData*>(tv.lParam);
}

void CConfigPage1::UpdateButtons() {
    bool station = SelectedStation(nullptr) != nullptr;
    EnableWindow(GetDlgItem(kEdit), station);
    EnableWindow(GetDlgItem(kDelete), station);
    EnableWindow(GetDlgItem(kAdd), TRUE);
}

BOOL CConfigPage1::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return FALSE;
    if (id == kAdd)
        OnAddStation();
    else if (id == kDelete)
        OnDeleteStation();
    else if (id == kEdit)
        OnEditStation();
    else
        return FALSE;
    return TRUE;
}

BOOL CConfigPage1::OnNotify(NMHDR* header, LRESULT* result) {
    if (header->idFrom != static_cast<UINT_PTR>(kTree)) return FALSE;
    if (header->code == NM_DBLCLK) {
        OnEditStation();
        *result = 1;  // handled: the tree neither expands nor collapses
        return TRUE;
    }
    if (header->code == TVN_SELCHANGEDA || header->code == TVN_SELCHANGEDW) {
        UpdateButtons();
        *result = 1;
        return TRUE;
    }
    return FALSE;
}

void CConfigPage1::OnAddStation() {
    CStationData temporary;
    CStationDlg dialog(this);
    dialog.SetStation(&temporary);
    if (dialog.DoModal() != IDOK) return;
    CStationData* station = m_work.Append(temporary);
    InsertStationItem(station);
    SendMessageA(m_tree, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(station->GetTreeItem()));
}

void CConfigPage1::OnEditStation() {
    HTREEITEM item = nullptr;
    CStationData* station = SelectedStation(&item);
    if (!station) return;
    CStationDlg dialog(this);
    dialog.SetStation(station);
    if (dialog.DoModal() != IDOK) return;
    std::string label = FormatStationLabel(*station);
    TVITEMA tv = {};
    tv.mask = TVIF_TEXT;
    tv.hItem = item;
    tv.pszText = &label[0];
    SendMessageA(m_tree, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&tv));
}

void CConfigPage1::OnDeleteStation() {
    HTREEITEM item = nullptr;
    CStationData* station = SelectedStation(&item);
    if (!station) return;
    std::string question = StrFormat(txt::TXT_DELETE_QUESTION, station->GetName().GetString());
    if (MessageBoxA(m_hWnd, question.c_str(), txt::TXT_DELETE_CAPTION,
                    MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    m_work.Remove(station);
    SendMessageA(m_tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item));
}

bool CConfigPage1::ReadFields() {
    struct Field {
        int id;
        bool isSigned;
        int (*check)(long long);
    };
    // in the order of the page's data exchange: delay, retries, time-out
    const Field fields[] = {{kDelayEdit, true, &CheckDelay},
                            {kRetriesEdit, true, &CheckRetries},
                            {kTimeoutEdit, false, &CheckTimeoutSeconds}};
    long long values[3] = {};
    for (int i = 0; i < 3; ++i) {
        int failed = GetInt(fields[i].id, &values[i], fields[i].isSigned)
                         ? fields[i].check(values[i])
                         : txt::IDS_PARSE_INT;
        if (failed) {
            ShowFailure(failed, fields[i].id);
            return false;
        }
    }
    m_work.m_nDelay = static_cast<int32_t>(values[0]);
    m_work.m_nRetries = static_cast<int32_t>(values[1]);
    m_work.m_nTimeoutSec = static_cast<uint32_t>(values[2]);
    return true;
}

void CConfigPage1::OnOK() {
    m_work.CommitTo(m_pConfig);
}

// ---- the port page ----

CConfigPage2::CConfigPage2() : CSettingsPage(9555) {}

void CConfigPage2::LoadFrom(CConfigData* config) {
    m_pConfig = config;
    m_choices.LoadFrom(*config);
}

BOOL CConfigPage2::OnInitDialog() {
    for (const std::string& name : PortNames())
        SendDlgItemMessageA(m_hWnd, kPortList, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(name.c_str()));
    for (const std::string& name : BaudRateNames())
        SendDlgItemMessageA(m_hWnd, kBaudList, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(name.c_str()));
    SendDlgItemMessageA(m_hWnd, kPortList, CB_SETCURSEL, m_choices.m_nPort, 0);
    SendDlgItemMessageA(m_hWnd, kBaudList, CB_SETCURSEL, m_choices.m_nBaudRate, 0);
    const int groups[3][3] = {{kParityFirst, 3, m_choices.m_nParity},
                              {kDataBitsFirst, 2, m_choices.m_nDataBits},
                              {kStopBitsFirst, 2, m_choices.m_nStopBits}};
    for (const auto& g : groups) {
        for (int i = 0; i < g[1]; ++i)
            CheckDlgButton(m_hWnd, g[0] + i, i == g[2] ? BST_CHECKED : BST_UNCHECKED);
    }
    return TRUE;
}

int CConfigPage2::ChosenButton(int first, int count) const {
    for (int i = 0; i < count; ++i) {
        if (IsDlgButtonChecked(m_hWnd, first + i) == BST_CHECKED) return i;
    }
    return -1;
}

bool CConfigPage2::ReadFields() {
    m_choices.m_nPort =
        static_cast<int32_t>(SendDlgItemMessageA(m_hWnd, kPortList, CB_GETCURSEL, 0, 0));
    m_choices.m_nBaudRate =
        static_cast<int32_t>(SendDlgItemMessageA(m_hWnd, kBaudList, CB_GETCURSEL, 0, 0));
    m_choices.m_nStopBits = ChosenButton(kStopBitsFirst, 2);
    m_choices.m_nDataBits = ChosenButton(kDataBitsFirst, 2);
    m_choices.m_nParity = ChosenButton(kParityFirst, 3);
    int failed = m_choices.Check();
    if (!failed) return true;
    const int focus = failed == txt::IDS_PORT_RANGE       ? kPortList
                      : failed == txt::IDS_BAUD_RANGE     ? kBaudList
                      : failed == txt::IDS_PARITY_RANGE   ? kParityFirst
                      : failed == txt::IDS_DATABITS_RANGE ? kDataBitsFirst
                                                          : kStopBitsFirst;
    ShowFailure(failed, focus);
    return false;
}

void CConfigPage2::OnOK() {
    m_choices.CommitTo(m_pConfig);
}

// ---- the sheet ----

CDeviceSettingsDlg::CDeviceSettingsDlg(CConfigData* config)
    : CDialog(9551, nullptr), m_pConfig(config) {
    m_stationPage.LoadFrom(config);
    m_portPage.LoadFrom(config);
}

BOOL CDeviceSettingsDlg::OnInitDialog() {
    m_tab.Attach(GetDlgItem(kTab));
    m_tab.AddPage(&m_stationPage);
    m_tab.AddPage(&m_portPage);
    m_stationPage.PlaceOnSheet(&m_tab, 0);
    m_portPage.PlaceOnSheet(&m_tab, 1);
    m_tab.SetActivePage(0);
    return TRUE;
}

BOOL CDeviceSettingsDlg::OnNotify(NMHDR* header, LRESULT* result) {
    if (!m_tab.HandleNotify(header)) return FALSE;
    *result = 0;
    return TRUE;
}

void CDeviceSettingsDlg::OnOK() {
    // a page whose values cannot be stored is shown, with its message; the
    // sheet stays open and nothing is written
    if (!m_stationPage.ReadFields() || !m_portPage.ReadFields()) return;
    m_tab.SendOnOK();
    EndDialog(m_hWnd, IDOK);
}

// ---- the station dialog ----

CStationDlg::CStationDlg(CConfigPage1* page) : CDialog(9559, page->GetSafeHwnd()), m_pPage(page) {}

void CStationDlg::SetStation(CStationData* station) {
    m_pStation = station;
    m_strDescription = station->GetDescription().Str();
    m_strName = station->GetName().Str();
    m_nStationNo = station->GetStationNo();
    m_strPollPeriod = StrFormat("%.1f", station->GetPollPeriod() / 1000.0);
}

BOOL CStationDlg::OnInitDialog() {
    SetText(kDescription, m_strDescription);
    SetText(kName, m_strName);
    SetInt(kNumber, m_nStationNo);
    SetText(kPeriod, m_strPollPeriod);
    SetSpinRange(GetDlgItem(kNumberSpin), line::kStationNumberSpin);
    m_spinPollPeriod.Attach(GetDlgItem(kPeriodSpin));
    m_spinPollPeriod.SetRange(line::kPollPeriodTenths.low / 10.0f,
                              line::kPollPeriodTenths.high / 10.0f);
    m_spinPollPeriod.SetDeltaInc(0.1f, 1);
    return TRUE;
}

BOOL CStationDlg::OnNotify(NMHDR* header, LRESULT* result) {
    if (header->idFrom != static_cast<UINT_PTR>(kPeriodSpin) || header->code != UDN_DELTAPOS)
        return FALSE;
    *result = m_spinPollPeriod.HandleDeltaPos(reinterpret_cast<NMUPDOWN*>(header));
    return TRUE;
}

void CStationDlg::OnOK() {
    m_strDescription = GetText(kDescription);
    m_strName = GetText(kName);
    long long number = 0;
    if (!GetInt(kNumber, &number, true)) {
        // a number that cannot be read stops here: nothing is written
        CZeravError::ErrMsg(txt::IDS_PARSE_INT, 0);
        FocusField(kNumber);
        return;
    }
    m_nStationNo = static_cast<int>(number);
    m_strPollPeriod = GetText(kPeriod);

    int periodMs = 0;
    StationField field;
    int failed =
        CheckStationEntry(StationEntry{m_strName.c_str(), m_nStationNo, m_strPollPeriod.c_str()},
                          m_pStation, m_pPage->FindStationByName(m_strName.c_str()),
                          m_pPage->FindStationByNumber(m_nStationNo), &periodMs, &field);
    if (failed) {
        CZeravError::ErrMsg(failed, 0);
        FocusField(field == StationField::name     ? kName
                   : field == StationField::number ? kNumber
                                                   : kPeriod);
        return;
    }
    m_pStation->SetDescription(m_strDescription.c_str());
    m_pStation->SetName(m_strName.c_str());
    m_pStation->SetStationNo(m_nStationNo);
    m_pStation->SetPollPeriod(periodMs);
    EndDialog(m_hWnd, IDOK);
}

int RunSettingsDialog(CConfigData* config) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TREEVIEW_CLASSES | ICC_TAB_CLASSES |
                                                          ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    CDeviceSettingsDlg dialog(config);
    return dialog.DoModal() == IDOK ? 1 : 0;
}
