#include "hid/hid.h"

#include <cstring>
#include <memory>

#include "platform/debug.h"

std::atomic<ProtocolKind> g_ProtocolKind{ProtocolKind::MessageStream};
std::uint8_t g_OutReport[platform::kReportSize] = {};

const HidMatch* FindMatch(std::uint16_t vendorId, std::uint16_t productId) {
    for (const HidMatch& match : kMatchTable) {
        if (match.vendorId == vendorId && match.productId == productId) return &match;
    }
    return nullptr;
}

CHid::~CHid() {
    UnregisterDeviceNotify();
    CloseChannels();
}

void CHid::UnregisterDeviceNotify() {
    if (m_hDevNotify != 0) platform::Hid().UnregisterNotify(m_hDevNotify);
    m_hDevNotify = 0;
    m_hWndNotify = nullptr;
}

void CHid::CloseChannels() {
    auto& hid = platform::Hid();
    if (m_hWrite != platform::kInvalidHandle) {
        hid.Close(m_hWrite);
        m_hWrite = platform::kInvalidHandle;
    }
    if (m_hRead != platform::kInvalidHandle) {
        hid.Close(m_hRead);
        m_hRead = platform::kInvalidHandle;
    }
}

int CHid::FindDevice() {
    platform::HidHandle handle = platform::kInvalidHandle;
    const int found = SearchDevice(&handle);
    if (m_bNotifyRegistered == 0) {
        RegisterDeviceNotify();
        m_bNotifyRegistered = 1;  // a failed registration is not tried again
    }
    if (found) {
        m_bFound = 1;
        platform::Hid().Close(handle);
        return 1;
    }
    m_bFound = 0;
    return 0;
}

int CHid::SearchDevice(platform::HidHandle* handle) {
    auto& hid = platform::Hid();
    std::unique_ptr<platform::HidInterfaceList> list = hid.ListInterfaces();
    std::size_t capacity = 0;  // 0: the path buffer is not sized
    bool resizedForThisIndex = false;
    for (std::size_t index = 0; list && list->Exists(index);) {
        if (capacity == 0) capacity = list->PathSize(index);
        std::string path;
        if (capacity == 0 || !list->ReadPath(index, capacity, &path)) {
            // Size the buffer afresh for this interface, once; then pass it over, so that an
            // interface whose path cannot be read never holds the search.
            capacity = 0;
            if (!resizedForThisIndex) {
                resizedForThisIndex = true;
                continue;
            }
            resizedForThisIndex = false;
            ++index;
            continue;
        }
        resizedForThisIndex = false;
        const platform::HidHandle h = hid.Open(path, platform::HidAccess::kReadWrite, true);
        if (h == platform::kInvalidHandle) {
            // A controller the user cannot open would otherwise stay invisible: say why.
            std::uint16_t vid = 0, pid = 0;
            if (list->PeekIds(index, &vid, &pid) && FindMatch(vid, pid) != nullptr) {
                platform::DebugPrintf("cannot open %s: %s\n", path.c_str(),
                                      hid.LastOpenError().c_str());
            }
            ++index;
            continue;
        }
        std::uint16_t vid = 0, pid = 0;
        const HidMatch* match = hid.GetAttributes(h, &vid, &pid) ? FindMatch(vid, pid) : nullptr;
        if (match == nullptr) {
            hid.Close(h);
            ++index;
            continue;
        }
        m_DevicePath = path;
        platform::DebugPrintf("m_DevicePath:%s\n", m_DevicePath.c_str());
        g_ProtocolKind = match->kind;
        *handle = h;
        return 1;
    }
    return 0;
}

int CHid::RegisterDeviceNotify() {
    m_hDevNotify = platform::Hid().RegisterNotify(m_hWndNotify);
    return m_hDevNotify != 0 ? 1 : 0;
}

int CHid::OpenDevice() {
    auto& hid = platform::Hid();
    // The caller guarantees that no read is pending on the old channels.
    CloseChannels();
    m_hWrite = hid.Open(m_DevicePath, platform::HidAccess::kWriteOnly, false);
    if (m_hWrite == platform::kInvalidHandle) return 0;
    m_hRead = hid.Open(m_DevicePath, platform::HidAccess::kReadOnly, true);
    if (m_hRead == platform::kInvalidHandle) return 0;
    SetReadTimeout(200);
    return 1;
}

int CHid::WriteHid(const std::uint8_t* data, std::uint8_t length) {
    if (length > 64) length = 64;
    g_OutReport[0] = 0x00;
    std::memcpy(&g_OutReport[1], data, length);
    if (m_hWrite == platform::kInvalidHandle) return 0;
    return platform::Hid().WriteReport(m_hWrite, g_OutReport) ? 1 : 0;
}

std::uint32_t CHid::ReadHid(std::uint8_t* buffer, std::uint8_t length) {
    if (m_hRead == platform::kInvalidHandle) return platform::kWaitAbandoned;
    if (length > 64) length = 64;
    std::uint8_t report[platform::kReportSize] = {};
    const std::uint32_t result = platform::Hid().ReadReport(m_hRead, report, m_ReadTimeout.load());
    if (result == platform::kWaitCompleted && length > 0) std::memcpy(buffer, &report[1], length);
    return result;
}

void CHid::DiscardPendingReports() {
    constexpr int kMaxDiscarded = 64;  // as many as a reader's buffer holds
    if (m_hRead == platform::kInvalidHandle) return;
    for (int i = 0; i < kMaxDiscarded; ++i) {
        std::uint8_t report[platform::kReportSize];
        if (platform::Hid().ReadReport(m_hRead, report, 0) != platform::kWaitCompleted) return;
    }
}
