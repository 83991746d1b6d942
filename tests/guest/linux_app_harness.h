// Runs the whole application on the real Linux HID backend (hidraw through hidapi, hot-plug from
// udev), the headless toolkit and the real clock: the guest tests' counterpart of
// test::AppHarness, which runs it on the simulated bus in virtual time.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/update_dlg.h"
#include "platform/headless/headless_toolkit.h"
#include "platform/linux/linux_hid.h"

namespace guest {

class LinuxAppHarness {
public:
    LinuxAppHarness();
    ~LinuxAppHarness();

    // Starts the application on its own user-interface thread and waits until the window runs.
    void Start();
    // Asks the window to close and waits until the application has ended.
    void Close();

    platform::HeadlessWindow& Window();
    CUpdateDlg& Dlg() { return *m_Dialog; }

    // Presses the update button and waits (real time, at most boundMs) until that worker ended.
    bool RunUpdate(int boundMs);
    // Waits (real time, at most boundMs) until `condition` holds, checking it on the
    // user-interface thread's turn so that what it reads has settled.
    bool WaitUntil(const std::function<bool()>& condition, int boundMs);

    std::vector<std::string> Lines() const;
    // A file in the harness's own temporary folder.
    std::string TempFile(const std::string& name, const std::vector<std::uint8_t>& bytes);

    platform::LinuxHid hid;
    platform::HeadlessToolkit toolkit;
    // The file the file dialog returns; nullopt cancels it.
    std::optional<std::string> firmwarePath;
    int confirmAnswer = platform::kIdOk;

private:
    std::unique_ptr<CUpdateDlg> m_Dialog;
    std::thread m_UiThread;
    mutable std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::vector<std::string> m_Lines;
    int m_WorkersEnded = 0;
    bool m_Ended = false;
    std::string m_TempDir;
};

}  // namespace guest
