// Writes firmware files: one or several records, any header words, any payload bytes. Used by
// the tests and by the simulator's sample files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/firmware_header.h"

struct FirmwareRecord {
    FirmwareHeader header;
    std::vector<std::uint8_t> image;  // written as it stands, whatever header.imageSize says
};

// The bytes of a file made of the records, back to back.
std::vector<std::uint8_t> BuildFirmwareFile(const std::vector<FirmwareRecord>& records);

// A record whose imageSize is the length of image.
FirmwareRecord MakeRecord(std::uint32_t desVersion, std::uint32_t imageAddress,
                          std::uint32_t deviceType, std::vector<std::uint8_t> image,
                          std::int32_t revision = 0);

// Deterministic image bytes for tests and samples (not all equal, no zero runs).
std::vector<std::uint8_t> PatternImage(std::size_t size, std::uint32_t seed);

// Writes bytes to path; false on error.
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
