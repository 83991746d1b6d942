// Keeping the machine awake: while a transfer runs the machine must not suspend (a controller
// half written cannot start). Backends: platform/linux (logind over D-Bus); without one, nothing
// is held and updates run as before.
#pragma once

#include <string>

namespace platform {

class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;
    // Asks that sleep and the lid switch wait; false when nobody can be asked (no logind).
    virtual bool Acquire(const std::string& who, const std::string& why) = 0;
    // Lets the machine sleep again; nothing happens when nothing is held.
    virtual void Release() = 0;
};

// The backend chosen by main() (or a test); one that holds nothing until one is set.
SleepInhibitor& GetSleepInhibitor();
void SetSleepInhibitor(SleepInhibitor* inhibitor);

}  // namespace platform
