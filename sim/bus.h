// The simulated HID bus: HID services in process, for tests, demos and unattended runs.
//
// Any number of devices, each with vendor id, product id, path and a DeviceModel, can be plugged
// in and pulled out at any time; arrivals and removals reach registered windows as the
// platform's device-change messages. Each device runs its model on a thread of its own: the
// host's output reports queue up for it, and what the model sends reaches every handle open
// for reading on that device. Opens, writes, reads, attribute and path reads can be made to
// fail on demand, and every report that crosses the bus can be recorded.
//
// Time comes from platform::GetClock(). On the virtual clock a read first lets the device finish
// what it was given, then either takes the next report (time moves to its arrival) or times out
// at once (time moves by the time-out): whole updates run in milliseconds and repeat exactly.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid_services.h"
#include "sim/device_model.h"

namespace sim {

struct DeviceIds {
    std::uint16_t vendorId;
    std::uint16_t productId;
};

// One report crossing the bus.
struct TraceRecord {
    double ms;  // clock time at which it crossed
    bool out;   // host to device
    std::uint8_t report[platform::kReportSize];
};

// Failures on demand: each counter makes that many of the next calls fail.
struct BusFaults {
    int failOpens = 0;
    int failWrites = 0;
    int failReads = 0;
    int failAttributes = 0;
    int failPathReads = 0;
    bool failRegistration = false;
    // The N-th write (or read) of the host, counted from 1 over the bus's life, fails; 0: none.
    std::uint32_t failWriteAt = 0;
    std::uint32_t failReadAt = 0;
    // Opens asking for this access fail (for example the read channel alone).
    std::optional<platform::HidAccess> refuseAccess;
    // The path read of the device at this path always fails (an interface whose details cannot
    // be read).
    std::string unreadablePath;
};

class SimulatedBus final : public platform::HidServices {
public:
    SimulatedBus();
    ~SimulatedBus() override;

    // Plugs a device in; returns its id. `notify` raises the arrival message.
    int Plug(const DeviceIds& ids, std::shared_ptr<DeviceModel> model, std::string path = {},
             bool notify = true);
    // Pulls a device out (no effect when it is gone); raises the removal message.
    void Unplug(int deviceId, bool notify = true);
    void RaiseDeviceChange(std::uint32_t code);
    bool IsPlugged(int deviceId) const;
    // Waits (real time, bounded) until every device has handled the reports it was given.
    void Settle();

    BusFaults& Faults() { return m_Faults; }  // change only while nothing else uses the bus
    void SetTraceSink(std::function<void(const TraceRecord&)> sink);
    std::vector<TraceRecord> Trace() const;
    void ClearTrace();

    int OpenHandleCount() const;
    int RegistrationCount() const;
    int RegistrationAttempts() const;

    // HidServices
    std::unique_ptr<platform::HidInterfaceList> ListInterfaces() override;
    platform::HidHandle Open(const std::string& path, platform::HidAccess access,
                             bool overlapped) override;
    void Close(platform::HidHandle handle) override;
    std::string LastOpenError() const override;
    bool GetAttributes(platform::HidHandle handle, std::uint16_t* vendorId,
                       std::uint16_t* productId) override;
    bool WriteReport(platform::HidHandle handle,
                     const std::uint8_t (&report)[platform::kReportSize]) override;
    std::uint32_t ReadReport(platform::HidHandle handle,
                             std::uint8_t (&report)[platform::kReportSize],
                             std::uint32_t timeoutMs) override;
    std::uintptr_t RegisterNotify(platform::DeviceChangeTarget* target) override;
    void UnregisterNotify(std::uintptr_t registration) override;

private:
    struct Device;
    struct Handle;
    class DeviceSink;

    void DeviceLoop(const std::shared_ptr<Device>& device);
    void Deliver(Device& device, const Payload& payload, double delayMs);
    void Record(bool out, const std::uint8_t (&report)[platform::kReportSize], double ms);
    void Notify(std::uint32_t code);
    bool TakeFault(int& counter);

    mutable std::mutex m_Mutex;
    std::condition_variable m_Changed;                 // reports queued, devices idle or gone
    std::map<int, std::shared_ptr<Device>> m_Devices;  // plugged, in plug order
    std::map<platform::HidHandle, std::shared_ptr<Handle>> m_Handles;
    std::map<std::uintptr_t, platform::DeviceChangeTarget*> m_Registrations;
    std::vector<std::thread> m_Threads;
    int m_NextDeviceId = 1;
    platform::HidHandle m_NextHandle = 0x100;
    std::uintptr_t m_NextRegistration = 1;
    int m_RegistrationAttempts = 0;
    std::uint32_t m_Writes = 0;
    std::uint32_t m_Reads = 0;
    BusFaults m_Faults;
    std::function<void(const TraceRecord&)> m_TraceSink;
    std::vector<TraceRecord> m_Trace;
};

}  // namespace sim
