// Runs the whole application for one test on given HID services and clock, with the headless
// toolkit: its own captured diagnostic lines, temporary folder and user-interface thread.
// test::AppHarness puts it on the simulated bus in virtual time; the guest tests put it on the
// real Linux backend.
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
#include "platform/clock.h"
#include "platform/headless/headless_toolkit.h"
#include "platform/hid_services.h"

namespace test {

class AppRunner {
public:
    // clock nullptr: the real clock.
    AppRunner(platform::HidServices& hid, platform::Clock* clock, std::uint16_t language);
    virtual ~AppRunner();
    AppRunner(const AppRunner&) = delete;
    AppRunner& operator=(const AppRunner&) = delete;

    // Starts the application on its own user-interface thread and waits until the window runs
    // (OnInitDialog has returned).
    void Start();
    // Asks the window to close and waits until the application has ended.
    void Close();
    bool Running() const;

    platform::HeadlessWindow& Window();
    CUpdateDlg& Dlg() { return *m_Dialog; }

    // Presses the update button (if enabled) and waits until that worker has ended.
    // False when no worker ended within the real-time bound.
    bool RunUpdate(int boundMs = 20000);
    // Waits until `count` workers have ended in all.
    bool WaitWorkersEnded(int count, int boundMs = 20000);
    int WorkersEnded() const;
    void WaitIdle() { toolkit.WaitIdle(); }
    // Waits (real time, at most boundMs) until `condition` holds, checking it each time the
    // user-interface thread has handled what was queued, so that what it reads has settled.
    bool WaitUntil(const std::function<bool()>& condition, int boundMs);

    // Diagnostic lines written so far, in order.
    std::vector<std::string> Lines() const;
    void ClearLines();
    std::size_t CountLines(const std::string& line) const;

    // A file in the test's own temporary folder.
    std::string TempFile(const std::string& name, const std::vector<std::uint8_t>& bytes);
    // The path of a name in that folder, nothing made there.
    std::string TempPath(const std::string& name) const { return m_TempDir + "/" + name; }

    platform::HeadlessToolkit toolkit;
    // The file the file dialog returns; nullopt cancels it.
    std::optional<std::string> firmwarePath;
    // The answer to the confirmation box.
    int confirmAnswer = platform::kIdOk;

protected:
    // After an update's worker has ended and the window is idle.
    virtual void AfterUpdate() {}

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

}  // namespace test
