// Runs the whole application on the simulated bus and the headless toolkit, in virtual time, for
// one test: its own clock, bus, toolkit, captured diagnostic lines and user-interface thread.
#pragma once

#include "platform/clock.h"
#include "sim/bus.h"
#include "support/app_runner.h"

namespace test {

// Ids of the three controller kinds.
inline constexpr sim::DeviceIds kStreamIds{0x0483, 0x5750};
inline constexpr sim::DeviceIds kStreamBIds{0x3A7C, 0x5750};
inline constexpr sim::DeviceIds kFrameIds{0x3A7C, 0x3208};

// Made before the runner, which installs them.
struct SimulatedBackends {
    platform::VirtualClock clock;
    sim::SimulatedBus bus;
};

class AppHarness : public SimulatedBackends, public AppRunner {
public:
    explicit AppHarness(std::uint16_t language = 0x0409) : AppRunner(bus, &clock, language) {}

protected:
    // The controller has taken the worker's last report.
    void AfterUpdate() override { bus.Settle(); }
};

}  // namespace test
