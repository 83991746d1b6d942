// Runs the whole application on the simulated bus and the headless toolkit, in virtual time, for
// one test: its own clock, bus, toolkit, captured diagnostic lines and user-interface thread.
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
#include "sim/bus.h"

namespace test {

// Ids of the three controller kinds.
inline constexpr sim::DeviceIds kStreamIds{0x0483, 0x5750};
inline constexpr sim::DeviceIds kStreamBIds{0x3A7C, 0x5750};
inline constexpr sim::DeviceIds kFrameIds{0x3A7C, 0x3208};

class AppHarness {
public:
    explicit AppHarness(std::uint16_t language = 0x0409);
    ~AppHarness();

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

    // Diagnostic lines written so far, in order.
    std::vector<std::string> Lines() const;
    void ClearLines();
    std::size_t CountLines(const std::string& line) const;

    // A file in the test's own temporary folder.
    std::string TempFile(const std::string& name, const std::vector<std::uint8_t>& bytes);
    // The path of a name in that folder, nothing made there.
    std::string TempPath(const std::string& name) const { return m_TempDir + "/" + name; }

    platform::VirtualClock clock;
    sim::SimulatedBus bus;
    platform::HeadlessToolkit toolkit;
    // The file the file dialog returns; nullopt cancels it.
    std::optional<std::string> firmwarePath;
    // The answer to the confirmation box.
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

}  // namespace test
