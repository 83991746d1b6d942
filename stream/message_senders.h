// The host's senders of the message stream and its two message areas.
#pragma once

#include <atomic>
#include <cstdint>

// The staging area of every message the host sends: byte 0 the count L, bytes 1..63 the
// message or one piece of it.
extern std::uint8_t g_OutMessage[64];
// The receive area: the 64 payload bytes of the latest input report; byte 0 is the count,
// bytes 1..63 the frame.
extern std::uint8_t g_InMessage[64];
// Firmware type of the latest controller description.
extern std::atomic<std::uint32_t> g_FirmwareType;

// Sends the 5-byte short message (0x00, type, 0x01, 0x00, value); nonzero when written.
int SendShortMessage(std::uint8_t type, std::uint8_t value);

// Builds and sends one MSG_COMMAND message; a payloadLength below 1 sends none. Result: that of
// the write for one-report messages; -1 for SET_FIRMWARE_DATA, whose pieces are written one by
// one; 0 without writing for a message beyond the limits of a frame.
int SendFirmwarePacket(std::uint8_t command, const std::uint8_t* payload,
                       std::int32_t payloadLength);
