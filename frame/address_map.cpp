#include "frame/address_map.h"

#include "app/update_dlg.h"

AddressMap AddressMapFor(std::optional<std::uint32_t> deviceType) {
    if (!deviceType) return kDefaultAddressMap;
    if (*deviceType == 0x3009) return kType3009AddressMap;
    if (CUpdateDlg::IsCrcDeviceType(*deviceType)) return kCrcTypeAddressMap;
    return kDefaultAddressMap;
}
