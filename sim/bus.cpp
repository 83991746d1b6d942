#include "sim/bus.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/clock.h"

namespace sim {

namespace {

// How long a virtual-time read waits in real time for a device to finish what it was given. A
// model answers in microseconds; this only guards against a model that hangs.
constexpr auto kQuiescenceLimit = std::chrono::seconds(5);
// Reports kept for a reader that does not read (a handle nobody reads from); the rest are
// dropped, as the kernel drops them for a full reader.
constexpr std::size_t kHandleQueueLimit = 4096;

// The millisecond at which a report ready at time t crosses the full-speed link: the next whole
// one after t, and not before the direction's next free one.
double NextSlot(double t, double nextFree) {
    return std::max(std::floor(t) + 1.0, nextFree);
}

}  // namespace

bool ParseLinkModel(const std::string& text, LinkModel* link) {
    if (text == "none") {
        *link = LinkModel::kNone;
    } else if (text == "full-speed") {
        *link = LinkModel::kFullSpeed;
    } else {
        return false;
    }
    return true;
}

struct SimulatedBus::Device {
    int id;
    DeviceIds ids;
    std::string path;
    std::shared_ptr<DeviceModel> model;
    struct Inbound {
        Payload payload;
        double at;  // when it crosses (link model); its write time otherwise
    };
    std::deque<Inbound> inbox;  // output reports the model has not handled yet
    bool busy = false;          // the model is handling a report
    bool plugged = true;
    std::condition_variable wake;  // inbox filled, or unplugged
    // Link model only: the next free millisecond of each direction, the time at which the
    // model handles the current report, and the time until which its answers keep it busy.
    double nextOutSlot = 0;
    double nextInSlot = 0;
    double handlingAt = 0;
    double busyUntil = 0;
};

struct SimulatedBus::Handle {
    std::shared_ptr<Device> device;
    platform::HidAccess access;
    struct Queued {
        double at;  // arrival time on the clock
        Payload payload;
    };
    std::deque<Queued> queue;
};

class SimulatedBus::DeviceSink final : public ReportSink {
public:
    DeviceSink(SimulatedBus& bus, Device& device) : m_Bus(bus), m_Device(device) {}
    void SendInput(const Payload& payload, double delayMs) override {
        m_Bus.Deliver(m_Device, payload, delayMs);
    }
    void Unplug() override { m_Bus.Unplug(m_Device.id); }

private:
    SimulatedBus& m_Bus;
    Device& m_Device;
};

class SimInterfaceList final : public platform::HidInterfaceList {
public:
    SimInterfaceList(std::vector<std::string> paths, std::vector<DeviceIds> ids, BusFaults& faults,
                     std::mutex& mutex)
        : m_Paths(std::move(paths)), m_Ids(std::move(ids)), m_Faults(faults), m_Mutex(mutex) {}
    bool PeekIds(std::size_t index, std::uint16_t* vendorId,
                 std::uint16_t* productId) const override {
        if (index >= m_Ids.size()) return false;
        *vendorId = m_Ids[index].vendorId;
        *productId = m_Ids[index].productId;
        return true;
    }
    bool Exists(std::size_t index) const override { return index < m_Paths.size(); }
    std::size_t PathSize(std::size_t index) const override {
        return index < m_Paths.size() ? m_Paths[index].size() + 1 : 0;
    }
    bool ReadPath(std::size_t index, std::size_t capacity, std::string* path) const override {
        if (index >= m_Paths.size() || capacity < m_Paths[index].size() + 1) return false;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Paths[index] == m_Faults.unreadablePath) return false;
            if (m_Faults.failPathReads > 0) {
                --m_Faults.failPathReads;
                return false;
            }
        }
        *path = m_Paths[index];
        return true;
    }

private:
    std::vector<std::string> m_Paths;
    std::vector<DeviceIds> m_Ids;
    BusFaults& m_Faults;
    std::mutex& m_Mutex;
};

SimulatedBus::SimulatedBus() = default;

SimulatedBus::~SimulatedBus() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& [id, device] : m_Devices) {
            device->plugged = false;
            device->wake.notify_all();
        }
        m_Devices.clear();
    }
    for (std::thread& t : m_Threads) t.join();
}

int SimulatedBus::Plug(const DeviceIds& ids, std::shared_ptr<DeviceModel> model, std::string path,
                       bool notify) {
    auto device = std::make_shared<Device>();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        device->id = m_NextDeviceId++;
        device->ids = ids;
        device->path = path.empty() ? "/dev/sim-hidraw" + std::to_string(device->id) : path;
        device->model = std::move(model);
        m_Devices[device->id] = device;
        m_Threads.emplace_back([this, device] { DeviceLoop(device); });
    }
    if (notify) Notify(platform::kDeviceArrival);
    return device->id;
}

void SimulatedBus::Unplug(int deviceId, bool notify) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Devices.find(deviceId);
        if (it == m_Devices.end()) return;
        it->second->plugged = false;
        it->second->inbox.clear();
        it->second->wake.notify_all();
        m_Devices.erase(it);
    }
    m_Changed.notify_all();
    if (notify) Notify(platform::kDeviceRemoveComplete);
}

void SimulatedBus::RaiseDeviceChange(std::uint32_t code) {
    Notify(code);
}

bool SimulatedBus::IsPlugged(int deviceId) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Devices.count(deviceId) != 0;
}

void SimulatedBus::Settle() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Changed.wait_for(lock, kQuiescenceLimit, [&] {
        for (auto& [id, device] : m_Devices) {
            if (!device->inbox.empty() || device->busy) return false;
        }
        return true;
    });
}

void SimulatedBus::DeviceLoop(const std::shared_ptr<Device>& device) {
    DeviceSink sink(*this, *device);
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        device->wake.wait(lock, [&] { return !device->plugged || !device->inbox.empty(); });
        if (!device->plugged) break;
        if (m_Link.load() != LinkModel::kNone) {
            // The controller sees a report once it has crossed, and not while it is still
            // busy with the previous one.
            const double at = device->inbox.front().at;
            WaitForClock(lock, *device, at);
            if (!device->plugged) break;
            device->handlingAt = std::max(at, device->busyUntil);
        }
        const Payload payload = device->inbox.front().payload;
        device->inbox.pop_front();
        device->busy = true;
        lock.unlock();
        device->model->OnOutputReport(payload, sink);
        lock.lock();
        device->busy = false;
        m_Changed.notify_all();
    }
    device->busy = false;
    m_Changed.notify_all();
}

void SimulatedBus::WaitForClock(std::unique_lock<std::mutex>& lock, Device& device, double at) {
    platform::Clock& clock = platform::GetClock();
    if (clock.IsVirtual()) return;
    for (;;) {
        if (!device.plugged) return;
        const double left = at - clock.Now();
        if (left <= 0) return;
        device.wake.wait_for(
            lock, std::chrono::microseconds(static_cast<std::int64_t>(left * 1000.0) + 1));
    }
}

void SimulatedBus::Deliver(Device& device, const Payload& payload, double delayMs) {
    if (m_Link.load() != LinkModel::kNone) {
        DeliverOnLink(device, payload, delayMs);
        return;
    }
    const double at = platform::GetClock().Now() + std::max(0.0, delayMs);
    std::uint8_t report[platform::kReportSize] = {};
    std::memcpy(report + 1, payload.data(), payload.size());
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!device.plugged) return;
        for (auto& [h, handle] : m_Handles) {
            if (handle->device.get() != &device ||
                handle->access == platform::HidAccess::kWriteOnly)
                continue;
            if (handle->queue.size() >= kHandleQueueLimit) continue;
            handle->queue.push_back({at, payload});
        }
    }
    Record(false, report, at, at);
    m_Changed.notify_all();
}

void SimulatedBus::DeliverOnLink(Device& device, const Payload& payload, double delayMs) {
    platform::Clock& clock = platform::GetClock();
    TraceRecord record{};
    record.out = false;
    std::memcpy(record.report + 1, payload.data(), payload.size());
    std::function<void(const TraceRecord&)> sink;
    std::uint64_t ticket = 0;
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!device.plugged) return;
        // The answer is ready once the model's work is done; it then waits for the next free
        // millisecond of the direction to the host.
        const double ready = device.handlingAt + std::max(0.0, delayMs);
        device.busyUntil = std::max(device.busyUntil, ready);
        const double at = NextSlot(ready, device.nextInSlot);
        device.nextInSlot = at + 1.0;
        WaitForClock(lock, device, at);
        if (!device.plugged) return;
        for (auto& [h, handle] : m_Handles) {
            if (handle->device.get() != &device ||
                handle->access == platform::HidAccess::kWriteOnly)
                continue;
            if (handle->queue.size() >= kHandleQueueLimit) continue;
            handle->queue.push_back({at, payload});
        }
        record.ms = at;
        record.hostMs = clock.IsVirtual() ? at : clock.Now();
        ticket = TraceLocked(record, &sink);
    }
    m_Changed.notify_all();
    SinkInTurn(ticket, sink, record);
}

std::uint64_t SimulatedBus::TraceLocked(const TraceRecord& record,
                                        std::function<void(const TraceRecord&)>* sink) {
    if (m_KeepTrace) m_Trace.push_back(record);
    *sink = m_TraceSink;
    return m_SinkTickets++;
}

void SimulatedBus::SinkInTurn(std::uint64_t ticket,
                              const std::function<void(const TraceRecord&)>& sink,
                              const TraceRecord& record) {
    std::unique_lock<std::mutex> lock(m_SinkMutex);
    m_SinkTurn.wait(lock, [&] { return m_SinkNext == ticket; });
    if (sink) sink(record);
    ++m_SinkNext;
    m_SinkTurn.notify_all();
}

void SimulatedBus::Record(bool out, const std::uint8_t (&report)[platform::kReportSize], double ms,
                          double hostMs) {
    TraceRecord record{};
    record.ms = ms;
    record.out = out;
    std::memcpy(record.report, report, sizeof report);
    record.hostMs = hostMs;
    std::function<void(const TraceRecord&)> sink;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_KeepTrace) m_Trace.push_back(record);
        sink = m_TraceSink;
    }
    if (sink) sink(record);
}

void SimulatedBus::Notify(std::uint32_t code) {
    std::vector<platform::DeviceChangeTarget*> targets;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& [id, target] : m_Registrations) targets.push_back(target);
    }
    for (auto* target : targets) target->PostDeviceChange(code);
}

bool SimulatedBus::TakeFault(int& counter) {
    if (counter <= 0) return false;
    --counter;
    return true;
}

void SimulatedBus::SetLinkModel(LinkModel link) {
    m_Link.store(link);
}

LinkModel SimulatedBus::GetLinkModel() const {
    return m_Link.load();
}

void SimulatedBus::SetTraceSink(std::function<void(const TraceRecord&)> sink) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_TraceSink = std::move(sink);
}

void SimulatedBus::KeepTrace(bool keep) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_KeepTrace = keep;
}

std::vector<TraceRecord> SimulatedBus::Trace() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Trace;
}

void SimulatedBus::ClearTrace() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Trace.clear();
}

int SimulatedBus::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Handles.size());
}

int SimulatedBus::RegistrationCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Registrations.size());
}

int SimulatedBus::RegistrationAttempts() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_RegistrationAttempts;
}

std::unique_ptr<platform::HidInterfaceList> SimulatedBus::ListInterfaces() {
    std::vector<std::string> paths;
    std::vector<DeviceIds> ids;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& [id, device] : m_Devices) {
            paths.push_back(device->path);
            ids.push_back(device->ids);
        }
    }
    return std::make_unique<SimInterfaceList>(std::move(paths), std::move(ids), m_Faults, m_Mutex);
}

platform::HidHandle SimulatedBus::Open(const std::string& path, platform::HidAccess access,
                                       bool /*overlapped*/) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (TakeFault(m_Faults.failOpens)) return platform::kInvalidHandle;  // as EACCES would
    if (m_Faults.refuseAccess && *m_Faults.refuseAccess == access) return platform::kInvalidHandle;
    for (auto& [id, device] : m_Devices) {
        if (device->path != path) continue;
        auto handle = std::make_shared<Handle>();
        handle->device = device;
        handle->access = access;
        const platform::HidHandle h = m_NextHandle++;
        m_Handles[h] = handle;
        return h;
    }
    return platform::kInvalidHandle;
}

std::string SimulatedBus::LastOpenError() const {
    return "Permission denied";
}

void SimulatedBus::Close(platform::HidHandle handle) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Handles.erase(handle);
    m_Changed.notify_all();
}

bool SimulatedBus::GetAttributes(platform::HidHandle handle, std::uint16_t* vendorId,
                                 std::uint16_t* productId) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (TakeFault(m_Faults.failAttributes)) return false;
    auto it = m_Handles.find(handle);
    if (it == m_Handles.end() || !it->second->device->plugged) return false;
    *vendorId = it->second->device->ids.vendorId;
    *productId = it->second->device->ids.productId;
    return true;
}

bool SimulatedBus::WriteReport(platform::HidHandle handle,
                               const std::uint8_t (&report)[platform::kReportSize]) {
    const bool onLink = m_Link.load() != LinkModel::kNone;
    TraceRecord record{};
    std::function<void(const TraceRecord&)> sink;
    std::uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (TakeFault(m_Faults.failWrites)) return false;
        if (++m_Writes == m_Faults.failWriteAt) return false;
        auto it = m_Handles.find(handle);
        if (it == m_Handles.end() || it->second->access == platform::HidAccess::kReadOnly)
            return false;
        Device& device = *it->second->device;
        if (!device.plugged) return false;
        Payload payload;
        std::memcpy(payload.data(), report + 1, payload.size());
        double crossing = 0;
        if (onLink) {
            const double written = platform::GetClock().Now();
            crossing = NextSlot(written, device.nextOutSlot);
            device.nextOutSlot = crossing + 1.0;
            record.ms = crossing;
            record.out = true;
            std::memcpy(record.report, report, sizeof report);
            record.hostMs = written;
            ticket = TraceLocked(record, &sink);
        }
        device.inbox.push_back({payload, crossing});
        device.wake.notify_all();
    }
    if (!onLink) {
        const double now = platform::GetClock().Now();
        Record(true, report, now, now);
    } else {
        SinkInTurn(ticket, sink, record);
    }
    return true;
}

std::uint32_t SimulatedBus::ReadReport(platform::HidHandle handle,
                                       std::uint8_t (&report)[platform::kReportSize],
                                       std::uint32_t timeoutMs) {
    platform::Clock& clock = platform::GetClock();
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (TakeFault(m_Faults.failReads)) return platform::kWaitFailed;
    if (++m_Reads == m_Faults.failReadAt) return platform::kWaitFailed;
    auto it = m_Handles.find(handle);
    if (it == m_Handles.end() || it->second->access == platform::HidAccess::kWriteOnly)
        return platform::kWaitFailed;
    const std::shared_ptr<Handle> h = it->second;
    const double deadline = clock.Now() + timeoutMs;

    const auto take = [&] {
        report[0] = 0x00;
        std::memcpy(report + 1, h->queue.front().payload.data(), 64);
        h->queue.pop_front();
        return platform::kWaitCompleted;
    };

    if (clock.IsVirtual()) {
        // Let the device finish what it was given, so that the outcome does not depend on how
        // fast its thread runs.
        m_Changed.wait_for(lock, kQuiescenceLimit, [&] {
            return !h->device->plugged || (h->device->inbox.empty() && !h->device->busy);
        });
        if (!h->device->plugged) return platform::kWaitFailed;
        if (!h->queue.empty() && h->queue.front().at <= deadline) {
            clock.AdvanceTo(h->queue.front().at);
            return take();
        }
        clock.AdvanceTo(deadline);
        return platform::kWaitTimeout;
    }

    for (;;) {
        if (!h->device->plugged) return platform::kWaitFailed;
        const double now = clock.Now();
        if (!h->queue.empty() && h->queue.front().at <= now) return take();
        if (now >= deadline) return platform::kWaitTimeout;
        double until = deadline;
        if (!h->queue.empty()) until = std::min(until, h->queue.front().at);
        m_Changed.wait_for(
            lock, std::chrono::microseconds(static_cast<std::int64_t>((until - now) * 1000.0) + 1));
    }
}

std::uintptr_t SimulatedBus::RegisterNotify(platform::DeviceChangeTarget* target) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_RegistrationAttempts;
    if (m_Faults.failRegistration || target == nullptr) return 0;
    const std::uintptr_t id = m_NextRegistration++;
    m_Registrations[id] = target;
    return id;
}

void SimulatedBus::UnregisterNotify(std::uintptr_t registration) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Registrations.erase(registration);
}

}  // namespace sim
