#include "stream/message_senders.h"

#include <cstring>
#include <span>

#include "app/update_dlg.h"
#include "platform/debug.h"
#include "stream/message_codec.h"

std::uint8_t g_OutMessage[64] = {};
std::uint8_t g_InMessage[64] = {};
std::atomic<std::uint32_t> g_FirmwareType{0};

namespace {

int WriteStaged(std::size_t length) {
    return g_UpdateDlg->m_Hid.WriteHid(g_OutMessage, static_cast<std::uint8_t>(length));
}

}  // namespace

int SendShortMessage(std::uint8_t type, std::uint8_t value) {
    std::uint8_t frame[kShortFrameSize];
    const std::size_t length = BuildShortFrame(type, value, frame);
    return WriteStaged(ComposeReportMessage(std::span(frame, length), g_OutMessage));
}

int SendFirmwarePacket(std::uint8_t command, const std::uint8_t* payload,
                       std::int32_t payloadLength) {
    std::uint8_t frame[kFrameBufferSize];
    const std::size_t payloadSize =
        (payloadLength >= 1 && payload != nullptr) ? static_cast<std::size_t>(payloadLength) : 0;
    if (payloadSize > kMaxCommandPayload) return 0;
    const std::size_t length = BuildCommandFrame(command, std::span(payload, payloadSize), frame);
    if (length == 0) return 0;

    if (command != SET_FIRMWARE_DATA) {
        if (length > kMaxReportMessage) return 0;  // one report carries at most 63 bytes
        platform::DebugPrintf("SendFirmwarePacket cmd %d\n", command);
        return WriteStaged(ComposeReportMessage(std::span(frame, length), g_OutMessage));
    }

    // Data messages travel in pieces of at most 39 bytes; the controller joins them.
    for (const std::span<const std::uint8_t> piece : CutIntoPieces(std::span(frame, length))) {
        if (!WriteStaged(ComposeReportMessage(piece, g_OutMessage))) {
            platform::DebugOutput("WriteHid error\n");
            break;
        }
        platform::DebugPrintf("WriteHid %d btye sucessful\n", static_cast<int>(piece.size()));
    }
    return -1;
}

int CUpdateDlg::SendFirmwareInfo() {
    const auto description = BuildFirmwareDescription({m_FileVersion, m_ImageAddress, m_ImageSize});
    return SendFirmwarePacket(SET_FIRMWARE_INFO, description.data(),
                              static_cast<std::int32_t>(description.size()));
}

int CUpdateDlg::SendFirmwareData(const std::uint8_t* data, std::int32_t length) {
    return SendFirmwarePacket(SET_FIRMWARE_DATA, data, length);
}
