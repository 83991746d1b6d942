#include "sim/stream_controller.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace sim {

StreamController::StreamController(const StreamControllerConfig& config)
    : m_Config(config), m_Version(config.version) {}

void StreamController::OnOutputReport(const Payload& payload, ReportSink& sink) {
    Actions actions;
    {
        std::scoped_lock lock(m_Mutex);
        if (m_Unplugged) return;
        const std::span<const std::uint8_t> message = MessageInReport(payload);
        if (message.empty()) return;
        // A frame starts with its lead byte; a stray piece with nothing to join onto is dropped.
        if (m_Joining.empty() && message[0] != 0x00) return;
        m_Joining.insert(m_Joining.end(), message.begin(), message.end());
        const std::optional<std::size_t> length = ExpectedFrameLength(m_Joining);
        if (!length) return;
        if (*length > kFrameBufferSize) {
            // No host frame is this long: the bytes cannot be a frame, and joining more onto them
            // would swallow the messages that follow.
            m_Joining.clear();
            return;
        }
        if (m_Joining.size() < *length) return;
        // Pieces are cut from one frame, so bytes past its end belong to no message.
        std::vector<std::uint8_t> whole = std::move(m_Joining);
        m_Joining.clear();
        whole.resize(*length);
        if (const std::optional<DecodedFrame> frame = DecodeFrame(whole)) {
            HandleFrame(*frame, actions);
        }
    }
    for (const Payload& reply : actions.replies) sink.SendInput(reply, actions.delayMs);
    if (actions.unplug) sink.Unplug();
}

void StreamController::HandleFrame(const DecodedFrame& frame, Actions& actions) {
    switch (frame.type) {
        case MSG_START: {
            std::array<std::uint8_t, kFrameHeaderSize + kDeviceInfoBodySize> info{};
            info[1] = MSG_DEVICE_INFO;
            info[2] = static_cast<std::uint8_t>(kDeviceInfoBodySize);
            info[3] = 0;
            info[kDescriptionOffset] =
                m_Faults.reportedFirmwareType.value_or(m_Config.firmwareType);
            info[kDescriptionOffset + 1] = m_Config.hardwareRevision;
            info[kDescriptionOffset + 2] = static_cast<std::uint8_t>(m_Config.productCode & 0xFFu);
            info[kDescriptionOffset + 3] = static_cast<std::uint8_t>(m_Config.productCode >> 8);
            Reply(info, actions);
            break;
        }
        case MSG_READ_FAILED:
            // The host's sign that it waited in vain; the boot loader keeps its pace regardless.
            ++m_ReadFailed;
            break;
        case MSG_COMMAND:
            if (const std::optional<DecodedCommand> command = DecodeCommandBody(frame.body)) {
                HandleCommand(*command, actions);
            }
            break;
        default:
            break;
    }
}

void StreamController::HandleCommand(const DecodedCommand& command, Actions& actions) {
    const bool transferOpen = m_Announced && !m_TransferAbandoned && !m_UpdateComplete;
    switch (command.command) {
        case GET_FIRMWARE_VERSION: {
            const std::array<std::uint8_t, 4> version = {
                static_cast<std::uint8_t>(m_Version & 0xFFu),
                static_cast<std::uint8_t>((m_Version >> 8) & 0xFFu),
                static_cast<std::uint8_t>((m_Version >> 16) & 0xFFu),
                static_cast<std::uint8_t>(m_Version >> 24)};
            ReplyCommand(GET_FIRMWARE_VERSION, version, actions);
            break;
        }
        case SET_FIRMWARE_INFO: {
            const std::optional<FirmwareDescription> description =
                DecodeFirmwareDescription(command.payload);
            if (!description) break;
            // A new description starts a new transfer, whatever became of the last one.
            m_Announced = description;
            m_Stored.clear();
            m_TransferAbandoned = false;
            m_EndReceived = false;
            m_UpdateComplete = false;
            m_DataRequests = 0;
            m_DataMessages = 0;
            actions.delayMs = PrepareTime(m_Config.flashTiming, description->size);
            RequestNextChunk(actions);
            break;
        }
        case SET_FIRMWARE_DATA:
            if (!transferOpen) break;
            m_Stored.insert(m_Stored.end(), command.payload.begin(), command.payload.end());
            ++m_DataMessages;
            actions.delayMs = m_Config.flashTiming.writeMs;
            // Asked for after every data message, the last one too: the host answers the request
            // after the image with SET_FIRMWARE_END.
            RequestNextChunk(actions);
            break;
        case SET_FIRMWARE_END:
            m_EndReceived = true;
            if (transferOpen && m_Stored.size() >= m_Announced->size) {
                m_Version = m_Announced->version;
                m_UpdateComplete = true;
            }
            break;
        default:
            break;
    }
}

void StreamController::RequestNextChunk(Actions& actions) {
    const std::size_t chunk = m_DataMessages;
    if (m_Faults.unplugAtChunk == chunk) {
        m_Unplugged = true;
        m_Joining.clear();
        actions.unplug = true;
        return;
    }
    if (m_Faults.silentFromChunk == chunk) {
        m_Silent = true;
        return;
    }
    if (m_Faults.failAtChunk == chunk) {
        m_TransferAbandoned = true;
        ReplyCommand(m_Faults.failCommand, {}, actions);
        return;
    }
    if (m_Silent || m_Faults.silent) return;
    ++m_DataRequests;
    ReplyCommand(FIRMWARE_DATA_REQ, {}, actions);
}

void StreamController::Reply(std::span<const std::uint8_t> frame, Actions& actions) const {
    if (m_Silent || m_Faults.silent) return;
    Payload report{};
    if (ComposeReportMessage(frame, report) == 0) return;
    actions.replies.push_back(report);
}

void StreamController::ReplyCommand(std::uint8_t command, std::span<const std::uint8_t> payload,
                                    Actions& actions) const {
    std::array<std::uint8_t, kReportMessageSize> frame{};
    const std::size_t length = BuildCommandFrame(command, payload, frame);
    if (length == 0) return;
    Reply(std::span<const std::uint8_t>(frame.data(), length), actions);
}

void StreamController::SetFaults(const StreamFaults& faults) {
    std::scoped_lock lock(m_Mutex);
    m_Faults = faults;
}

std::vector<std::uint8_t> StreamController::Stored() const {
    std::scoped_lock lock(m_Mutex);
    return m_Stored;
}

std::vector<std::uint8_t> StreamController::StoredImage() const {
    std::scoped_lock lock(m_Mutex);
    if (!m_Announced) return {};
    const std::size_t size = std::min<std::size_t>(m_Announced->size, m_Stored.size());
    return std::vector<std::uint8_t>(m_Stored.begin(),
                                     m_Stored.begin() + static_cast<std::ptrdiff_t>(size));
}

std::optional<FirmwareDescription> StreamController::Announced() const {
    std::scoped_lock lock(m_Mutex);
    return m_Announced;
}

bool StreamController::EndReceived() const {
    std::scoped_lock lock(m_Mutex);
    return m_EndReceived;
}

bool StreamController::UpdateComplete() const {
    std::scoped_lock lock(m_Mutex);
    return m_UpdateComplete;
}

std::uint32_t StreamController::CurrentVersion() const {
    std::scoped_lock lock(m_Mutex);
    return m_Version;
}

std::size_t StreamController::DataRequestCount() const {
    std::scoped_lock lock(m_Mutex);
    return m_DataRequests;
}

std::size_t StreamController::DataMessageCount() const {
    std::scoped_lock lock(m_Mutex);
    return m_DataMessages;
}

std::size_t StreamController::ReadFailedCount() const {
    std::scoped_lock lock(m_Mutex);
    return m_ReadFailed;
}

bool StreamController::Unplugged() const {
    std::scoped_lock lock(m_Mutex);
    return m_Unplugged;
}

}  // namespace sim
