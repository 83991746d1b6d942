// HID services: the operations the controller link needs of the machine's HID stack.
//
// One interface, one backend per file: platform/linux (hidraw through hidapi, udev hot-plug)
// and sim/ (the in-process simulated bus). Nothing above this header knows which one runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A report as it crosses the bus: byte 0 the report id (0x00), bytes 1..64 the payload.
inline constexpr std::size_t kReportSize = 65;

// Opaque handle of an open HID channel. The invalid handle has all bits set.
using HidHandle = std::uintptr_t;
inline constexpr HidHandle kInvalidHandle = ~HidHandle{0};

// Results of ReadReport, the wait codes the report channel passes through to its callers.
inline constexpr std::uint32_t kWaitCompleted = 0;
inline constexpr std::uint32_t kWaitAbandoned = 0x80;     // also: channel not open, no read made
inline constexpr std::uint32_t kWaitTimeout = 0x102;      // no report within the time-out
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;  // the read ended with an error

// Device-change event codes delivered to a registered window.
inline constexpr std::uint32_t kDevNodesChanged = 0x0007;
inline constexpr std::uint32_t kDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDeviceRemoveComplete = 0x8004;

enum class HidAccess { kReadWrite, kWriteOnly, kReadOnly };

// The receiver of device-change notifications: the main window. PostDeviceChange may be called
// from any thread; the window delivers the code on its user-interface thread.
class DeviceChangeTarget {
public:
    virtual ~DeviceChangeTarget() = default;
    virtual void PostDeviceChange(std::uint32_t code) = 0;
    // Calls onReadable on the user-interface thread whenever fd is readable, until the target
    // is destroyed. Backends that learn of hot-plug through a descriptor use it.
    virtual void WatchReadable(int fd, void (*onReadable)(void* context), void* context) = 0;
};

// A snapshot of the HID interfaces present when it was taken.
class HidInterfaceList {
public:
    virtual ~HidInterfaceList() = default;
    // False past the end of the list.
    virtual bool Exists(std::size_t index) const = 0;
    // Bytes needed to hold the interface's path, 0 when it cannot be read.
    virtual std::size_t PathSize(std::size_t index) const = 0;
    // Reads the path into *path when it fits in capacity bytes; false when it does not fit or
    // cannot be read.
    virtual bool ReadPath(std::size_t index, std::size_t capacity, std::string* path) const = 0;
    // The vendor and product id the system reports for the interface without opening it, where
    // it knows them; false otherwise.
    virtual bool PeekIds(std::size_t /*index*/, std::uint16_t* /*vendorId*/,
                         std::uint16_t* /*productId*/) const {
        return false;
    }
};

class HidServices {
public:
    virtual ~HidServices() = default;

    virtual std::unique_ptr<HidInterfaceList> ListInterfaces() = 0;

    // kInvalidHandle when the path cannot be opened. `overlapped` asks for a channel that
    // ReadReport may wait on with a time-out.
    virtual HidHandle Open(const std::string& path, HidAccess access, bool overlapped) = 0;
    // Why the last Open on this thread failed, in words ("Permission denied"); "" when unknown.
    virtual std::string LastOpenError() const { return {}; }
    virtual void Close(HidHandle handle) = 0;

    // False when the attributes cannot be read; the outputs are then untouched.
    virtual bool GetAttributes(HidHandle handle, std::uint16_t* vendorId,
                               std::uint16_t* productId) = 0;

    // Writes one whole report (report id first); returns once it is written. False on failure.
    virtual bool WriteReport(HidHandle handle, const std::uint8_t (&report)[kReportSize]) = 0;

    // Waits at most timeoutMs for one input report. kWaitCompleted with the report (report id
    // first) in *report; otherwise one of the other wait codes, *report untouched, and no read is
    // left pending. A read the device ends with an error (unplugged) gives kWaitFailed.
    virtual std::uint32_t ReadReport(HidHandle handle, std::uint8_t (&report)[kReportSize],
                                     std::uint32_t timeoutMs) = 0;

    // Registers `target` for arrival and removal of HID interfaces. 0 on failure, else a
    // registration id for Unregister.
    virtual std::uintptr_t RegisterNotify(DeviceChangeTarget* target) = 0;
    virtual void UnregisterNotify(std::uintptr_t registration) = 0;
};

// The backend chosen by main() (or a test) before the application runs.
HidServices& Hid();
void SetHidServices(HidServices* services);

}  // namespace platform
