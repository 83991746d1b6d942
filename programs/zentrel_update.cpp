// zentrel-update: the updater for real controllers: hidraw devices and the Qt window.
#include "app/update_app.h"
#include "platform/linux/linux_hid.h"
#include "platform/linux/logind_inhibitor.h"
#include "platform/qt/qt_toolkit.h"

int main(int argc, char** argv) {
    // The program takes no arguments; Qt's own (such as -platform) still reach it.
    std::unique_ptr<platform::Toolkit> toolkit = platform::CreateQtToolkit(argc, argv);
    platform::LinuxHid hid;
    platform::SetHidServices(&hid);
    platform::LogindInhibitor inhibitor;
    platform::SetSleepInhibitor(&inhibitor);
    platform::SetToolkit(toolkit.get());
    CUpdateApp app;
    app.InitInstance();
    platform::SetToolkit(nullptr);
    platform::SetHidServices(nullptr);
    return 0;
}
