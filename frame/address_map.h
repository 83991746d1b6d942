// Where a command-frame controller keeps its application image and its version word, by the
// device type it reports.
#pragma once

#include <cstdint>
#include <optional>

struct AddressMap {
    std::uint32_t appBase;         // first byte of the application image
    std::uint32_t versionAddress;  // the 32-bit version word
};

// The default map: a controller whose type is unknown or not named below.
inline constexpr AddressMap kDefaultAddressMap{0x08014000, 0x08014034};
inline constexpr AddressMap kType3009AddressMap{0x08003400, 0x08003434};
inline constexpr AddressMap kCrcTypeAddressMap{0x01018000, 0x01017040};

// The map of a device type code; std::nullopt (type not read) gives the default map.
AddressMap AddressMapFor(std::optional<std::uint32_t> deviceType);
