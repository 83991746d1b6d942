#include "image/firmware_header.h"

#include <limits>

#include "platform/file.h"

namespace {

std::uint32_t Word(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutWord(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

FirmwareHeader DecodeFirmwareHeader(const std::uint8_t (&bytes)[kFirmwareHeaderSize]) {
    FirmwareHeader h;
    h.desVersion = Word(bytes + 0);
    h.imageAddress = Word(bytes + 4);
    h.imageSize = Word(bytes + 8);
    h.deviceType = Word(bytes + 12);
    h.spare4 = Word(bytes + 16);
    h.revision = static_cast<std::int32_t>(Word(bytes + 20));
    h.spare6 = Word(bytes + 24);
    return h;
}

void EncodeFirmwareHeader(const FirmwareHeader& header,
                          std::uint8_t (&bytes)[kFirmwareHeaderSize]) {
    PutWord(bytes + 0, header.desVersion);
    PutWord(bytes + 4, header.imageAddress);
    PutWord(bytes + 8, header.imageSize);
    PutWord(bytes + 12, header.deviceType);
    PutWord(bytes + 16, header.spare4);
    PutWord(bytes + 20, static_cast<std::uint32_t>(header.revision));
    PutWord(bytes + 24, header.spare6);
}

std::int32_t FindImage(const std::string& path, std::uint32_t deviceType) {
    platform::File file;
    if (!file.Open(path)) return -1;
    const std::int64_t length = file.Length();
    constexpr std::int64_t kOffsetLimit = std::numeric_limits<std::int32_t>::max();
    // Offsets are 32-bit signed: a file of 2 GiB or more is not a firmware file.
    if (length < 0 || length > kOffsetLimit) return -1;

    std::int64_t offset = 0;
    while (offset < length) {
        std::uint8_t bytes[kFirmwareHeaderSize];
        if (!file.Seek(offset) ||
            file.Read(bytes, sizeof bytes) != static_cast<std::int64_t>(sizeof bytes)) {
            break;  // the file ends inside this header, or cannot be read
        }
        const FirmwareHeader header = DecodeFirmwareHeader(bytes);
        if (header.deviceType == deviceType) return static_cast<std::int32_t>(offset);
        // Every step moves forward by at least a header; past the signed range the walk ends.
        offset += static_cast<std::int64_t>(kFirmwareHeaderSize) + header.imageSize;
        if (offset > kOffsetLimit) break;
    }
    return -1;
}
