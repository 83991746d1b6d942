// The command-frame update: the host leads every step and the controller acknowledges. At
// connection the device type picks the address map and the version word is read; an update
// prepares the image region, writes the image block by block, then the version word, and
// finishes.
#include "app/update_dlg.h"
#include "frame/address_map.h"
#include "frame/command_frame.h"
#include "platform/debug.h"

namespace {

// Failed WriteBlock calls in a row for one block (each waits up to 100 reads) before the update
// gives up on a controller that no longer answers.
constexpr int kMaxBlockAttempts = 5;
constexpr std::uint32_t kCrcPrepareUnit = 32768;  // CRC types erase in whole 32 KiB sectors

std::uint32_t Word(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void CUpdateDlg::ReadDeviceInfo() {
    m_AppBase = kDefaultAddressMap.appBase;
    m_VersionAddress = kDefaultAddressMap.versionAddress;

    std::uint8_t type[4];
    if (GetDeviceType(type, 4)) {
        m_DeviceType = Word(type);
        const AddressMap map = AddressMapFor(m_DeviceType);
        m_AppBase = map.appBase;
        m_VersionAddress = map.versionAddress;
    } else {
        // Unknown for this connection: the map, the CRC and the prepare rules then all follow the
        // same answer, not the code of a controller queried earlier.
        m_DeviceType = 0;
    }

    std::uint8_t version[4];
    if (!ReadMemory(version, 4, m_VersionAddress)) return;
    g_DeviceVersion = Word(version);
    ShowDeviceVersion(g_DeviceVersion);
}

void Usb_FlashThread() {
    CUpdateDlg& dlg = *g_UpdateDlg;
    dlg.RunFlashUpdate();
    dlg.RefreshUpdateButton();
}

void CUpdateDlg::RunFlashUpdate() {
    // Most failures end silently; one that leaves the image half written, or whose controller
    // was pulled out, is told.
    const auto fail = [this](bool tell) {
        m_File.Close();
        m_LastOutcome = UpdateOutcome::kFailed;
        if ((tell || m_WaitAbort != 0) && !IsClosing()) ReportUpdateFailure();
    };

    if (!SelectFirmware()) return;

    const bool crcType = IsCrcDeviceType(m_DeviceType);
    const int prepared =
        crcType ? PrepareRegionPolled(m_ImageAddress, (m_ImageSize + (kCrcPrepareUnit - 1)) &
                                                          ~(kCrcPrepareUnit - 1))
                : PrepareRegion(m_ImageAddress, m_ImageSize);
    if (!prepared) return fail(false);

    if (!m_File.Open(m_FilePath)) return fail(false);

    const std::int64_t dataStart = static_cast<std::int64_t>(m_HeaderOffset) + 28;
    const auto readBlock = [&](std::uint32_t offset) -> std::int64_t {
        if (!m_File.Seek(dataStart + offset)) return -1;
        return m_File.Read(m_Buffer, kMaxBlock);
    };

    std::int64_t blockLength = readBlock(0);
    if (blockLength <= 0) return fail(true);  // the file changed since it was chosen
    std::uint32_t offset = 0;
    SetProgress();

    int attempts = 0;
    do {
        if (m_WaitAbort != 0) return fail(true);
        if (WriteBlock(m_Buffer, m_AppBase + offset, static_cast<std::uint32_t>(blockLength),
                       m_ImageSize, true)) {
            attempts = 0;
            offset += static_cast<std::uint32_t>(blockLength);
            blockLength = readBlock(offset);
            // A read error, or a file that ends before the image does, would never finish.
            if (blockLength < 0 || (blockLength == 0 && offset < m_ImageSize)) return fail(true);
            m_BytesSent += static_cast<std::uint32_t>(blockLength);
            SetProgress();
        } else if (++attempts >= kMaxBlockAttempts) {
            return fail(true);
        }
    } while (offset < m_ImageSize);
    m_File.Close();

    if (!WriteVersionWord()) return fail(false);
    FinishUpdate();  // a controller may restart before it answers
    g_StopWorker = 1;
    ShowUpdateSuccess();
}
