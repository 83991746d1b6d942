#include "frame/command_frame.h"

#include <algorithm>
#include <array>

namespace {

// Request field offsets in frame bytes; a reply holds the same fields one byte later.
constexpr std::size_t kCommandOffset = 1;
constexpr std::size_t kAnswerOffset = 3;
constexpr std::size_t kLengthOffset = 5;
constexpr std::size_t kCrcOffset = 7;
constexpr std::size_t kSizeOffset = 9;
constexpr std::size_t kAddressOffset = 13;

// Callers pass offsets that are compile-time constants far inside the 64 bytes; the static
// extent of the span keeps every access below kCommandFrameSize.
void StoreLe16(std::span<std::uint8_t, kCommandFrameSize> bytes, std::size_t offset,
               std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value & 0xFFu);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void StoreLe32(std::span<std::uint8_t, kCommandFrameSize> bytes, std::size_t offset,
               std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
    }
}

std::uint16_t LoadLe16(std::span<const std::uint8_t, kCommandFrameSize> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t LoadLe32(std::span<const std::uint8_t, kCommandFrameSize> bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

}  // namespace

bool IsCrcDeviceTypeCode(std::uint32_t code) {
    return std::find(CrcDeviceTypes.begin(), CrcDeviceTypes.end(), code) != CrcDeviceTypes.end();
}

namespace {

// The eight bit steps of the reflected polynomial 0xA001 for each value of (crc XOR byte) in the
// low byte, made at compile time from the bit-serial definition: one lookup per byte instead of
// eight steps keeps the CRC of a block off the host's reaction time.
constexpr std::array<std::uint16_t, 256> MakeCrcTable() {
    std::array<std::uint16_t, 256> table{};
    for (std::uint32_t value = 0; value < 256; ++value) {
        std::uint16_t crc = static_cast<std::uint16_t>(value);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc >> 1) ^ ((crc & 1u) != 0 ? 0xA001u : 0u));
        }
        table[value] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

std::uint16_t Crc16Modbus(const std::uint8_t* bytes, std::int32_t count) {
    std::uint16_t crc = 0xFFFF;
    if (bytes == nullptr || count <= 0) {
        return crc;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ bytes[i]) & 0xFFu]);
    }
    return crc;
}

std::uint8_t EncodeRequestFrame(std::span<std::uint8_t, kCommandFrameSize> frame,
                                std::span<const std::uint8_t> payload, std::uint32_t length,
                                std::uint32_t address, std::uint32_t size, std::uint16_t command,
                                bool withCrc) {
    std::fill(frame.begin(), frame.end(), std::uint8_t{0});
    const std::uint32_t cut = std::min(length, kMaxBlock);
    frame[0] = kFrameMarker;
    StoreLe16(frame, kCommandOffset, command);
    StoreLe16(frame, kLengthOffset, static_cast<std::uint16_t>(cut));
    StoreLe32(frame, kSizeOffset, size);
    StoreLe32(frame, kAddressOffset, address);
    if (payload.empty()) {
        return static_cast<std::uint8_t>(kRequestHeaderSize);
    }
    const std::size_t copied = std::min<std::size_t>(cut, payload.size());
    std::copy_n(payload.begin(), copied, frame.begin() + kRequestHeaderSize);
    if (withCrc) {
        StoreLe16(frame, kCrcOffset,
                  Crc16Modbus(frame.data() + kRequestHeaderSize, static_cast<std::int32_t>(cut)));
    }
    return static_cast<std::uint8_t>(kRequestHeaderSize + cut);
}

std::optional<RequestFrameView> DecodeRequestFrame(
    std::span<const std::uint8_t, kCommandFrameSize> frame) {
    if (frame[0] != kFrameMarker) {
        return std::nullopt;
    }
    const std::uint16_t length = LoadLe16(frame, kLengthOffset);
    if (length > kMaxBlock) {
        return std::nullopt;
    }
    return RequestFrameView{
        .command = LoadLe16(frame, kCommandOffset),
        .answer = LoadLe16(frame, kAnswerOffset),
        .length = length,
        .crc = LoadLe16(frame, kCrcOffset),
        .size = LoadLe32(frame, kSizeOffset),
        .address = LoadLe32(frame, kAddressOffset),
        .payload = frame.subspan(kRequestHeaderSize, length),
    };
}

bool PayloadCrcMatches(const RequestFrameView& request) {
    return request.crc ==
           Crc16Modbus(request.payload.data(), static_cast<std::int32_t>(request.payload.size()));
}

void EncodeReply(std::span<std::uint8_t, kCommandFrameSize> reply, std::uint16_t command,
                 std::span<const std::uint8_t> data) {
    std::fill(reply.begin(), reply.end(), std::uint8_t{0});
    const std::size_t count = std::min<std::size_t>(data.size(), kMaxBlock);
    // Byte 0 stays 0; the request layout follows from byte 1 with an empty command word.
    reply[1] = kFrameMarker;
    StoreLe16(reply, 1 + kAnswerOffset, command);
    StoreLe16(reply, 1 + kLengthOffset, static_cast<std::uint16_t>(count));
    std::copy_n(data.begin(), count, reply.begin() + kReplyDataOffset);
    StoreLe16(reply, 1 + kCrcOffset,
              Crc16Modbus(reply.data() + kReplyDataOffset, static_cast<std::int32_t>(count)));
}

bool IsAcknowledgement(std::span<const std::uint8_t, kCommandFrameSize> reply,
                       std::uint16_t command) {
    return reply[0] == 0x00 && reply[1] == kFrameMarker && LoadLe16(reply, 2) == 0 &&
           LoadLe16(reply, 1 + kAnswerOffset) == command;
}

std::span<const std::uint8_t> ReplyData(std::span<const std::uint8_t, kCommandFrameSize> reply,
                                        std::uint32_t count) {
    return reply.subspan(kReplyDataOffset, std::min(count, kMaxBlock));
}

std::uint32_t ReplyWord(std::span<const std::uint8_t, kCommandFrameSize> reply) {
    return LoadLe32(reply, kReplyDataOffset);
}
