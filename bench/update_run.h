// One whole update on the simulated bus through the full-speed link, on the real clock, with the
// headless toolkit or the Qt window, measured: the span from the first report after the
// confirmation to the last report, the bound the link and the protocol allow for it, the host's
// reaction times, the worker's waits on the user-interface thread and the memory it took.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

enum class Toolkit { kHeadless, kQt };
enum class Protocol { kFrame, kStream };

struct UpdateCase {
    Toolkit toolkit;
    Protocol protocol;
    std::size_t imageSize;
};

struct Spread {
    std::size_t count = 0;
    double p50 = 0, p99 = 0, max = 0;  // microseconds
};

struct RunResult {
    bool ok = false;
    std::string error;
    double measuredMs = 0;  // from the first report's millisecond on the link to the last's
    double boundMs = 0;
    std::size_t reports = 0;    // host reports in the span
    std::size_t exchanges = 0;  // of them, those that answer a report of the controller
    std::size_t pauses = 0;
    double pausesMs = 0;
    Spread reaction;  // report of the controller readable -> host's next report written
    Spread wake;      // of it: readable -> the host's read returns (the system's scheduling)
    Spread work;      // of it: the read returns -> the next report is written (the host)
    Spread uiWait;    // the worker's progress step, waiting on the user-interface thread
    std::size_t slotsLostHost = 0;    // the host wrote after the millisecond it could have had
    std::size_t slotsLostDevice = 0;  // the simulated controller's report was late itself
    double lostHostMs = 0, lostDeviceMs = 0;  // the milliseconds they cost
    // Milliseconds each thread spent runnable but without a processor during the update (the
    // worker's from its first progress step on); -1 where the scheduler does not tell.
    double workerQueueMs = -1, uiQueueMs = -1, deviceQueueMs = -1;
    double rssBeforeKiB = 0;
    double rssPeakKiB = 0;  // highest resident size from the button press to the end
    // Heap allocations per exchange on the worker, the user-interface thread and the simulated
    // controller's thread.
    double allocsWorker = 0, allocsUi = 0, allocsDevice = 0;
};

// Runs in this process; the process should be fresh (the application's globals, Qt).
RunResult RunUpdate(const UpdateCase& run);

}  // namespace bench
