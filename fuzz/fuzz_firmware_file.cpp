// The firmware file reader on arbitrary files: FindImage for several device types, and the
// header read and refusals of SelectFirmware for a message-stream controller and for
// command-frame controllers with and without a CRC device type.
//
// The file format is simple enough to walk in memory, so the walk and the acceptance rules are
// restated here on the input's bytes and every answer of the code on the file is compared with
// them: a wrong offset, an accepted file that cannot hold its image, a box too many or a report
// sent for a refused file are findings, not only crashes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "app/update_dlg.h"
#include "frame/command_frame.h"
#include "fuzz_support.h"
#include "image/firmware_header.h"
#include "stream/message_codec.h"

namespace {

// Two CRC types (the image is looked up by type), 0x3009 (first record) and the type that
// zero-filled headers carry.
constexpr std::uint32_t kLookedUpTypes[] = {0x6006, 0x3010, 0x3009, 0};

struct Controller {
    ProtocolKind protocol;
    std::uint32_t deviceType;
    DeviceInfo info;
};

// Product 0x105 of hardware revisions 1 and 2 is where the minimum-version rule refuses.
constexpr Controller kControllers[] = {
    {ProtocolKind::MessageStream, 0, {0x105, 1}},
    {ProtocolKind::MessageStream, 0, {0x105, 2}},
    {ProtocolKind::CommandFrame, 0x6006, {0, 0}},
    {ProtocolKind::CommandFrame, 0x3009, {0, 0}},
};

std::uint32_t WordAt(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The record walk on the bytes in memory.
std::int32_t ExpectedOffset(std::span<const std::uint8_t> file, std::uint32_t deviceType) {
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    const auto length = static_cast<std::int64_t>(file.size());
    std::int64_t offset = 0;
    while (offset + static_cast<std::int64_t>(kFirmwareHeaderSize) <= length) {
        const std::uint8_t* header = file.data() + offset;
        if (WordAt(header + 12) == deviceType) return static_cast<std::int32_t>(offset);
        offset += static_cast<std::int64_t>(kFirmwareHeaderSize) + WordAt(header + 8);
        if (offset > kLimit) break;
    }
    return -1;
}

bool RefusedByMinimumVersion(std::uint32_t desVersion, std::uint8_t revision) {
    std::uint32_t minimum;
    if (revision <= 1) {
        minimum = 137;
    } else if (revision == 2) {
        minimum = 502;
    } else {
        return false;
    }
    const std::uint32_t version = desVersion & 0xFFFF;
    return version < minimum || (version == minimum && (desVersion >> 16) != 0);
}

enum class Outcome {
    kSilent,         // refused without a box
    kNotRecognized,  // refused with the not-recognised box
    kAccepted,       // confirmed and accepted
};

struct Expectation {
    Outcome outcome;
    std::int32_t offset = 0;
    FirmwareHeader header{};
};

Expectation Expect(std::span<const std::uint8_t> file, const Controller& c) {
    const bool lookedUp =
        c.protocol == ProtocolKind::CommandFrame && CUpdateDlg::IsCrcDeviceType(c.deviceType);
    Expectation e{Outcome::kSilent};
    e.offset = lookedUp ? ExpectedOffset(file, c.deviceType) : 0;
    if (e.offset < 0) return e;
    const auto start = static_cast<std::size_t>(e.offset);
    if (start + kFirmwareHeaderSize > file.size()) {
        e.outcome = Outcome::kNotRecognized;
        return e;
    }
    std::uint8_t bytes[kFirmwareHeaderSize];
    std::copy_n(file.data() + start, kFirmwareHeaderSize, bytes);
    e.header = DecodeFirmwareHeader(bytes);
    if (e.header.imageSize == 0 || file.size() - start - kFirmwareHeaderSize < e.header.imageSize) {
        e.outcome = Outcome::kNotRecognized;
        return e;
    }
    if (c.protocol == ProtocolKind::MessageStream && c.info.productCode == 0x105 &&
        RefusedByMinimumVersion(e.header.desVersion, c.info.hardwareRevision)) {
        return e;
    }
    e.outcome = Outcome::kAccepted;
    return e;
}

// The firmware description in the one report a message-stream acceptance sends.
bool CarriesDescription(const sim::TraceRecord& record, const FirmwareHeader& header) {
    const auto message = MessageInReport(std::span<const std::uint8_t>(record.report + 1, 64));
    const auto frame = DecodeFrame(message);
    if (!frame || frame->type != MSG_COMMAND) return false;
    const auto command = DecodeCommandBody(frame->body);
    if (!command || command->command != SET_FIRMWARE_INFO) return false;
    const auto description = DecodeFirmwareDescription(command->payload);
    return description &&
           *description ==
               FirmwareDescription{header.desVersion, header.imageAddress, header.imageSize};
}

void Plug(test::AppHarness& h) {
    h.bus.Plug(test::kStreamIds, std::make_shared<fuzz::SilentDevice>(), {}, false);
}

fuzz::ScratchFile& Input() {
    static fuzz::ScratchFile file;
    return file;
}

void CheckSelection(fuzz::App& app, std::span<const std::uint8_t> file, const Controller& c) {
    CUpdateDlg& dlg = app.Dlg();
    test::AppHarness& h = app.Harness();
    // A search that finds a controller of this kind sets the protocol; only the selection
    // reads it here, and the controller behind the channels answers nothing either way.
    g_ProtocolKind = c.protocol;
    dlg.m_DeviceType = c.deviceType;
    dlg.m_DeviceInfo = c.info;
    g_TransferState = STATE_IDLE;
    app.ClearBoxes();
    h.bus.ClearTrace();

    const Expectation e = Expect(file, c);
    const bool accepted = dlg.SelectFirmware();

    FUZZ_CHECK(accepted == (e.outcome == Outcome::kAccepted));
    const auto& boxes = app.Boxes();
    switch (e.outcome) {
        case Outcome::kSilent:
            FUZZ_CHECK(boxes.empty());
            break;
        case Outcome::kNotRecognized:
            FUZZ_CHECK(boxes.size() == 1 && boxes[0].type == platform::kMbOk);
            break;
        case Outcome::kAccepted:
            FUZZ_CHECK(boxes.size() == 1 && boxes[0].type == platform::kMbOkCancel);
            break;
    }

    const std::vector<sim::TraceRecord> trace = h.bus.Trace();
    if (!accepted) {
        FUZZ_CHECK(trace.empty());  // nothing reaches the controller for a refused file
        FUZZ_CHECK(g_TransferState == STATE_IDLE);
        return;
    }
    FUZZ_CHECK(dlg.m_HeaderOffset == e.offset);
    FUZZ_CHECK(dlg.m_ImageSize == e.header.imageSize);
    FUZZ_CHECK(dlg.m_ImageAddress == e.header.imageAddress);
    FUZZ_CHECK(dlg.m_FileVersion == e.header.desVersion);
    FUZZ_CHECK(dlg.m_BytesSent == 0);
    FUZZ_CHECK(static_cast<std::uint64_t>(dlg.m_HeaderOffset) + kFirmwareHeaderSize +
                   dlg.m_ImageSize <=
               file.size());
    if (c.protocol == ProtocolKind::MessageStream) {
        FUZZ_CHECK(g_TransferState == STATE_INFO_SENT);
        FUZZ_CHECK(trace.size() == 1 && trace[0].out && CarriesDescription(trace[0], e.header));
    } else {
        // A controller of a CRC type gets the record of its own type.
        if (CUpdateDlg::IsCrcDeviceType(c.deviceType))
            FUZZ_CHECK(dlg.m_Header.deviceType == c.deviceType);
        FUZZ_CHECK(g_TransferState == STATE_IDLE);
        FUZZ_CHECK(trace.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> file(data, size);
    fuzz::ScratchFile& input = Input();
    input.Replace(data, size);

    for (const std::uint32_t type : kLookedUpTypes) {
        FUZZ_CHECK(FindImage(input.Path(), type) == ExpectedOffset(file, type));
    }

    fuzz::App& app = fuzz::TheApp(Plug);
    app.BeginInput();
    app.SetFileAnswer(input.Path());
    app.RunOnUi([&] {
        for (const Controller& c : kControllers) CheckSelection(app, file, c);
        // Back to the state of the window between updates, for the next input.
        g_ProtocolKind = ProtocolKind::MessageStream;
        g_TransferState = STATE_IDLE;
        app.Dlg().m_DeviceType = 0;
    });
    app.EndInput();
    return 0;
}
