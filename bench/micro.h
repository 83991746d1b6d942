// Micro-benchmarks of the host's work per block: CRC-16, frame building, file reads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct MicroResult {
    std::string name;
    double nsPerOp;     // median over the repetitions
    double bytesPerOp;  // 0: not a throughput figure
};

std::vector<MicroResult> RunMicroBenchmarks();

// The machine's floor under every reaction: from one thread's notify of a condition variable to
// the return of another thread's wait, one notify per millisecond as on the link. Microseconds.
struct WakeLatency {
    std::size_t count = 0;
    double p50 = 0, p99 = 0, max = 0;
};
WakeLatency MeasureWakeLatency(std::size_t samples);

}  // namespace bench
