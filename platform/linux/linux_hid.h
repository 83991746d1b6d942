// HID services on Linux: hidraw devices through hidapi, hot-plug from a udev monitor on the
// hidraw subsystem whose descriptor the window's event loop watches.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/hid_services.h"

namespace platform {

class LinuxHid final : public HidServices {
public:
    LinuxHid();
    ~LinuxHid() override;

    std::unique_ptr<HidInterfaceList> ListInterfaces() override;
    HidHandle Open(const std::string& path, HidAccess access, bool overlapped) override;
    std::string LastOpenError() const override;
    void Close(HidHandle handle) override;
    bool GetAttributes(HidHandle handle, std::uint16_t* vendorId,
                       std::uint16_t* productId) override;
    bool WriteReport(HidHandle handle, const std::uint8_t (&report)[kReportSize]) override;
    std::uint32_t ReadReport(HidHandle handle, std::uint8_t (&report)[kReportSize],
                             std::uint32_t timeoutMs) override;
    std::uintptr_t RegisterNotify(DeviceChangeTarget* target) override;
    void UnregisterNotify(std::uintptr_t registration) override;

private:
    struct Monitor;
    void* Device(HidHandle handle);

    std::mutex m_Mutex;
    std::map<HidHandle, void*> m_Devices;  // hid_device*
    HidHandle m_NextHandle = 1;
    std::map<std::uintptr_t, std::unique_ptr<Monitor>> m_Monitors;
    std::uintptr_t m_NextRegistration = 1;
};

}  // namespace platform
