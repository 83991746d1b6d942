// The sleep inhibitor of systemd-logind, over the system D-Bus: a "block" lock on sleep and
// the lid switch, held as the file descriptor logind hands out and released by closing it.
#pragma once

#include <mutex>

#include "platform/power.h"

namespace platform {

class LogindInhibitor final : public SleepInhibitor {
public:
    ~LogindInhibitor() override;
    bool Acquire(const std::string& who, const std::string& why) override;
    void Release() override;

private:
    std::mutex m_Mutex;
    int m_Fd = -1;
};

}  // namespace platform
