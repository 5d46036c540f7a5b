// The device settings dialog with its station and port pages, and the station
// dialog (Windows). The pages work on copies; nothing reaches the
// configuration until OK on the sheet.
#pragma once

#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>

#include "SettingsModel.h"
#include "host/FloatSpinCtrl.h"
#include "host/TabSheet.h"
#include "platform/Window.h"

class CConfigData;
class CStationData;

// What both pages share: reporting a value that cannot be stored on the page
// itself, shown, with the field focused.
class CSettingsPage : public CPropertyPage {
public:
    explicit CSettingsPage(UINT templateId) : CPropertyPage(templateId) {}
    void PlaceOnSheet(CTabSheet* sheet, int index) {
        m_pSheet = sheet;
        m_nIndex = index;
    }

protected:
    void ShowFailure(int messageId, int field);

private:
    CTabSheet* m_pSheet = nullptr;
    int m_nIndex = 0;
};

class CConfigPage1 : public CSettingsPage {
public:
    CConfigPage1();
    ~CConfigPage1() override;
    void LoadFrom(CConfigData* config);
    CStationData* FindStationByName(const char* name) const {
        return m_work.FindStationByName(name);
    }
    CStationData* FindStationByNumber(int number) const {
        return m_work.FindStationByNumber(number);
    }
    // The sheet's pre-check: reads the three fields; false (with the message
    // shown and the field focused) when one is not a number in its range.
    bool ReadFields();
    void OnOK() override;

protected:
    BOOL OnInitDialog() override;
    BOOL OnCommand(int id, int code) override;
    BOOL OnNotify(NMHDR* header, LRESULT* result) override;

private:
    void InsertStationItem(CStationData* station);
    void UpdateButtons();
    CStationData* SelectedStation(HTREEITEM* item) const;
    void OnAddStation();
    void OnEditStation();
    void OnDeleteStation();

    HWND m_tree = nullptr;
    CStationWorkList m_work;
    CConfigData* m_pConfig = nullptr;
    HTREEITEM m_hRootItem = nullptr;
    HIMAGELIST m_imageList = nullptr;
};

class CConfigPage2 : public CSettingsPage {
public:
    CConfigPage2();
    void LoadFrom(CConfigData* config);
    // The sheet's pre-check: false (with the message shown) for a list or
    // group with nothing chosen.
    bool ReadFields();
    void OnOK() override;

protected:
    BOOL OnInitDialog() override;

private:
    int ChosenButton(int first, int count) const;
    CPortChoices m_choices;
    CConfigData* m_pConfig = nullptr;
};

class CDeviceSettingsDlg : public CDialog {
public:
    explicit CDeviceSettingsDlg(CConfigData* config);

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    BOOL OnNotify(NMHDR* header, LRESULT* result) override;

private:
    CTabSheet m_tab;
    CConfigData* m_pConfig;
    CConfigPage2 m_portPage;
    CConfigPage1 m_stationPage;
};

class CStationDlg : public CDialog {
public:
    explicit CStationDlg(CConfigPage1* page);
    void SetStation(CStationData* station);

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    BOOL OnNotify(NMHDR* header, LRESULT* result) override;

private:
    CFloatSpinCtrl m_spinPollPeriod;
    std::string m_strDescription;
    std::string m_strName;
    int m_nStationNo = 0;
    std::string m_strPollPeriod;
    CStationData* m_pStation = nullptr;
    CConfigPage1* m_pPage;
};
