// The received-frame handling of the message stream: OnMessage on arbitrary input reports, in
// every transfer state.
//
// Input: byte 0 picks the transfer state (0, STATE_INFO_SENT, STATE_SENDING, STATE_IDLE),
// byte 1 the firmware file the selection is given (low four bits) and how many chunks were
// already sent (high four bits; for STATE_IDLE, 0 means none since the window started); every 64
// bytes after them are one input report (count byte, then the 63 frame bytes), handled in order. A
// description of an updatable controller runs the whole selection: the file dialog answers with the
// chosen file and every box is answered OK, so nothing waits; the version query is not involved.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/update_dlg.h"
#include "fuzz_support.h"
#include "image/firmware_writer.h"
#include "platform/debug.h"
#include "sim/sample_firmware.h"
#include "stream/message_codec.h"
#include "stream/message_senders.h"

namespace {

constexpr std::uint32_t kStates[] = {0, STATE_INFO_SENT, STATE_SENDING, STATE_IDLE};
constexpr int kMaxReports = 32;

struct FirmwareChoice {
    std::optional<fuzz::ScratchFile> file;  // none: a path where no file is
    FirmwareHeader header{};
};

// Small files of the kinds an update meets, made by our own writer.
std::vector<FirmwareRecord> ChoiceRecords(int index) {
    switch (index) {
        case 0:  // four chunks, accepted by every controller
            return {MakeRecord(600, 0x08004000, 0, sim::SampleImage(100, 600, 1))};
        case 1:  // one whole chunk; 1.37 beta 1 is below the minimum of product 0x105
            return {MakeRecord(0x00010089, 0x08004000, 0, PatternImage(32, 2))};
        case 2:  // one byte, followed by another record the transfer must not send
            return {MakeRecord(502, 0x08004000, 0, PatternImage(1, 3)),
                    MakeRecord(503, 0x08004000, 0x6006, PatternImage(40, 4))};
        default: {  // a header that claims more than the file holds
            FirmwareRecord r = MakeRecord(600, 0x08004000, 0, PatternImage(10, 5));
            r.header.imageSize = 100;
            return {r};
        }
    }
}

constexpr int kChoices = 5;  // the four files above and a missing one

// Written once; removed at exit.
std::array<FirmwareChoice, kChoices>& Choices() {
    static std::array<FirmwareChoice, kChoices> choices;
    static const bool written = [] {
        for (int i = 0; i < kChoices - 1; ++i) {
            const std::vector<FirmwareRecord> records = ChoiceRecords(i);
            choices[i].file.emplace(BuildFirmwareFile(records));
            choices[i].header = records[0].header;
        }
        return true;
    }();
    (void)written;
    return choices;
}

std::string PathOf(int index) {
    const FirmwareChoice& choice = Choices()[index];
    return choice.file ? choice.file->Path() : "/nonexistent/zentrel-fuzz/missing.dat";
}

void Plug(test::AppHarness& h) {
    h.bus.Plug(test::kStreamIds, std::make_shared<fuzz::SilentDevice>(), {}, false);
}

// Puts the dialog where an update stands in state: as SelectFirmware leaves it for
// STATE_INFO_SENT, as the first data request leaves it for STATE_SENDING (some chunks later),
// and for STATE_IDLE either as the window's start leaves it (chunksDone 0: nothing chosen or
// sent yet) or as the last chunk does.
void Arrange(CUpdateDlg& dlg, std::uint32_t state, int choice, int chunksDone) {
    const bool fresh = state == STATE_IDLE && chunksDone == 0;
    const FirmwareHeader header = fresh ? FirmwareHeader{} : Choices()[choice].header;
    dlg.m_File.Close();
    dlg.m_FilePath = PathOf(choice);
    dlg.m_Header = header;
    dlg.m_ImageSize = header.imageSize;
    dlg.m_ImageAddress = header.imageAddress;
    dlg.m_FileVersion = header.desVersion;
    dlg.m_HeaderOffset = 0;
    dlg.m_DeviceInfo = {};
    dlg.m_BytesSent = 0;
    if (state == STATE_SENDING) {
        const std::uint32_t chunks = std::max<std::uint32_t>(1, (header.imageSize + 31) / 32);
        dlg.m_BytesSent = 32 * std::min<std::uint32_t>(chunks, 1 + chunksDone);
        // A missing file leaves the state with the file closed, as a stopped update does.
        if (dlg.m_File.Open(dlg.m_FilePath)) dlg.m_File.Seek(28 + dlg.m_BytesSent);
    } else if (state == STATE_IDLE) {
        dlg.m_BytesSent = header.imageSize;
    }
    g_TransferState = state;
    g_StopWorker = 0;  // an update is running
    g_DeviceVersion = VERSION_PENDING;
    g_FirmwareType = 0;
}

// ZENTREL_FUZZ_STRICT=1 also requires that success is told only once this update has sent a
// whole image. Off by default: a data request in STATE_IDLE before any transfer (a controller
// that answers MSG_START with one) is still told as a success.
bool StrictSuccess() {
    static const bool strict = [] {
        const char* value = std::getenv("ZENTREL_FUZZ_STRICT");
        return value != nullptr && std::string(value) == "1";
    }();
    return strict;
}

bool LegalStep(std::uint32_t before, std::uint32_t after) {
    if (before == after || after == STATE_INFO_SENT) return true;  // a selection may restart
    return (before == STATE_INFO_SENT && after == STATE_SENDING) ||
           (before == STATE_SENDING && after == STATE_IDLE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader input(data, size);
    const std::uint32_t state = kStates[input.Byte() % 4];
    const std::uint8_t fileByte = input.Byte();
    const int choice = (fileByte & 0x0F) % kChoices;
    const int chunksDone = fileByte >> 4;

    fuzz::App& app = fuzz::TheApp(Plug);
    app.BeginInput();
    app.SetFileAnswer(PathOf(choice));
    app.RunOnUi([&] {
        CUpdateDlg& dlg = app.Dlg();
        const std::string success =
            platform::Format("\n %s \n", dlg.LoadLocalString(TXT_UPGRADED).c_str());
        Arrange(dlg, state, choice, chunksDone);

        // Exactly the bytes of one report, so that a read past them is caught.
        const auto report = std::make_unique<std::uint8_t[]>(64);
        for (int i = 0; i < kMaxReports && input.Chunk(report.get(), 64); ++i) {
            const std::uint32_t before = g_TransferState;
            app.ClearBoxes();
            dlg.OnMessage(report.get() + 1);
            const std::uint32_t after = g_TransferState;

            FUZZ_CHECK(after <= STATE_IDLE);
            FUZZ_CHECK(LegalStep(before, after));
            if (before == STATE_SENDING && after == STATE_IDLE) {
                FUZZ_CHECK(dlg.m_BytesSent >= dlg.m_ImageSize);
                FUZZ_CHECK(!dlg.m_File.IsOpen());
            }
            // The file is open only between the first data request and the last chunk.
            if (dlg.m_File.IsOpen()) {
                FUZZ_CHECK(after == STATE_SENDING || after == STATE_INFO_SENT);
            }
            // Success is told only for the request that follows the last chunk.
            for (const platform::BoxRequest& box : app.Boxes()) {
                if (box.text != success) continue;
                FUZZ_CHECK(before == STATE_IDLE);
                if (StrictSuccess()) {
                    FUZZ_CHECK(dlg.m_ImageSize > 0 && dlg.m_BytesSent >= dlg.m_ImageSize);
                }
            }
        }

        // Between updates again, for the next input.
        dlg.m_File.Close();
        g_TransferState = STATE_IDLE;
        g_StopWorker = 1;
    });
    app.EndInput();
    return 0;
}
