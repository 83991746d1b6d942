// Drivers of one update in a toolkit: they build the window, press the update button, answer the
// file dialog with the firmware and every box with OK as soon as it shows, and return once the
// worker has ended and the window is closed.
#pragma once

#include <functional>
#include <string>

#include "app/update_dlg.h"
#include "platform/toolkit.h"

namespace bench {

struct DriveHooks {
    std::string firmware;
    // On the user-interface thread, once the window runs, just before the button is pressed.
    std::function<void(platform::DialogWindow*)> beforePress;
    // On the user-interface thread, as the confirmation is answered; as any other box is.
    std::function<void()> onConfirm;
    std::function<void()> onBox;
    UpdateOutcome outcome = UpdateOutcome::kNone;
};

bool DriveHeadless(DriveHooks& hooks, std::string* error);
// Under the platform QT_QPA_PLATFORM names (offscreen when unset). False when built without Qt.
bool DriveQt(DriveHooks& hooks, std::string* error);

}  // namespace bench
