// The reply handling of the command-frame primitives: a controller that answers each request
// with the next replies of the input, while ReadMemory, GetDeviceType, PrepareRegion,
// PrepareRegionPolled, WriteBlock, FinishUpdate, WriteVersionWord and ReadDeviceInfo run in
// turn, in virtual time (their pauses and time-outs cost nothing).
//
// Input: a 9-byte head (device type choice, ReadMemory count, GetDeviceType count, WriteBlock
// length, flags, the version word), then the replies. For each request the controller takes
// one control byte: bits 0-1 the number of replies (0-3), bit 2 set sends each one 15 ms after
// the one before (past the 10 ms read time-out); then that many 64-byte replies. Past the end
// of the input the controller is silent.
//
// Invariants: every result is 0 or 1; a destination keeps its bytes on 0 and on 1 holds the data
// of an acknowledgement of that command, never more than the data of one frame; a 1 is given
// only when the controller did acknowledge that command; the address map follows the device
// type read; every request is a well-formed frame, the writes of a CRC type with their CRC.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "app/update_dlg.h"
#include "frame/address_map.h"
#include "frame/command_frame.h"
#include "fuzz_support.h"

namespace {

constexpr std::uint32_t kDeviceTypes[] = {0, 0x3009, 0x6006, 0x9020, 0x1234, 0x3011};
constexpr std::uint8_t kUntouched = 0xA5;
constexpr std::uint32_t kVersionSentinel = 0x13572468;
constexpr double kLateMs = 15;

using sim::Payload;

class ReplyScript final : public sim::DeviceModel {
public:
    // Set only while the controller is idle (the bus has settled). withCrc: the host's write
    // frames must carry the CRC of their payload.
    void Load(std::vector<std::uint8_t> bytes, bool withCrc) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_WithCrc = withCrc;
        m_Bytes = std::move(bytes);
        m_Pos = 0;
        m_Sent.clear();
        m_BadRequests = 0;
    }

    void OnOutputReport(const Payload& request, sim::ReportSink& sink) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto decoded =
            DecodeRequestFrame(std::span<const std::uint8_t, 64>(request.data(), 64));
        const bool isWrite =
            decoded && (decoded->command == CMD_WRITE_DATA || decoded->command == CMD_WRITE_INFO);
        if (!decoded ||
            (isWrite && m_WithCrc && decoded->length > 0 && !PayloadCrcMatches(*decoded))) {
            ++m_BadRequests;
        }
        if (m_Pos >= m_Bytes.size()) return;
        const std::uint8_t control = m_Bytes[m_Pos++];
        const int count = control & 3;
        const double spacing = (control & 4) != 0 ? kLateMs : 0;
        for (int i = 0; i < count; ++i) {
            Payload reply{};
            const std::size_t n = std::min<std::size_t>(64, m_Bytes.size() - m_Pos);
            std::copy_n(m_Bytes.begin() + static_cast<std::ptrdiff_t>(m_Pos), n, reply.begin());
            m_Pos += n;
            m_Sent.push_back(reply);
            sink.SendInput(reply, spacing * (i + 1));
        }
    }

    // True when a reply sent since Load acknowledges command and, when data is given, carries
    // it from byte 18 on.
    bool Acknowledged(std::uint16_t command, const std::uint8_t* data = nullptr,
                      std::size_t size = 0) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const Payload& reply : m_Sent) {
            const std::span<const std::uint8_t, 64> r(reply.data(), 64);
            if (!IsAcknowledgement(r, command)) continue;
            if (size == 0 || std::memcmp(reply.data() + kReplyDataOffset, data, size) == 0)
                return true;
        }
        return false;
    }

    int BadRequests() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_BadRequests;
    }

private:
    mutable std::mutex m_Mutex;
    bool m_WithCrc = false;
    std::vector<std::uint8_t> m_Bytes;
    std::size_t m_Pos = 0;
    std::vector<Payload> m_Sent;
    int m_BadRequests = 0;
};

std::shared_ptr<ReplyScript>& Controller() {
    static std::shared_ptr<ReplyScript> controller;
    return controller;
}

void Plug(test::AppHarness& h) {
    // A new application gets a new bus, and the controller a new script.
    Controller() = std::make_shared<ReplyScript>();
    h.bus.Plug(test::kFrameIds, Controller(), {}, false);
}

// A destination of exactly count bytes (at least one), all kUntouched.
std::unique_ptr<std::uint8_t[]> Destination(std::uint32_t count) {
    auto d = std::make_unique<std::uint8_t[]>(std::max<std::uint32_t>(count, 1));
    std::memset(d.get(), kUntouched, std::max<std::uint32_t>(count, 1));
    return d;
}

bool AllUntouched(const std::uint8_t* d, std::size_t from, std::size_t to) {
    return std::all_of(d + from, d + to, [](std::uint8_t b) { return b == kUntouched; });
}

using ReadPrimitive = int (*)(CUpdateDlg&, std::uint8_t*, std::uint32_t);

void CheckRead(const ReplyScript& controller, CUpdateDlg& dlg, ReadPrimitive read,
               std::uint16_t command, std::uint32_t count) {
    const auto destination = Destination(count);
    const int result = read(dlg, destination.get(), count);
    FUZZ_CHECK(result == 0 || result == 1);
    const std::size_t copied = std::min(count, kMaxBlock);
    if (result == 0) {
        FUZZ_CHECK(AllUntouched(destination.get(), 0, count));
        return;
    }
    FUZZ_CHECK(controller.Acknowledged(command, destination.get(), copied));
    FUZZ_CHECK(AllUntouched(destination.get(), copied, count));
}

// Takes replies after the input's end and delayed ones, so the next input starts with none.
void Drain(CUpdateDlg& dlg) {
    dlg.m_Hid.SetReadTimeout(static_cast<std::uint32_t>(kLateMs * 4));
    std::uint8_t reply[64];
    for (int i = 0; i < 4096 && dlg.m_Hid.ReadHid(reply, 64) == 0; ++i) {
    }
    dlg.m_Hid.SetReadTimeout(10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader input(data, size);
    const std::uint32_t deviceType = kDeviceTypes[input.Byte() % std::size(kDeviceTypes)];
    const std::uint32_t readCount = input.Byte() % 64;
    const std::uint32_t typeCount = input.Byte() % 64;
    const std::uint32_t writeLength = input.Byte() % 64;
    const std::uint8_t flags = input.Byte();
    const std::uint32_t fileVersion = input.Word();

    fuzz::App& app = fuzz::TheApp(Plug);
    test::AppHarness& h = app.BeginInput();
    h.bus.Settle();
    ReplyScript& controller = *Controller();
    controller.Load(input.Rest(), CUpdateDlg::IsCrcDeviceType(deviceType));

    app.RunOnUi([&] {
        CUpdateDlg& dlg = app.Dlg();
        dlg.m_Hid.SetReadTimeout(10);
        dlg.m_DeviceType = deviceType;
        const AddressMap map = AddressMapFor(deviceType);
        dlg.m_AppBase = map.appBase;
        dlg.m_VersionAddress = map.versionAddress;
        dlg.m_FileVersion = fileVersion;

        CheckRead(
            controller, dlg,
            [](CUpdateDlg& d, std::uint8_t* out, std::uint32_t n) {
                return d.ReadMemory(out, n, d.m_VersionAddress);
            },
            CMD_READ_MEMORY, readCount);
        CheckRead(
            controller, dlg,
            [](CUpdateDlg& d, std::uint8_t* out, std::uint32_t n) {
                return d.GetDeviceType(out, n);
            },
            CMD_GET_DEVICE_TYPE, typeCount);

        int r = dlg.PrepareRegion(dlg.m_AppBase, 0x1000);
        FUZZ_CHECK(r == 0 || (r == 1 && controller.Acknowledged(CMD_PREPARE)));
        r = dlg.PrepareRegionPolled(dlg.m_AppBase, 0x8000);
        FUZZ_CHECK(r == 0 || (r == 1 && controller.Acknowledged(CMD_PREPARE)));

        // The block's bytes in a buffer of exactly the bytes a frame takes from it.
        const bool isData = (flags & 1) != 0;
        const std::uint32_t taken = std::max<std::uint32_t>(1, std::min(writeLength, kMaxBlock));
        const auto block = std::make_unique<std::uint8_t[]>(taken);
        for (std::uint32_t i = 0; i < taken; ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 1);
        r = dlg.WriteBlock(block.get(), dlg.m_AppBase, writeLength, 0x1000, isData);
        FUZZ_CHECK(r == 0 ||
                   (r == 1 && controller.Acknowledged(isData ? CMD_WRITE_DATA : CMD_WRITE_INFO)));

        r = dlg.FinishUpdate();
        FUZZ_CHECK(r == 0 || (r == 1 && controller.Acknowledged(CMD_FINISH)));

        r = dlg.WriteVersionWord();
        FUZZ_CHECK(r == 0 || r == 1);
        if (r == 1) {
            FUZZ_CHECK(controller.Acknowledged(CMD_WRITE_INFO));
            if (CUpdateDlg::IsCrcDeviceType(deviceType))
                FUZZ_CHECK(controller.Acknowledged(CMD_PREPARE));
        }

        g_DeviceVersion = kVersionSentinel;
        dlg.ReadDeviceInfo();
        const AddressMap read =
            dlg.m_DeviceType == 0 ? kDefaultAddressMap : AddressMapFor(dlg.m_DeviceType);
        FUZZ_CHECK(dlg.m_AppBase == read.appBase);
        FUZZ_CHECK(dlg.m_VersionAddress == read.versionAddress);
        if (dlg.m_DeviceType != 0) {
            std::uint8_t type[4];
            for (int i = 0; i < 4; ++i)
                type[i] = static_cast<std::uint8_t>(dlg.m_DeviceType >> (8 * i));
            FUZZ_CHECK(controller.Acknowledged(CMD_GET_DEVICE_TYPE, type, 4));
        }
        const std::uint32_t version = g_DeviceVersion;
        if (version != kVersionSentinel) {
            std::uint8_t word[4];
            for (int i = 0; i < 4; ++i) word[i] = static_cast<std::uint8_t>(version >> (8 * i));
            FUZZ_CHECK(controller.Acknowledged(CMD_READ_MEMORY, word, 4));
        }

        Drain(dlg);
        FUZZ_CHECK(controller.BadRequests() == 0);
        dlg.m_DeviceType = 0;
        g_DeviceVersion = VERSION_PENDING;
    });
    app.EndInput();
    return 0;
}
