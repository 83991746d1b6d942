#include "stream/message_codec.h"

#include <algorithm>

namespace {

// Callers have checked that offset + 2 (or + 4) bytes lie inside the buffer.
std::uint16_t ReadLe16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

void WriteLe16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFFu);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void WriteLe32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
    }
}

}  // namespace

std::size_t BuildShortFrame(std::uint8_t type, std::uint8_t value, std::span<std::uint8_t> out) {
    if (out.size() < kShortFrameSize) return 0;
    out[0] = 0x00;
    out[1] = type;
    WriteLe16(out, 2, 1);
    out[4] = value;
    return kShortFrameSize;
}

std::size_t BuildCommandFrame(std::uint8_t command, std::span<const std::uint8_t> payload,
                              std::span<std::uint8_t> out) {
    if (payload.empty()) return BuildShortFrame(MSG_COMMAND, command, out);
    if (payload.size() > kMaxCommandPayload) return 0;
    const std::size_t length = kCommandHeaderSize + payload.size();
    if (out.size() < length) return 0;
    // The payload length is at most 1017, so both length fields fit 16 bits.
    const auto payloadLength = static_cast<std::uint16_t>(payload.size());
    out[0] = 0x00;
    out[1] = MSG_COMMAND;
    WriteLe16(out, 2, static_cast<std::uint16_t>(payloadLength + 3));
    out[kCommandOffset] = command;
    WriteLe16(out, 5, payloadLength);
    std::copy(payload.begin(), payload.end(), out.begin() + kCommandHeaderSize);
    return length;
}

std::array<std::uint8_t, kFirmwareDescriptionSize> BuildFirmwareDescription(
    const FirmwareDescription& description) {
    std::array<std::uint8_t, kFirmwareDescriptionSize> bytes{};
    WriteLe32(bytes, 0, description.version);
    WriteLe32(bytes, 4, description.address);
    WriteLe32(bytes, 8, description.size);
    return bytes;
}

std::vector<std::span<const std::uint8_t>> CutIntoPieces(std::span<const std::uint8_t> frame) {
    std::vector<std::span<const std::uint8_t>> pieces;
    pieces.reserve((frame.size() + kMaxPiece - 1) / kMaxPiece);
    for (std::size_t offset = 0; offset < frame.size(); offset += kMaxPiece) {
        pieces.push_back(frame.subspan(offset, std::min(kMaxPiece, frame.size() - offset)));
    }
    return pieces;
}

std::size_t ComposeReportMessage(std::span<const std::uint8_t> message,
                                 std::span<std::uint8_t> out) {
    if (message.empty() || message.size() > kMaxReportMessage) return 0;
    if (out.size() < message.size() + 1) return 0;
    out[0] = static_cast<std::uint8_t>(message.size());
    std::copy(message.begin(), message.end(), out.begin() + 1);
    return message.size() + 1;
}

ReceivedCommand ParseCommandBody(std::span<const std::uint8_t> body) {
    ReceivedCommand received;
    if (body.empty()) return received;
    received.command = body[0];
    if (received.command == GET_FIRMWARE_VERSION) {
        constexpr std::size_t kVersionInBody = kVersionOffset - kCommandOffset;
        if (body.size() < kVersionInBody + 4) return received;
        received.version = ReadLe32(body, kVersionInBody);
    }
    received.valid = true;
    return received;
}

ReceivedFrame ParseReceivedFrame(std::span<const std::uint8_t> frame) {
    ReceivedFrame received;
    if (frame.size() < 2 || frame[0] != 0x00) return received;
    switch (frame[1]) {
        case MSG_COMMAND:
            if (frame.size() <= kCommandOffset) return received;
            received.command = ParseCommandBody(frame.subspan(kCommandOffset));
            if (received.command.valid) received.kind = ReceivedKind::Command;
            break;
        case MSG_DEVICE_INFO:
            if (frame.size() < kDescriptionOffset + 4) return received;
            received.descriptionWord = ReadLe32(frame, kDescriptionOffset);
            received.description = SplitDescriptionWord(received.descriptionWord);
            received.kind = ReceivedKind::DeviceInfo;
            break;
        default:
            break;
    }
    return received;
}

ControllerDescription SplitDescriptionWord(std::uint32_t word) {
    ControllerDescription description;
    description.firmwareType = static_cast<std::uint8_t>(word & 0xFFu);
    description.hardwareRevision = static_cast<std::uint8_t>((word >> 8) & 0xFFu);
    description.productCode = static_cast<std::uint16_t>(word >> 16);
    return description;
}

std::span<const std::uint8_t> MessageInReport(std::span<const std::uint8_t> payload) {
    if (payload.empty()) return {};
    const std::size_t count = payload[0];
    if (count == 0 || count > kMaxReportMessage || count >= payload.size()) return {};
    return payload.subspan(1, count);
}

std::optional<std::size_t> ExpectedFrameLength(std::span<const std::uint8_t> head) {
    if (head.size() < kFrameHeaderSize) return std::nullopt;
    return kFrameHeaderSize + ReadLe16(head, 2);
}

std::optional<DecodedFrame> DecodeFrame(std::span<const std::uint8_t> bytes) {
    const std::optional<std::size_t> length = ExpectedFrameLength(bytes);
    if (!length || bytes[0] != 0x00 || bytes.size() < *length) return std::nullopt;
    DecodedFrame frame;
    frame.type = bytes[1];
    frame.body = bytes.subspan(kFrameHeaderSize, *length - kFrameHeaderSize);
    return frame;
}

std::optional<DecodedCommand> DecodeCommandBody(std::span<const std::uint8_t> body) {
    if (body.empty()) return std::nullopt;
    DecodedCommand command;
    command.command = body[0];
    if (body.size() == 1) return command;
    constexpr std::size_t kPayloadInBody = kCommandHeaderSize - kCommandOffset;  // 3
    if (body.size() < kPayloadInBody) return std::nullopt;
    const std::size_t payloadLength = ReadLe16(body, 1);
    if (payloadLength == 0 || body.size() != kPayloadInBody + payloadLength) return std::nullopt;
    command.payload = body.subspan(kPayloadInBody);
    return command;
}

std::optional<FirmwareDescription> DecodeFirmwareDescription(
    std::span<const std::uint8_t> payload) {
    if (payload.size() != kFirmwareDescriptionSize) return std::nullopt;
    FirmwareDescription description;
    description.version = ReadLe32(payload, 0);
    description.address = ReadLe32(payload, 4);
    description.size = ReadLe32(payload, 8);
    return description;
}
