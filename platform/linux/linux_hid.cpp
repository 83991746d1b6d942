#include "platform/linux/linux_hid.h"

#include <hidapi/hidapi.h>
#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug.h"

namespace platform {

namespace {

class LinuxInterfaceList final : public HidInterfaceList {
public:
    LinuxInterfaceList() {
        hid_device_info* list = hid_enumerate(0, 0);
        for (hid_device_info* d = list; d != nullptr; d = d->next) {
            if (d->path == nullptr) continue;
            m_Paths.emplace_back(d->path);
            m_Ids.push_back({d->vendor_id, d->product_id});
        }
        hid_free_enumeration(list);
    }
    bool Exists(std::size_t index) const override { return index < m_Paths.size(); }
    std::size_t PathSize(std::size_t index) const override {
        return index < m_Paths.size() ? m_Paths[index].size() + 1 : 0;
    }
    bool ReadPath(std::size_t index, std::size_t capacity, std::string* path) const override {
        if (index >= m_Paths.size() || capacity < m_Paths[index].size() + 1) return false;
        *path = m_Paths[index];
        return true;
    }

    bool PeekIds(std::size_t index, std::uint16_t* vendorId,
                 std::uint16_t* productId) const override {
        if (index >= m_Ids.size()) return false;
        *vendorId = m_Ids[index].first;
        *productId = m_Ids[index].second;
        return true;
    }

private:
    std::vector<std::string> m_Paths;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> m_Ids;
};

thread_local std::string t_LastOpenError;

}  // namespace

struct LinuxHid::Monitor {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    DeviceChangeTarget* target = nullptr;

    ~Monitor() {
        if (monitor) udev_monitor_unref(monitor);
        if (context) udev_unref(context);
    }

    // Called on the user-interface thread when the monitor's descriptor is readable.
    static void OnReadable(void* self) {
        auto* m = static_cast<Monitor*>(self);
        udev_device* device = udev_monitor_receive_device(m->monitor);
        if (device == nullptr) return;
        const char* action = udev_device_get_action(device);
        const std::string a = action ? action : "";
        if (a == "add") {
            m->target->PostDeviceChange(kDeviceArrival);
        } else if (a == "remove") {
            m->target->PostDeviceChange(kDeviceRemoveComplete);
        } else if (a == "change") {
            m->target->PostDeviceChange(kDevNodesChanged);
        }
        udev_device_unref(device);
    }
};

LinuxHid::LinuxHid() {
    hid_init();
}

LinuxHid::~LinuxHid() {
    for (auto& [h, device] : m_Devices) hid_close(static_cast<hid_device*>(device));
    m_Devices.clear();
    m_Monitors.clear();
    hid_exit();
}

std::unique_ptr<HidInterfaceList> LinuxHid::ListInterfaces() {
    return std::make_unique<LinuxInterfaceList>();
}

HidHandle LinuxHid::Open(const std::string& path, HidAccess /*access*/, bool /*overlapped*/) {
    // hidraw nodes are opened for reading and writing whatever the caller needs; reads wait
    // with a time-out in ReadReport.
    errno = 0;
    hid_device* device = hid_open_path(path.c_str());
    if (device == nullptr) {
        t_LastOpenError = errno != 0 ? std::strerror(errno) : "cannot be opened";
        return kInvalidHandle;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    const HidHandle h = m_NextHandle++;
    m_Devices[h] = device;
    return h;
}

std::string LinuxHid::LastOpenError() const {
    return t_LastOpenError;
}

void* LinuxHid::Device(HidHandle handle) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto it = m_Devices.find(handle);
    return it == m_Devices.end() ? nullptr : it->second;
}

void LinuxHid::Close(HidHandle handle) {
    hid_device* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Devices.find(handle);
        if (it == m_Devices.end()) return;
        device = static_cast<hid_device*>(it->second);
        m_Devices.erase(it);
    }
    hid_close(device);
}

bool LinuxHid::GetAttributes(HidHandle handle, std::uint16_t* vendorId, std::uint16_t* productId) {
    auto* device = static_cast<hid_device*>(Device(handle));
    if (device == nullptr) return false;
    hid_device_info* info = hid_get_device_info(device);
    if (info == nullptr) return false;
    *vendorId = info->vendor_id;
    *productId = info->product_id;
    return true;
}

bool LinuxHid::WriteReport(HidHandle handle, const std::uint8_t (&report)[kReportSize]) {
    auto* device = static_cast<hid_device*>(Device(handle));
    if (device == nullptr) return false;
    return hid_write(device, report, kReportSize) >= 0;
}

std::uint32_t LinuxHid::ReadReport(HidHandle handle, std::uint8_t (&report)[kReportSize],
                                   std::uint32_t timeoutMs) {
    auto* device = static_cast<hid_device*>(Device(handle));
    if (device == nullptr) return kWaitFailed;
    std::uint8_t data[kReportSize - 1] = {};
    errno = 0;
    const int n = hid_read_timeout(device, data, sizeof data, static_cast<int>(timeoutMs));
    if (n == 0 || (n < 0 && errno == EINTR)) return kWaitTimeout;  // a signal is no unplug
    if (n < 0) return kWaitFailed;  // the kernel ended the read: the device is gone
    report[0] = 0x00;               // no report ids: hidraw hands over the payload alone
    std::memcpy(report + 1, data, sizeof data);
    return kWaitCompleted;
}

std::uintptr_t LinuxHid::RegisterNotify(DeviceChangeTarget* target) {
    if (target == nullptr) return 0;
    auto monitor = std::make_unique<Monitor>();
    monitor->target = target;
    monitor->context = udev_new();
    if (monitor->context == nullptr) return 0;
    monitor->monitor = udev_monitor_new_from_netlink(monitor->context, "udev");
    if (monitor->monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor->monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor->monitor) < 0) {
        DebugPrintf("udev monitor unavailable: %s\n", std::strerror(errno));
        return 0;
    }
    const int fd = udev_monitor_get_fd(monitor->monitor);
    target->WatchReadable(fd, &Monitor::OnReadable, monitor.get());
    std::lock_guard<std::mutex> lock(m_Mutex);
    const std::uintptr_t id = m_NextRegistration++;
    m_Monitors[id] = std::move(monitor);
    return id;
}

void LinuxHid::UnregisterNotify(std::uintptr_t registration) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Monitors.erase(registration);
}

}  // namespace platform
