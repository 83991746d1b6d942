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
//
// The link model decides when a report crosses. Without one (the default) a report crosses when
// it is written, and a device's report after the delay its model asks for. With the full-speed
// model the bus keeps the pace of a USB full-speed interrupt endpoint polled once a millisecond:
// a report crosses at the next whole millisecond of the clock, at most one per millisecond in
// each direction; the model handles a report once it has crossed, and its answer (plus the
// delay it asks for, such as a flash time) crosses at the next free millisecond after that. On
// the real clock the device's thread waits for those moments, so the host sees the pace in real
// time; on the virtual clock the same crossing times are only stamped on the reports.
#pragma once

#include <atomic>
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
    // Clock time at which the host wrote it (out), or from which the host could read it (in);
    // it differs from ms only under a link model, where a report waits for its millisecond.
    double hostMs;
};

enum class LinkModel {
    kNone,       // reports cross at once
    kFullSpeed,  // at the next whole millisecond, one per millisecond in each direction
};

// "none" or "full-speed"; false for anything else.
bool ParseLinkModel(const std::string& text, LinkModel* link);

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
    // Change only while no report is on its way.
    void SetLinkModel(LinkModel link);
    LinkModel GetLinkModel() const;
    void SetTraceSink(std::function<void(const TraceRecord&)> sink);
    // False: records go to the trace sink only, so that long runs do not pile them up.
    void KeepTrace(bool keep);
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
    void DeliverOnLink(Device& device, const Payload& payload, double delayMs);
    // Real clock: waits until clock time `at`, or until the device is pulled out.
    void WaitForClock(std::unique_lock<std::mutex>& lock, Device& device, double at);
    void Record(bool out, const std::uint8_t (&report)[platform::kReportSize], double ms,
                double hostMs);
    // Link model: records are kept under m_Mutex, in the order of the reports' crossings, and
    // reach the sink in that order too (the sink is called without m_Mutex, in ticket order).
    std::uint64_t TraceLocked(const TraceRecord& record,
                              std::function<void(const TraceRecord&)>* sink);
    void SinkInTurn(std::uint64_t ticket, const std::function<void(const TraceRecord&)>& sink,
                    const TraceRecord& record);
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
    std::atomic<LinkModel> m_Link{LinkModel::kNone};
    std::function<void(const TraceRecord&)> m_TraceSink;
    bool m_KeepTrace = true;
    std::vector<TraceRecord> m_Trace;
    std::uint64_t m_SinkTickets = 0;  // under m_Mutex
    std::mutex m_SinkMutex;
    std::condition_variable m_SinkTurn;
    std::uint64_t m_SinkNext = 0;  // under m_SinkMutex
};

}  // namespace sim
