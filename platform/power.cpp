#include "platform/power.h"

#include <atomic>

namespace platform {

namespace {

class NoInhibitor final : public SleepInhibitor {
public:
    bool Acquire(const std::string&, const std::string&) override { return false; }
    void Release() override {}
};

NoInhibitor g_None;
std::atomic<SleepInhibitor*> g_Inhibitor{nullptr};

}  // namespace

SleepInhibitor& GetSleepInhibitor() {
    SleepInhibitor* inhibitor = g_Inhibitor.load();
    return inhibitor != nullptr ? *inhibitor : g_None;
}

void SetSleepInhibitor(SleepInhibitor* inhibitor) {
    g_Inhibitor.store(inhibitor);
}

}  // namespace platform
