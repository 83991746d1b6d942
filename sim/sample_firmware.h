// Sample firmware files for the simulated controllers, made by our own writer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "image/firmware_writer.h"

namespace sim {

// Image bytes with the image's own version word at offset 0x34, where command-frame
// controllers of the default map and of type 0x3009 keep it: writing the version word after the
// image then leaves the flash equal to the image.
std::vector<std::uint8_t> SampleImage(std::size_t size, std::uint32_t version, std::uint32_t seed);

// One record for a message-stream controller.
std::vector<std::uint8_t> SampleStreamFile(std::size_t imageSize, std::uint32_t version);

// For a command-frame controller of `deviceType` (none: type unknown): a file of three records.
// A controller of a CRC type looks its image up by type, so its record comes last; every other
// controller takes the first record, which is then its own.
std::vector<std::uint8_t> SampleFrameFile(std::optional<std::uint32_t> deviceType,
                                          std::size_t imageSize, std::uint32_t version);

// The image bytes that a controller of deviceType gets from a file: the record of that type
// for the CRC types, the first record for every other controller (and for message streams).
std::vector<std::uint8_t> ImageFor(const std::vector<std::uint8_t>& file,
                                   std::optional<std::uint32_t> deviceType);

}  // namespace sim
