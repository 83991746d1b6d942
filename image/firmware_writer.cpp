#include "image/firmware_writer.h"

#include <cstdio>

std::vector<std::uint8_t> BuildFirmwareFile(const std::vector<FirmwareRecord>& records) {
    std::vector<std::uint8_t> out;
    for (const FirmwareRecord& record : records) {
        std::uint8_t header[kFirmwareHeaderSize];
        EncodeFirmwareHeader(record.header, header);
        out.insert(out.end(), header, header + kFirmwareHeaderSize);
        out.insert(out.end(), record.image.begin(), record.image.end());
    }
    return out;
}

FirmwareRecord MakeRecord(std::uint32_t desVersion, std::uint32_t imageAddress,
                          std::uint32_t deviceType, std::vector<std::uint8_t> image,
                          std::int32_t revision) {
    FirmwareRecord record{};
    record.header.desVersion = desVersion;
    record.header.imageAddress = imageAddress;
    record.header.imageSize = static_cast<std::uint32_t>(image.size());
    record.header.deviceType = deviceType;
    record.header.revision = revision;
    record.image = std::move(image);
    return record;
}

std::vector<std::uint8_t> PatternImage(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> out(size);
    std::uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (std::size_t i = 0; i < size; ++i) {
        // xorshift32: cheap, deterministic, and never stuck at zero.
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<std::uint8_t>(x >> 24);
    }
    return out;
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}
