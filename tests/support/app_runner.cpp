#include "support/app_runner.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "app/res/dialog_102.h"
#include "hid/hid.h"
#include "image/firmware_writer.h"
#include "platform/debug.h"
#include "platform/language.h"
#include "stream/message_senders.h"

namespace test {

namespace {
// Real time a window may take to come up (a connection's reads included).
constexpr int kWindowBoundMs = 30000;
}  // namespace

AppRunner::AppRunner(platform::HidServices& hid, platform::Clock* clock, std::uint16_t language) {
    platform::SetClock(clock);
    platform::SetHidServices(&hid);
    platform::SetToolkit(&toolkit);
    platform::SetUILanguageOverride(language);
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
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zentrel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) m_TempDir = pattern;
}

AppRunner::~AppRunner() {
    if (Running()) Close();
    if (m_UiThread.joinable()) m_UiThread.join();
    m_Dialog.reset();
    platform::SetDebugSink({});
    platform::SetUILanguageOverride(std::nullopt);
    platform::SetToolkit(nullptr);
    platform::SetHidServices(nullptr);
    platform::SetClock(nullptr);
    if (!m_TempDir.empty()) {
        const std::string command = "rm -rf '" + m_TempDir + "'";
        if (std::system(command.c_str()) != 0) {
            // A folder left behind in /tmp harms no later test: each makes its own.
        }
    }
}

void AppRunner::Start() {
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
    toolkit.WaitForWindow(kWindowBoundMs);
}

void AppRunner::Close() {
    toolkit.WithWindow([](platform::HeadlessWindow& w) { w.RequestClose(); });
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Cv.wait_for(lock, std::chrono::seconds(60), [&] { return m_Ended; });
    lock.unlock();
    if (m_UiThread.joinable()) m_UiThread.join();
}

bool AppRunner::Running() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_UiThread.joinable() && !m_Ended;
}

platform::HeadlessWindow& AppRunner::Window() {
    return *toolkit.WaitForWindow(kWindowBoundMs);
}

bool AppRunner::RunUpdate(int boundMs) {
    const int before = WorkersEnded();
    Window().Click(IDC_USB_UPDATE);
    WaitIdle();
    const bool ended = WaitWorkersEnded(before + 1, boundMs);
    WaitIdle();
    AfterUpdate();
    return ended;
}

bool AppRunner::WaitWorkersEnded(int count, int boundMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Cv.wait_for(lock, std::chrono::milliseconds(boundMs),
                         [&] { return m_WorkersEnded >= count; });
}

int AppRunner::WorkersEnded() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_WorkersEnded;
}

bool AppRunner::WaitUntil(const std::function<bool()>& condition, int boundMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        WaitIdle();
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> AppRunner::Lines() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Lines;
}

void AppRunner::ClearLines() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Lines.clear();
}

std::size_t AppRunner::CountLines(const std::string& line) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::size_t n = 0;
    for (const std::string& l : m_Lines) n += l == line ? 1 : 0;
    return n;
}

std::string AppRunner::TempFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = TempPath(name);
    WriteFileBytes(path, bytes);
    return path;
}

}  // namespace test
