// The firmware file: a sequence of records, each a 28-byte header followed at once by the
// image bytes it describes. No file header, no count, no padding, no checksum. All words are
// 32-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct FirmwareHeader {
    std::uint32_t desVersion;    // version word of the image (low 16 bits x100, high 16: beta)
    std::uint32_t imageAddress;  // controller flash address of the image
    std::uint32_t imageSize;     // image bytes behind the header
    std::uint32_t deviceType;    // device type code the image is for
    std::uint32_t spare4;        // not read
    std::int32_t revision;       // revision of the image, shown when nonzero
    std::uint32_t spare6;        // not read
};

inline constexpr std::size_t kFirmwareHeaderSize = 28;

// Decodes the 28 bytes of a header.
FirmwareHeader DecodeFirmwareHeader(const std::uint8_t (&bytes)[kFirmwareHeaderSize]);
// Encodes a header into its 28 bytes.
void EncodeFirmwareHeader(const FirmwareHeader& header, std::uint8_t (&bytes)[kFirmwareHeaderSize]);

// The offset of the header of the first record whose deviceType equals deviceType, or -1 when
// there is none or the file cannot be opened. Offsets are 32-bit signed: a file of 2 GiB or more
// lies outside the format and gives -1.
std::int32_t FindImage(const std::string& path, std::uint32_t deviceType);
