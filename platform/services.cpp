// The process-wide choice of backends, made once by main() or per test.
#include <atomic>
#include <cstdlib>

#include "platform/hid_services.h"
#include "platform/toolkit.h"

namespace platform {

namespace {
std::atomic<HidServices*> g_Hid{nullptr};
std::atomic<Toolkit*> g_Toolkit{nullptr};
}  // namespace

HidServices& Hid() {
    HidServices* hid = g_Hid.load();
    if (hid == nullptr) std::abort();  // a program must choose its HID backend first
    return *hid;
}

void SetHidServices(HidServices* services) {
    g_Hid.store(services);
}

Toolkit& GetToolkit() {
    Toolkit* toolkit = g_Toolkit.load();
    if (toolkit == nullptr) std::abort();  // a program must choose its toolkit first
    return *toolkit;
}

void SetToolkit(Toolkit* toolkit) {
    g_Toolkit.store(toolkit);
}

int CDialog::DoModal() {
    return GetToolkit().RunModal(*this, m_Template);
}

}  // namespace platform
