// The message stream's bytes: frames, the firmware description, the cut of a data message into
// report-sized pieces, and the reading of received frames. Pure functions on byte buffers; no I/O,
// no globals, no state, safe from any thread.
//
// A frame is: lead byte 0x00, message type, body length N (16-bit little-endian, the frame bytes
// that follow it), then N body bytes; N + 4 bytes in all. In a report, byte 0 of the payload is a
// count L and bytes 1..L are the frame (or one piece of a data frame).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Message types (frame byte 1).
inline constexpr std::uint8_t MSG_COMMAND = 0x16;      // command body, both directions
inline constexpr std::uint8_t MSG_DEVICE_INFO = 0x19;  // controller description, to the host
inline constexpr std::uint8_t MSG_START = 0x1A;        // short body 0x00, to the controller
inline constexpr std::uint8_t MSG_READ_FAILED = 0x1D;  // short body 0x00, to the controller

// Commands carried in MSG_COMMAND (frame byte 4).
inline constexpr std::uint8_t SET_FIRMWARE_DATA = 0;
inline constexpr std::uint8_t SET_FIRMWARE_INFO = 1;
inline constexpr std::uint8_t SET_FIRMWARE_END = 2;
inline constexpr std::uint8_t GET_FIRMWARE_VERSION = 4;
inline constexpr std::uint8_t FIRMWARE_DATA_REQ = 20;
inline constexpr std::uint8_t FIRMWARE_FAIL = 21;
inline constexpr std::uint8_t FIRMWARE_ERROR = 24;

// Frame layout, in bytes.
inline constexpr std::size_t kFrameHeaderSize = 4;     // lead, type, body length
inline constexpr std::size_t kShortFrameSize = 5;      // header + one value or command byte
inline constexpr std::size_t kCommandHeaderSize = 7;   // header + command + payload length
inline constexpr std::size_t kFrameBufferSize = 1024;  // largest frame either side builds
inline constexpr std::size_t kMaxCommandPayload = kFrameBufferSize - kCommandHeaderSize;  // 1017

// Carriage in a 64-byte report payload: count byte, then at most 63 message bytes. Data frames
// travel in pieces of at most kMaxPiece bytes; every other message goes whole in one report.
inline constexpr std::size_t kReportMessageSize = 64;
inline constexpr std::size_t kMaxReportMessage = kReportMessageSize - 1;  // 63
inline constexpr std::size_t kMaxPiece = 39;
inline constexpr std::size_t kFirmwareChunkSize = 32;  // image bytes per data message

// Fixed offsets at which the host reads a received frame.
inline constexpr std::size_t kCommandOffset = 4;
inline constexpr std::size_t kVersionOffset = 7;       // version word, frame bytes 7-10
inline constexpr std::size_t kDescriptionOffset = 40;  // description word, frame bytes 40-43

// The payload of SET_FIRMWARE_INFO: the first three words of the chosen image's header.
inline constexpr std::size_t kFirmwareDescriptionSize = 28;
struct FirmwareDescription {
    std::uint32_t version = 0;  // version word of the image
    std::uint32_t address = 0;  // flash address of the image
    std::uint32_t size = 0;     // image bytes
    bool operator==(const FirmwareDescription&) const = default;
};

// The controller description word of MSG_DEVICE_INFO, split into its fields.
struct ControllerDescription {
    std::uint8_t firmwareType = 0;      // bits 0-7
    std::uint8_t hardwareRevision = 0;  // bits 8-15
    std::uint16_t productCode = 0;      // bits 16-31
    bool operator==(const ControllerDescription&) const = default;
};

// ---- Building (either side) --------------------------------------------------------------------

// Writes the 5-byte short frame (0x00, type, 0x01, 0x00, value) to out. Returns its length (5),
// or 0 when out is shorter; out is then untouched.
std::size_t BuildShortFrame(std::uint8_t type, std::uint8_t value, std::span<std::uint8_t> out);

// Writes a MSG_COMMAND frame to out and returns its length. An empty payload gives the short
// command form 00 16 01 00 command (5 bytes); a payload of P bytes gives
// 00 16 (P+3 LE16) command (P LE16) payload (P + 7 bytes). Returns 0, out untouched, when P is
// above kMaxCommandPayload or out cannot hold the frame.
std::size_t BuildCommandFrame(std::uint8_t command, std::span<const std::uint8_t> payload,
                              std::span<std::uint8_t> out);

// The 28-byte SET_FIRMWARE_INFO payload: version, address, size as 32-bit little-endian words,
// then 16 zero bytes.
std::array<std::uint8_t, kFirmwareDescriptionSize> BuildFirmwareDescription(
    const FirmwareDescription& description);

// The consecutive pieces of a frame, each at most kMaxPiece bytes, in order, nothing added. The
// pieces view the frame's bytes: they are valid as long as frame is. An empty frame has none.
std::vector<std::span<const std::uint8_t>> CutIntoPieces(std::span<const std::uint8_t> frame);

// Composes a report message: out[0] = L = message length, out[1..L] = message; bytes of out after
// them are left as they were. Returns L + 1, the bytes to hand to the report writer, or 0 (out
// untouched) when the message is empty, longer than kMaxReportMessage, or does not fit out.
std::size_t ComposeReportMessage(std::span<const std::uint8_t> message,
                                 std::span<std::uint8_t> out);

// ---- Reading on the host side, at fixed offsets ------------------------------------------------
// The host reads received fields where they stand and does not consult the count byte or the
// frame's length field; the only length test here is the bound of the buffer handed in.

enum class ReceivedKind : std::uint8_t {
    Ignored,     // lead byte not 0x00, a type without a host reader, or too few bytes
    Command,     // MSG_COMMAND: command (and version for GET_FIRMWARE_VERSION) filled
    DeviceInfo,  // MSG_DEVICE_INFO: descriptionWord and description filled
};

struct ReceivedCommand {
    bool valid = false;         // false: body empty, or a version reply too short for its word
    std::uint8_t command = 0;   // body byte 0 (frame byte 4)
    std::uint32_t version = 0;  // GET_FIRMWARE_VERSION only: body bytes 3-6 (frame bytes 7-10)
};

struct ReceivedFrame {
    ReceivedKind kind = ReceivedKind::Ignored;
    ReceivedCommand command;            // kind Command
    std::uint32_t descriptionWord = 0;  // kind DeviceInfo: frame bytes 40-43
    ControllerDescription description;  // kind DeviceInfo: descriptionWord split
};

// Reads a command body (the frame from byte 4 on). Any command is passed through; which ones
// mean something is the caller's business.
ReceivedCommand ParseCommandBody(std::span<const std::uint8_t> body);

// Reads a received frame (bytes 1..63 of an input report message area).
ReceivedFrame ParseReceivedFrame(std::span<const std::uint8_t> frame);

// Splits a controller description word into its fields.
ControllerDescription SplitDescriptionWord(std::uint32_t word);

// ---- Reading by the length fields (the controller's side) --------------------------------------

// The message bytes of a report payload: bytes 1..L for the count L in byte 0. Empty when L is 0,
// above kMaxReportMessage, or beyond the payload.
std::span<const std::uint8_t> MessageInReport(std::span<const std::uint8_t> payload);

// The whole length of the frame that starts at head (4 + the body length in bytes 2-3), once
// head holds at least the 4 header bytes; nullopt before.
std::optional<std::size_t> ExpectedFrameLength(std::span<const std::uint8_t> head);

// A frame split by its length field: nullopt when the lead byte is not 0x00 or the bytes do not
// hold the whole body. Bytes after the body are not part of the frame and are not looked at.
struct DecodedFrame {
    std::uint8_t type = 0;
    std::span<const std::uint8_t> body;  // views the bytes handed in
};
std::optional<DecodedFrame> DecodeFrame(std::span<const std::uint8_t> bytes);

// A MSG_COMMAND body split into command and payload: the one-byte body has no payload; a longer
// body must be command, payload length P (LE16), then exactly P bytes. nullopt otherwise.
struct DecodedCommand {
    std::uint8_t command = 0;
    std::span<const std::uint8_t> payload;  // views the body
};
std::optional<DecodedCommand> DecodeCommandBody(std::span<const std::uint8_t> body);

// The firmware description of a SET_FIRMWARE_INFO payload; nullopt unless it is 28 bytes.
std::optional<FirmwareDescription> DecodeFirmwareDescription(std::span<const std::uint8_t> payload);
