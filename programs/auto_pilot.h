// Runs one update without a user: presses the update button once a controller is connected,
// lets the scripts of the headless toolkit answer the file dialog and the boxes, and closes the
// window when that update's worker has ended. Shared by zentrel-update-sim --auto and
// zentrel-update-cli.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "app/update_dlg.h"
#include "platform/headless/headless_toolkit.h"

class AutoPilot {
public:
    explicit AutoPilot(platform::HeadlessToolkit& toolkit) : m_Toolkit(toolkit) {}

    // Call from the headless toolkit's event sink with every event line.
    void OnEvent(const std::string& line);
    // Installs the worker-ended hook on the dialog (before it runs).
    void Attach(CUpdateDlg& dialog);
    // Ends the run unless the button has been pressed (no controller came). Any thread.
    void EndIfNotPressed();

    bool Pressed() const { return m_Pressed.load(); }
    UpdateOutcome Outcome() const { return m_Outcome.load(); }
    std::uint32_t ImageSize() const { return m_ImageSize.load(); }

private:
    platform::HeadlessToolkit& m_Toolkit;
    CUpdateDlg* m_Dialog = nullptr;
    std::atomic<bool> m_Pressed{false};
    std::atomic<UpdateOutcome> m_Outcome{UpdateOutcome::kNone};
    std::atomic<std::uint32_t> m_ImageSize{0};
};

// Exit status of an unattended run.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitTimeout = 3;
