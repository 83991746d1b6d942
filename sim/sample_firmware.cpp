#include "sim/sample_firmware.h"

#include <algorithm>

#include "app/update_dlg.h"
#include "frame/address_map.h"

namespace sim {

namespace {

constexpr std::size_t kVersionOffsetInImage = 0x34;
constexpr std::uint32_t kOtherTypes[] = {0x5111, 0x3009, 0x6006, 0x1234};

std::uint32_t Word(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

}  // namespace

std::vector<std::uint8_t> SampleImage(std::size_t size, std::uint32_t version, std::uint32_t seed) {
    std::vector<std::uint8_t> image = PatternImage(size, seed);
    for (std::size_t i = 0; i < 4 && kVersionOffsetInImage + i < size; ++i) {
        image[kVersionOffsetInImage + i] = static_cast<std::uint8_t>(version >> (8 * i));
    }
    return image;
}

std::vector<std::uint8_t> SampleStreamFile(std::size_t imageSize, std::uint32_t version) {
    return BuildFirmwareFile(
        {MakeRecord(version, 0x08004000, 0, SampleImage(imageSize, version, 1))});
}

std::vector<std::uint8_t> SampleFrameFile(std::optional<std::uint32_t> deviceType,
                                          std::size_t imageSize, std::uint32_t version) {
    std::vector<FirmwareRecord> records;
    std::uint32_t seed = 10;
    const auto add = [&](std::uint32_t type) {
        const AddressMap map = AddressMapFor(type);
        records.push_back(
            MakeRecord(version, map.appBase, type, SampleImage(imageSize, version, seed++)));
    };
    // Controllers of the CRC types look their image up by type, so theirs comes last; every
    // other controller takes the first record, so theirs comes first.
    const bool lookedUp = deviceType && CUpdateDlg::IsCrcDeviceType(*deviceType);
    if (!lookedUp) add(deviceType.value_or(0));
    for (std::uint32_t other : kOtherTypes) {
        if ((!deviceType || other != *deviceType) && records.size() < 3) add(other);
    }
    if (lookedUp) add(*deviceType);
    return BuildFirmwareFile(records);
}

std::vector<std::uint8_t> ImageFor(const std::vector<std::uint8_t>& file,
                                   std::optional<std::uint32_t> deviceType) {
    const bool lookedUp = deviceType && CUpdateDlg::IsCrcDeviceType(*deviceType);
    std::size_t offset = 0;
    std::size_t first = SIZE_MAX;
    while (offset + kFirmwareHeaderSize <= file.size()) {
        const std::uint32_t size = Word(file, offset + 8);
        const std::uint32_t type = Word(file, offset + 12);
        const std::size_t start = offset + kFirmwareHeaderSize;
        if (first == SIZE_MAX) first = offset;
        if (lookedUp && type == *deviceType) {
            const std::size_t end = std::min(file.size(), start + size);
            return {file.begin() + static_cast<std::ptrdiff_t>(start),
                    file.begin() + static_cast<std::ptrdiff_t>(end)};
        }
        offset = start + size;
    }
    if (first == SIZE_MAX) return {};
    const std::size_t start = first + kFirmwareHeaderSize;
    const std::size_t end = std::min(file.size(), start + Word(file, first + 8));
    return {file.begin() + static_cast<std::ptrdiff_t>(start),
            file.begin() + static_cast<std::ptrdiff_t>(end)};
}

}  // namespace sim
