// Command frames of the command-frame boot loader: encoding and decoding on byte buffers, with
// no I/O. The host builds request frames and judges replies here; the simulated controller
// decodes requests and builds replies with the same code.
//
// A request frame is 64 bytes, all multi-byte fields little-endian:
//   0       marker 0x05
//   1-2     command code
//   3-4     answer word, 0 in a request
//   5-6     length L: payload length, or for a request without payload the bytes asked for
//   7-8     CRC-16/MODBUS of the L payload bytes, low byte first; 0 when the frame has no CRC
//   9-12    size, a byte count whose meaning depends on the command (never cut)
//   13-16   controller address
//   17..    the L payload bytes (at most kMaxBlock); the rest of the 64 bytes is zero
// A reply is one zero byte followed by a frame in the request layout whose command word is 0 and
// whose answer word names the command answered; its data starts at reply byte 18.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr std::uint16_t CMD_WRITE_INFO = 2;       // parameter block (the version word)
inline constexpr std::uint16_t CMD_WRITE_DATA = 3;       // a block of image bytes
inline constexpr std::uint16_t CMD_PREPARE = 4;          // erase a region before it is written
inline constexpr std::uint16_t CMD_READ_MEMORY = 5;      // read bytes at an address
inline constexpr std::uint16_t CMD_FINISH = 7;           // end of the update
inline constexpr std::uint16_t CMD_GET_DEVICE_TYPE = 8;  // the controller's 32-bit type code

// The most payload bytes one frame carries: 64 minus the 17 header bytes, minus one more because
// a reply puts its data one byte later (behind its leading zero) and must fit in 64 bytes too.
inline constexpr std::uint32_t kMaxBlock = 46;

inline constexpr std::size_t kCommandFrameSize = 64;   // bytes of a request or a reply
inline constexpr std::size_t kRequestHeaderSize = 17;  // request bytes in front of the payload
inline constexpr std::size_t kReplyDataOffset = 18;    // reply byte where the data starts
inline constexpr std::uint8_t kFrameMarker = 0x05;

// Device types whose write frames carry a CRC (and which get the other rules of that group:
// image lookup by type, 32 KiB prepare granules, their own address map).
inline constexpr std::array<std::uint32_t, 7> CrcDeviceTypes = {0x3010, 0x3011, 0x5111, 0x5112,
                                                                0x6006, 0x6007, 0x9020};

// True when code is one of CrcDeviceTypes.
bool IsCrcDeviceTypeCode(std::uint32_t code);

// CRC-16/MODBUS (reflected polynomial 0xA001, initial value 0xFFFF, no final XOR) of count bytes.
// A count of 0 or less, or a null pointer, gives the initial value 0xFFFF.
std::uint16_t Crc16Modbus(const std::uint8_t* bytes, std::int32_t count);

// Builds a request frame in frame (all 64 bytes are written) and returns how many of its bytes
// go to the transport: 17 + L with a payload, 17 without. L is length cut to kMaxBlock.
//   payload  empty: a request without payload (the length word still holds L). Otherwise its
//            first L bytes travel; when it holds fewer than L, the missing bytes travel as 0.
//   withCrc  the CRC word covers the L payload bytes as they stand in the frame. A request
//            without payload carries CRC 0 even when asked, since it has nothing to protect.
// size is stored as given, not cut.
std::uint8_t EncodeRequestFrame(std::span<std::uint8_t, kCommandFrameSize> frame,
                                std::span<const std::uint8_t> payload, std::uint32_t length,
                                std::uint32_t address, std::uint32_t size, std::uint16_t command,
                                bool withCrc);

// The fields of a request frame as the controller sees them.
struct RequestFrameView {
    std::uint16_t command;
    std::uint16_t answer;  // 0 in a well-formed request; not judged by the decoder
    std::uint16_t length;  // L, at most kMaxBlock
    std::uint16_t crc;
    std::uint32_t size;
    std::uint32_t address;
    // Frame bytes 17 .. 16+L, a view into the decoded buffer (valid as long as it is). For
    // requests without payload these are the zeros behind the header.
    std::span<const std::uint8_t> payload;
};

// Decodes a request frame. nullopt when byte 0 is not the marker or the length word exceeds
// kMaxBlock (the payload would run past the frame's end).
std::optional<RequestFrameView> DecodeRequestFrame(
    std::span<const std::uint8_t, kCommandFrameSize> frame);

// True when the CRC word equals the CRC-16/MODBUS of the payload.
bool PayloadCrcMatches(const RequestFrameView& request);

// Builds a reply acknowledging command in reply (all 64 bytes are written): byte 0 = 0x00,
// byte 1 = 0x05, bytes 2-3 = 0, bytes 4-5 = command, the first min(data size, kMaxBlock) bytes of
// data from byte 18 on. The reply's length and CRC words describe that data; hosts ignore them.
void EncodeReply(std::span<std::uint8_t, kCommandFrameSize> reply, std::uint16_t command,
                 std::span<const std::uint8_t> data);

// True when reply acknowledges command: byte 0 = 0x00, byte 1 = 0x05, bytes 2-3 = 0 and
// bytes 4-5 = command. Bytes 6-17 are not examined. Whether a reply arrived at all is the
// caller's test.
bool IsAcknowledgement(std::span<const std::uint8_t, kCommandFrameSize> reply,
                       std::uint16_t command);

// The min(count, kMaxBlock) data bytes of a reply, from reply byte 18 on; a view into reply.
std::span<const std::uint8_t> ReplyData(std::span<const std::uint8_t, kCommandFrameSize> reply,
                                        std::uint32_t count);

// The little-endian 32-bit word at reply bytes 18-21 (device type code, version word).
std::uint32_t ReplyWord(std::span<const std::uint8_t, kCommandFrameSize> reply);
