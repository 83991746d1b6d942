// CHid: the system's only road to the controller. It finds a controller in boot mode among the
// HID interfaces by vendor and product id, opens a write and a read channel on it, and carries
// 65-byte reports. It knows nothing of the protocols.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/hid_services.h"

enum class ProtocolKind : std::uint32_t { MessageStream, CommandFrame };

// The protocol of the last controller found; written by each successful search.
extern std::atomic<ProtocolKind> g_ProtocolKind;

// The one output report of the process; payload bytes beyond the latest write keep what earlier
// writes put there.
extern std::uint8_t g_OutReport[platform::kReportSize];

struct HidMatch {
    std::uint16_t vendorId;
    std::uint16_t productId;
    ProtocolKind kind;
};

// Tested in this order; the pair also fixes the protocol.
inline constexpr HidMatch kMatchTable[] = {
    {0x0483, 0x5750, ProtocolKind::MessageStream},
    {0x3A7C, 0x5750, ProtocolKind::MessageStream},
    {0x3A7C, 0x3208, ProtocolKind::CommandFrame},
};

// The match-table entry of a vendor and product id, nullptr when the pair is no controller.
const HidMatch* FindMatch(std::uint16_t vendorId, std::uint16_t productId);

class CHid {
public:
    CHid() = default;
    virtual ~CHid();
    CHid(const CHid&) = delete;
    CHid& operator=(const CHid&) = delete;

    // 1 when a controller was found (m_bFound, m_DevicePath and g_ProtocolKind set), else 0.
    // The first call also registers m_hWndNotify for device notifications.
    int FindDevice();
    // Opens both channels on the path of the last successful search; 1 when both are open.
    // The channels of an earlier opening are closed first.
    int OpenDevice();
    // Sends data (length at most 64) behind the report id; nonzero when the report was written.
    int WriteHid(const std::uint8_t* data, std::uint8_t length);
    // Waits at most m_ReadTimeout ms for one input report and copies its bytes 1..length into
    // buffer. 0 when a report arrived; otherwise a wait code and the buffer is untouched.
    std::uint32_t ReadHid(std::uint8_t* buffer, std::uint8_t length);
    void SetReadTimeout(std::uint32_t ms) { m_ReadTimeout.store(ms); }
    // Reads and drops the input reports that have already arrived (at most a bounded number),
    // without waiting for more.
    void DiscardPendingReports();

    int RegisterDeviceNotify();
    // Ends the registration, if one was made; no later search registers again.
    void UnregisterDeviceNotify();
    int SearchDevice(platform::HidHandle* handle);

    platform::DeviceChangeTarget* m_hWndNotify = nullptr;
    std::atomic<int> m_bFound{0};
    platform::HidHandle m_hWrite = platform::kInvalidHandle;
    platform::HidHandle m_hRead = platform::kInvalidHandle;
    std::string m_DevicePath;
    std::atomic<std::uint32_t> m_ReadTimeout{10};
    int m_bNotifyRegistered = 0;
    std::uintptr_t m_hDevNotify = 0;

private:
    void CloseChannels();
};
