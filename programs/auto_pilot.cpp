#include "programs/auto_pilot.h"

#include "app/res/dialog_102.h"

void AutoPilot::OnEvent(const std::string& line) {
    if (line == "button: enabled" && !m_Pressed.exchange(true)) {
        // The click is queued behind the handler that enabled the button, so it comes once the
        // connection has been made.
        // Events come on the user-interface thread, where the dialog's window is at hand (also
        // while the dialog initialises, before the toolkit lists it as running).
        auto* window =
            m_Dialog ? dynamic_cast<platform::HeadlessWindow*>(m_Dialog->GetWindow()) : nullptr;
        if (window != nullptr) window->Click(IDC_USB_UPDATE);
    }
}

void AutoPilot::Attach(CUpdateDlg& dialog) {
    m_Dialog = &dialog;
    dialog.SetWorkerEndedHook([this, &dialog](UpdateOutcome outcome) {
        m_ImageSize = dialog.m_ImageSize;
        m_Outcome = outcome;
        m_Toolkit.WithWindow([](platform::HeadlessWindow& window) { window.RequestClose(); });
    });
}

void AutoPilot::EndIfNotPressed() {
    m_Toolkit.WaitForWindow();
    m_Toolkit.WithWindow([this](platform::HeadlessWindow& window) {
        window.Post([this, &window] {
            if (!m_Pressed) window.RequestClose();
        });
    });
}
