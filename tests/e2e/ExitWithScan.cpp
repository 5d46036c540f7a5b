// A host that ends its process while a channel still scans: the process must
// end at once and cleanly. Run with a simulator on its port.
#include <chrono>
#include <cstdio>
#include <thread>

#include "TestSupport.h"
#include "com_ports.h"
#include "config/ConfigData.h"
#include "host/DriverTable.h"

// never unloaded: the process just ends
DriverTable* g_driver = nullptr;

int main() {
    testsupport::ScratchDir dir;
    std::string path = dir.Path("exit.cfg");
    CConfigData config;
    config.SetPort(kComExitWithScan - 1);
    auto* s = new CStationData;
    s->SetName("P1");
    s->SetStationNo(1);
    config.AddStation(s);
    config.Save(path.c_str());

    g_driver = new DriverTable;
    DriverTable* drv = g_driver;
    int h = drv->Open(path);
    if (h != 0 || drv->Start(h) != 0) {
        std::printf("could not start the channel\n");
        return 1;
    }
    drv->StartScan(h);
    drv->SetActive(h, nullptr, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("1 passed, 0 failed\n");
    return 0;
}
