// The command-frame primitives: one request frame per output report, judged by the replies'
// acknowledgement, each primitive with its own rule for repeating, pausing and giving up.
#include <algorithm>
#include <cstring>
#include <span>

#include "app/update_dlg.h"
#include "frame/command_frame.h"
#include "platform/clock.h"

namespace {

constexpr int kReadAttempts = 5;                  // ReadMemory, GetDeviceType
constexpr int kPrepareReads = 3;                  // PrepareRegion
constexpr int kPreparePolls = 20;                 // PrepareRegionPolled
constexpr int kWriteReads = 100;                  // WriteBlock
constexpr std::uint32_t kPrepareSettleMs = 1000;  // the controller erases before it answers
constexpr std::uint32_t kPrepareRetryMs = 200;
constexpr std::uint32_t kPreparePollMs = 500;
constexpr std::uint32_t kVersionRegionSize = 32;

}  // namespace

std::uint16_t CUpdateDlg::Crc16(const std::uint8_t* bytes, std::int32_t count) {
    return Crc16Modbus(bytes, count);
}

bool CUpdateDlg::IsCrcDeviceType(std::uint32_t deviceType) {
    return IsCrcDeviceTypeCode(deviceType);
}

int CUpdateDlg::SendCommandFrame(const std::uint8_t* payload, std::uint32_t length,
                                 std::uint32_t address, std::uint32_t size, std::uint16_t command,
                                 bool withCrc) {
    std::uint8_t frame[kCommandFrameSize];
    const std::span<const std::uint8_t> bytes =
        payload != nullptr ? std::span(payload, std::min(length, kMaxBlock))
                           : std::span<const std::uint8_t>();
    const std::uint8_t n =
        EncodeRequestFrame(frame, bytes, length, address, size, command, withCrc);
    return m_Hid.WriteHid(frame, n);
}

namespace {

// One read of a reply into the receive buffer; true when it acknowledges command.
bool ReadAcknowledgement(CHid& hid, std::uint16_t command, std::uint8_t (&reply)[64]) {
    if (hid.ReadHid(reply, 64) != 0) return false;
    return IsAcknowledgement(reply, command);
}

}  // namespace

int CUpdateDlg::ReadMemory(std::uint8_t* destination, std::uint32_t count, std::uint32_t address) {
    const auto request = [&] {
        SendCommandFrame(nullptr, count, address, count, CMD_READ_MEMORY, false);
    };
    request();
    for (int attempt = 0; attempt < kReadAttempts && m_WaitAbort == 0; ++attempt) {
        std::uint8_t reply[64];
        const std::uint32_t result = m_Hid.ReadHid(reply, 64);
        if (result != 0) {
            request();  // no answer: ask again
            continue;
        }
        if (IsAcknowledgement(reply, CMD_READ_MEMORY)) {
            const std::span<const std::uint8_t> data = ReplyData(reply, count);
            std::memcpy(destination, data.data(), data.size());
            return 1;
        }
        // Another command's answer: the attempt is used up, the request stands.
    }
    return 0;
}

int CUpdateDlg::GetDeviceType(std::uint8_t* destination, std::uint32_t count) {
    const auto request = [&] {
        SendCommandFrame(nullptr, count, 0, count, CMD_GET_DEVICE_TYPE, false);
    };
    request();
    for (int attempt = 0; attempt < kReadAttempts && m_WaitAbort == 0; ++attempt) {
        std::uint8_t reply[64];
        const std::uint32_t result = m_Hid.ReadHid(reply, 64);
        if (result != 0) {
            request();
            continue;
        }
        if (IsAcknowledgement(reply, CMD_GET_DEVICE_TYPE)) {
            const std::span<const std::uint8_t> data = ReplyData(reply, count);
            std::memcpy(destination, data.data(), data.size());
            return 1;
        }
    }
    return 0;
}

int CUpdateDlg::PrepareRegion(std::uint32_t address, std::uint32_t size) {
    platform::Clock& clock = platform::GetClock();
    const auto request = [&] { SendCommandFrame(nullptr, 0, address, size, CMD_PREPARE, false); };
    request();
    if (!clock.Sleep(kPrepareSettleMs, &m_WaitAbort)) return 0;
    for (int read = 0; read < kPrepareReads; ++read) {
        std::uint8_t reply[64];
        if (ReadAcknowledgement(m_Hid, CMD_PREPARE, reply)) return 1;
        request();
        if (!clock.Sleep(kPrepareRetryMs, &m_WaitAbort)) return 0;
    }
    return 0;
}

int CUpdateDlg::PrepareRegionPolled(std::uint32_t address, std::uint32_t size) {
    platform::Clock& clock = platform::GetClock();
    SendCommandFrame(nullptr, 0, address, size, CMD_PREPARE, false);
    if (!clock.Sleep(kPrepareSettleMs, &m_WaitAbort)) return 0;
    for (int poll = 0; poll < kPreparePolls; ++poll) {
        std::uint8_t reply[64];
        if (ReadAcknowledgement(m_Hid, CMD_PREPARE, reply)) return 1;
        if (!clock.Sleep(kPreparePollMs, &m_WaitAbort)) return 0;
    }
    return 0;
}

int CUpdateDlg::WriteBlock(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                           std::uint32_t size, bool isData) {
    const std::uint16_t command = isData ? CMD_WRITE_DATA : CMD_WRITE_INFO;
    // A reply is matched to its request by the command alone: an acknowledgement that arrived
    // before this frame went out answers an earlier one (a late answer to a block sent twice),
    // and taken for this block's it would leave a hole in the flash.
    m_Hid.DiscardPendingReports();
    SendCommandFrame(data, length, address, size, command, IsCrcDeviceType(m_DeviceType));
    for (int read = 0; read < kWriteReads && m_WaitAbort == 0; ++read) {
        std::uint8_t reply[64];
        const std::uint32_t result = m_Hid.ReadHid(reply, 64);
        if (result == 0 && IsAcknowledgement(reply, command)) return 1;
        // A read that ends with an error (controller gone) ends this attempt: no later read on
        // the channel can bring the acknowledgement.
        if (result != 0 && result != platform::kWaitTimeout) return 0;
    }
    return 0;
}

int CUpdateDlg::FinishUpdate() {
    SendCommandFrame(nullptr, 0, 0, 0, CMD_FINISH, false);
    std::uint8_t reply[64];
    return ReadAcknowledgement(m_Hid, CMD_FINISH, reply) ? 1 : 0;
}

int CUpdateDlg::WriteVersionWord() {
    if (IsCrcDeviceType(m_DeviceType) &&
        !PrepareRegionPolled(m_VersionAddress, kVersionRegionSize)) {
        return 0;
    }
    std::uint8_t word[4];
    for (int i = 0; i < 4; ++i) word[i] = static_cast<std::uint8_t>(m_FileVersion >> (8 * i));
    return WriteBlock(word, m_VersionAddress, 4, 4, false);
}
