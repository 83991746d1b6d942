#include "guest/linux_app_harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "app/res/dialog_102.h"
#include "hid/hid.h"
#include "image/firmware_writer.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/language.h"
#include "stream/message_senders.h"

namespace guest {

LinuxAppHarness::LinuxAppHarness() {
    platform::SetClock(nullptr);  // the real clock: the kernel's reports come in real time
    platform::SetHidServices(&hid);
    platform::SetToolkit(&toolkit);
    platform::SetUILanguageOverride(0x0409);
    platform::SetDebugSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Lines.push_back(line);
    });
    // The process-wide report areas start as at program start.
    std::memset(g_OutReport, 0, sizeof g_OutReport);
    std::memset(g_OutMessage, 0, sizeof g_OutMessage);
    std::memset(g_InMessage, 0, sizeof g_InMessage);
    g_TransferState = 0;
    toolkit.SetFileScript([this](const platform::FileDialogRequest&) { return firmwarePath; });
    toolkit.SetBoxScript([this](const platform::BoxRequest& box) -> std::optional<int> {
        return (box.type & platform::kMbOkCancel) != 0 ? confirmAnswer : platform::kIdOk;
    });
    char dir[] = "/tmp/zentrel-guest-XXXXXX";
    if (::mkdtemp(dir) != nullptr) m_TempDir = dir;
}

LinuxAppHarness::~LinuxAppHarness() {
    if (m_UiThread.joinable()) Close();
    m_Dialog.reset();
    platform::SetDebugSink({});
    platform::SetUILanguageOverride(std::nullopt);
    platform::SetToolkit(nullptr);
    platform::SetHidServices(nullptr);
    if (!m_TempDir.empty()) {
        const std::string command = "rm -rf '" + m_TempDir + "'";
        if (std::system(command.c_str()) != 0) {
            // A folder left in the guest's memory-backed /tmp goes with the guest.
        }
    }
}

void LinuxAppHarness::Start() {
    m_Dialog = std::make_unique<CUpdateDlg>();
    m_Dialog->SetWorkerEndedHook([this](UpdateOutcome) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_WorkersEnded;
        m_Cv.notify_all();
    });
    m_UiThread = std::thread([this] {
        m_Dialog->DoModal();
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Ended = true;
        m_Cv.notify_all();
    });
    toolkit.WaitForWindow(30000);
}

void LinuxAppHarness::Close() {
    toolkit.WithWindow([](platform::HeadlessWindow& w) { w.RequestClose(); });
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Cv.wait_for(lock, std::chrono::seconds(60), [&] { return m_Ended; });
    lock.unlock();
    if (m_UiThread.joinable()) m_UiThread.join();
}

platform::HeadlessWindow& LinuxAppHarness::Window() {
    return *toolkit.WaitForWindow(30000);
}

bool LinuxAppHarness::RunUpdate(int boundMs) {
    int before;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        before = m_WorkersEnded;
    }
    Window().Click(IDC_USB_UPDATE);
    std::unique_lock<std::mutex> lock(m_Mutex);
    const bool ended = m_Cv.wait_for(lock, std::chrono::milliseconds(boundMs),
                                     [&] { return m_WorkersEnded > before; });
    lock.unlock();
    toolkit.WaitIdle();
    return ended;
}

bool LinuxAppHarness::WaitUntil(const std::function<bool()>& condition, int boundMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        toolkit.WaitIdle();
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> LinuxAppHarness::Lines() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Lines;
}

std::string LinuxAppHarness::TempFile(const std::string& name,
                                      const std::vector<std::uint8_t>& bytes) {
    const std::string path = m_TempDir + "/" + name;
    WriteFileBytes(path, bytes);
    return path;
}

}  // namespace guest
