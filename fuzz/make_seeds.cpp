// Writes the seed corpora of the three fuzzers, all made by our own writers and codecs:
//   zentrel-fuzz-seeds DIR   (DIR/fuzz_firmware_file/..., DIR/fuzz_stream_messages/..., ...)
// Each fuzzer gets at least one input that runs its whole road: an accepted file, a complete
// message-stream transfer, every primitive acknowledged.
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "app/update_dlg.h"
#include "frame/command_frame.h"
#include "image/firmware_writer.h"
#include "sim/sample_firmware.h"
#include "stream/message_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool g_Ok = true;

void Write(const std::string& dir, const std::string& name, const Bytes& bytes) {
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    if (!WriteFileBytes(path, bytes)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        g_Ok = false;
    }
}

void Append(Bytes& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// ---- Firmware files --------------------------------------------------------------------------

void FirmwareFiles(const std::string& dir) {
    constexpr std::uint32_t kVersion = 0x0001008A;
    Write(dir, "stream_sample.dat", sim::SampleStreamFile(100, kVersion));
    Write(dir, "frame_6006_sample.dat", sim::SampleFrameFile(0x6006, 64, kVersion));
    Write(dir, "frame_3009_sample.dat", sim::SampleFrameFile(0x3009, 64, kVersion));
    // Refused: a header with an empty image, and an image that runs past the end.
    Write(dir, "empty_image.dat", BuildFirmwareFile({MakeRecord(kVersion, 0x08004000, 0, {})}));
    FirmwareRecord past = MakeRecord(kVersion, 0x08004000, 0x6006, PatternImage(20, 7));
    past.header.imageSize = 0x7FFFFFF0;
    Write(dir, "size_past_end.dat", BuildFirmwareFile({past}));
    // Cut inside the header.
    Bytes cut = sim::SampleStreamFile(10, kVersion);
    cut.resize(27);
    Write(dir, "cut_header.dat", cut);
}

// ---- Message-stream reports ------------------------------------------------------------------

// One input report: the count byte, then the frame.
std::array<std::uint8_t, 64> Report(std::span<const std::uint8_t> frame) {
    std::array<std::uint8_t, 64> report{};
    ComposeReportMessage(frame, report);
    return report;
}

std::array<std::uint8_t, 64> CommandReport(std::uint8_t command,
                                           std::span<const std::uint8_t> payload = {}) {
    std::array<std::uint8_t, kReportMessageSize> frame{};
    const std::size_t length = BuildCommandFrame(command, payload, frame);
    return Report(std::span<const std::uint8_t>(frame.data(), length));
}

std::array<std::uint8_t, 64> DeviceInfoReport(std::uint8_t firmwareType, std::uint8_t revision,
                                              std::uint16_t product) {
    std::array<std::uint8_t, kFrameHeaderSize + 40> info{};
    info[1] = MSG_DEVICE_INFO;
    info[2] = 40;
    info[kDescriptionOffset] = firmwareType;
    info[kDescriptionOffset + 1] = revision;
    info[kDescriptionOffset + 2] = static_cast<std::uint8_t>(product & 0xFF);
    info[kDescriptionOffset + 3] = static_cast<std::uint8_t>(product >> 8);
    return Report(info);
}

// Byte 0: transfer state index (0, INFO_SENT, SENDING, IDLE); byte 1: file choice and chunks.
Bytes StreamInput(std::uint8_t stateIndex, std::uint8_t fileByte,
                  const std::vector<std::array<std::uint8_t, 64>>& reports) {
    Bytes out{stateIndex, fileByte};
    for (const auto& r : reports) Append(out, r);
    return out;
}

void StreamMessages(const std::string& dir) {
    const auto request = CommandReport(FIRMWARE_DATA_REQ);
    // From between updates: the description of an updatable controller, then a request for
    // each of the four chunks of the 100-byte file and one after them: a whole transfer.
    Write(dir, "whole_transfer",
          StreamInput(
              3, 0, {DeviceInfoReport(1, 1, 0x105), request, request, request, request, request}));
    const std::array<std::uint8_t, 4> version = {0x89, 0x00, 0x02, 0x00};
    Write(dir, "version_reply", StreamInput(0, 0, {CommandReport(GET_FIRMWARE_VERSION, version)}));
    Write(dir, "first_request", StreamInput(1, 2, {request, request}));
    Write(dir, "fail_while_sending", StreamInput(2, 0x10, {request, CommandReport(FIRMWARE_FAIL)}));
    Write(dir, "error_then_request", StreamInput(2, 0, {CommandReport(FIRMWARE_ERROR), request}));
    Write(dir, "not_updatable", StreamInput(3, 0, {DeviceInfoReport(2, 1, 0x105)}));
    Write(dir, "below_minimum", StreamInput(3, 1, {DeviceInfoReport(200, 2, 0x105), request}));
}

// ---- Command-frame replies -------------------------------------------------------------------

std::array<std::uint8_t, 64> Ack(std::uint16_t command, std::uint32_t word = 0) {
    std::array<std::uint8_t, 64> reply{};
    const std::array<std::uint8_t, 4> data = {
        static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
        static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
    EncodeReply(reply, command, data);
    return reply;
}

// The 9-byte head: device type index, ReadMemory count, GetDeviceType count, WriteBlock
// length, flags, version word.
Bytes FrameHead(std::uint8_t typeIndex, std::uint8_t writeLength, std::uint8_t flags) {
    return {typeIndex, 4, 4, writeLength, flags, 0x8A, 0x00, 0x01, 0x00};
}

// One control byte (bits 0-1: replies, bit 2: late) and the replies, for one request.
void Answer(Bytes& out, std::uint8_t control, const std::vector<std::array<std::uint8_t, 64>>& r) {
    out.push_back(control);
    for (const auto& reply : r) Append(out, reply);
}

void FrameReplies(const std::string& dir) {
    // Every primitive acknowledged at its first request; a controller of no CRC type.
    Bytes plain = FrameHead(0, 46, 1);
    Answer(plain, 1, {Ack(CMD_READ_MEMORY, 0x0001008A)});
    Answer(plain, 1, {Ack(CMD_GET_DEVICE_TYPE, 0x1234)});
    Answer(plain, 1, {Ack(CMD_PREPARE)});
    Answer(plain, 1, {Ack(CMD_PREPARE)});
    Answer(plain, 1, {Ack(CMD_WRITE_DATA)});
    Answer(plain, 1, {Ack(CMD_FINISH)});
    Answer(plain, 1, {Ack(CMD_WRITE_INFO)});
    Answer(plain, 1, {Ack(CMD_GET_DEVICE_TYPE, 0x3009)});
    Answer(plain, 1, {Ack(CMD_READ_MEMORY, 0x00020089)});
    Write(dir, "all_acknowledged", plain);

    // A CRC type: the version word's region is prepared (polled) before it is written.
    Bytes crc = FrameHead(2, 4, 0);
    Answer(crc, 1, {Ack(CMD_READ_MEMORY, 0x0001008A)});
    Answer(crc, 1, {Ack(CMD_GET_DEVICE_TYPE, 0x6006)});
    Answer(crc, 1, {Ack(CMD_PREPARE)});
    Answer(crc, 1, {Ack(CMD_PREPARE)});
    Answer(crc, 1, {Ack(CMD_WRITE_INFO)});
    Answer(crc, 1, {Ack(CMD_FINISH)});
    Answer(crc, 1, {Ack(CMD_PREPARE)});
    Answer(crc, 1, {Ack(CMD_WRITE_INFO)});
    Answer(crc, 1, {Ack(CMD_GET_DEVICE_TYPE, 0x6006)});
    Answer(crc, 1, {Ack(CMD_READ_MEMORY, 0xFFFFFFFF)});
    Write(dir, "crc_type_acknowledged", crc);

    // Answers to other commands, late answers and silence.
    Bytes mixed = FrameHead(1, 10, 1);
    Answer(mixed, 3, {Ack(CMD_FINISH), Ack(CMD_PREPARE), Ack(CMD_READ_MEMORY, 7)});
    Answer(mixed, 0, {});
    Answer(mixed, 5, {Ack(CMD_GET_DEVICE_TYPE, 0x3009)});
    Answer(mixed, 2, {Ack(CMD_WRITE_DATA), Ack(CMD_PREPARE)});
    Answer(mixed, 6, {Ack(CMD_WRITE_DATA), Ack(CMD_WRITE_DATA)});
    Write(dir, "others_late_and_silent", mixed);

    Write(dir, "silent", FrameHead(3, 0, 0));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zentrel-fuzz-seeds DIR\n");
        return 2;
    }
    const std::string root = argv[1];
    ::mkdir(root.c_str(), 0755);
    FirmwareFiles(root + "/fuzz_firmware_file");
    StreamMessages(root + "/fuzz_stream_messages");
    FrameReplies(root + "/fuzz_frame_replies");
    return g_Ok ? 0 : 1;
}
