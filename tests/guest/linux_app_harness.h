// Runs the whole application on the real Linux HID backend (hidraw through hidapi, hot-plug from
// udev), the headless toolkit and the real clock: the guest tests' counterpart of
// test::AppHarness, which runs it on the simulated bus in virtual time.
#pragma once

#include "platform/linux/linux_hid.h"
#include "support/app_runner.h"

namespace guest {

// Made before the runner, which installs it.
struct LinuxBackends {
    platform::LinuxHid hid;
};

class LinuxAppHarness : public LinuxBackends, public test::AppRunner {
public:
    // The real clock: the kernel's reports come in real time.
    LinuxAppHarness() : test::AppRunner(hid, nullptr, 0x0409) {}
};

}  // namespace guest
