// A simulated controller: the device's side of one protocol, fed the host's output reports and
// producing input reports. Models know nothing of threads or buses: the simulated bus (and the
// kernel adapter) call them on a thread of their own and carry what they send.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sim {

// The 64 payload bytes of a report, without the report id.
using Payload = std::array<std::uint8_t, 64>;

// How long a controller's flash memory works on what it is asked to do before the controller
// answers; zero (the default) answers at once. Models add it to the delay of their reply.
struct FlashTiming {
    double prepareMsPerUnit = 0;  // per started kFlashPrepareUnit bytes of a region prepared
    double writeMs = 0;           // per block (command frames) or data message (message stream)
};
inline constexpr std::uint32_t kFlashPrepareUnit = 32768;

// The time FlashTiming gives to preparing size bytes.
inline double PrepareTime(const FlashTiming& timing, std::uint64_t size) {
    return timing.prepareMsPerUnit *
           static_cast<double>((size + kFlashPrepareUnit - 1) / kFlashPrepareUnit);
}

// What a model may do in answer to a report.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    // Queues an input report for the host, delayMs after now.
    virtual void SendInput(const Payload& payload, double delayMs = 0) = 0;
    // Pulls the device out of the bus (as a user pulling the cable).
    virtual void Unplug() = 0;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;
    // One output report from the host, its report id already stripped.
    virtual void OnOutputReport(const Payload& payload, ReportSink& sink) = 0;
};

}  // namespace sim
