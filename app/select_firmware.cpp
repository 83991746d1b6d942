// Firmware selection and acceptance: the user picks a file, the program finds the controller's
// image in it, applies its rules, asks for confirmation and fills the transfer bookkeeping.
#include "app/update_dlg.h"
#include "platform/debug.h"

namespace {

// The oldest image versions (x100) that controllers of product 0x105 still accept.
constexpr std::uint16_t kRuledProductCode = 0x105;
constexpr std::uint32_t kMinVersionEarlyRevisions = 137;  // hardware revisions 0 and 1
constexpr std::uint32_t kMinVersionRevision2 = 502;
constexpr std::uint32_t kAcceptedReadTimeoutMs = 10;

// True when the minimum-version rule refuses the image.
bool BelowMinimumVersion(std::uint32_t desVersion, std::uint8_t hardwareRevision) {
    std::uint32_t minimum;
    if (hardwareRevision <= 1) {
        minimum = kMinVersionEarlyRevisions;
    } else if (hardwareRevision == 2) {
        minimum = kMinVersionRevision2;
    } else {
        return false;
    }
    const std::uint32_t version = desVersion & 0xFFFF;
    const std::uint32_t beta = desVersion >> 16;
    return version < minimum || (version == minimum && beta != 0);
}

std::string ConfirmationText(const std::string& lead, std::uint32_t deviceVersion,
                             std::int32_t revision) {
    const double version = (deviceVersion & 0xFFFF) / 100.0;
    const unsigned beta = deviceVersion >> 16;
    if (beta == 0 && revision == 0) return platform::Format("%s %.02f\n", lead.c_str(), version);
    if (revision == 0) return platform::Format("%s %.02f beta%u\n", lead.c_str(), version, beta);
    if (beta == 0) return platform::Format("%s %.02f r%d\n", lead.c_str(), version, revision);
    return platform::Format("%s %.02f beta%u r%d\n", lead.c_str(), version, beta, revision);
}

}  // namespace

bool CUpdateDlg::SelectFirmware() {
    const std::string title = LoadLocalString(TXT_TITLE);

    platform::FileDialogRequest request;
    request.filter = LoadLocalString(TXT_FILE_TYPE) + "(*.dat)|*.dat||";
    request.defaultExtension = "*.*";
    request.initialDirectory = platform::CurrentDirectory();
    request.flags = platform::kOfnHideReadOnly | platform::kOfnOverwritePrompt;
    std::string chosen;
    if (!GetWindow()->OpenFileDialog(request, &chosen)) return false;
    m_FilePath = chosen;

    // Command-frame controllers of the CRC types get their own image out of a file of several;
    // every other controller takes the first record.
    const bool ruledByDeviceType =
        CurrentProtocol() == ProtocolKind::CommandFrame && IsCrcDeviceType(m_DeviceType);
    std::int32_t offset = 0;
    if (ruledByDeviceType) {
        offset = FindImage(m_FilePath, m_DeviceType);
        if (offset < 0) return false;
    }

    platform::File file;
    if (!file.Open(m_FilePath)) return false;
    std::uint8_t bytes[kFirmwareHeaderSize];
    const bool headerRead = file.Seek(offset) && file.Read(bytes, sizeof bytes) ==
                                                     static_cast<std::int64_t>(sizeof bytes);
    const std::int64_t fileLength = file.Length();
    file.Close();

    const auto refuseAsNotRecognized = [&] {
        MessageBox(platform::Format("%s\n", LoadLocalString(TXT_NOT_RECOGNIZED).c_str()), title,
                   platform::kMbOk);
        return false;
    };
    // A header cut short would leave the previous file's words in place.
    if (!headerRead) return refuseAsNotRecognized();

    m_Header = DecodeFirmwareHeader(bytes);
    m_ImageAddress = m_Header.imageAddress;
    m_ImageSize = m_Header.imageSize;
    m_HeaderOffset = offset;
    m_BytesSent = 0;

    // A file that cannot hold the image its header claims would send stale data or never end.
    const std::int64_t imageEnd = static_cast<std::int64_t>(offset) +
                                  static_cast<std::int64_t>(kFirmwareHeaderSize) + m_ImageSize;
    constexpr std::int64_t kFormatLimit = 0x7FFFFFFF;  // offsets are 32-bit signed
    if (m_ImageSize == 0 || fileLength < imageEnd || fileLength > kFormatLimit) {
        return refuseAsNotRecognized();
    }

    if (CurrentProtocol() == ProtocolKind::MessageStream &&
        m_DeviceInfo.productCode == kRuledProductCode &&
        BelowMinimumVersion(m_Header.desVersion, m_DeviceInfo.hardwareRevision)) {
        return false;
    }

    const std::string text =
        ConfirmationText(LoadLocalString(TXT_FW_VERSION), g_DeviceVersion, m_Header.revision);
    if (MessageBox(text, title, platform::kMbOkCancel) != platform::kIdOk) {
        platform::DebugOutput("MessageBox == IDCANCEL\n");
        return false;
    }

    if (ruledByDeviceType && !IsCrcDeviceType(m_Header.deviceType)) {
        return refuseAsNotRecognized();
    }

    m_Hid.SetReadTimeout(kAcceptedReadTimeoutMs);
    m_FileVersion = m_Header.desVersion;
    if (CurrentProtocol() == ProtocolKind::MessageStream) {
        g_TransferState = STATE_INFO_SENT;
        SendFirmwareInfo();
        platform::DebugPrintf("desVersion is %d\n", static_cast<int>(m_Header.desVersion));
    }
    return true;
}
