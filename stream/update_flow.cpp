// The message-stream update: the controller leads, the host answers. The version query at
// connection and the worker of an update share one receive step and one message handler.
#include <cerrno>
#include <span>

#include "app/update_dlg.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "stream/message_codec.h"
#include "stream/message_senders.h"

namespace {

// A controller that never answers the version query must not freeze the window for longer.
constexpr platform::Millis kVersionQueryLimitMs = 2000;
// A controller silent for this long during an update has gone; the time the user spends in the
// file dialog and the confirmation does not count.
constexpr platform::Millis kSilenceLimitMs = 5000;
constexpr std::uint32_t kFirmwareTypeUpdatable = 1;
constexpr std::uint32_t kFirmwareTypeUpdatableAlt = 200;
constexpr std::int64_t kImageDataStart = 28;  // behind the file's first header

}  // namespace

std::uint32_t CUpdateDlg::ReceiveStep() {
    const std::uint32_t result = m_Hid.ReadHid(g_InMessage, 64);
    if (result == 0) {
        platform::DebugPrintf(" %d Bytes received from sender\n", g_InMessage[0]);
        OnMessage(g_InMessage + 1);
        return result;
    }
    platform::DebugPrintf("recv() failed with error code 0x%x\n", result);
    SendShortMessage(MSG_READ_FAILED, 0);
    // A read that failed at once (controller gone) waits out its time-out, so the loops
    // never spin.
    if (result != platform::kWaitTimeout) {
        platform::GetClock().Sleep(m_Hid.m_ReadTimeout.load(), &m_WaitAbort);
    }
    return result;
}

void CUpdateDlg::QueryFirmwareVersion() {
    SendFirmwarePacket(GET_FIRMWARE_VERSION, nullptr, 0);
    platform::Clock& clock = platform::GetClock();
    const platform::Millis start = clock.Now();
    do {
        ReceiveStep();
    } while (g_DeviceVersion == VERSION_PENDING && clock.Now() - start < kVersionQueryLimitMs &&
             !IsClosing());
}

void Usb_UpdateThread() {
    CUpdateDlg& dlg = *g_UpdateDlg;
    errno = 0;  // a write refused without a system call leaves no error code of its own
    const int sent = SendShortMessage(MSG_START, 0);
    if (sent == 0) {
        platform::DebugPrintf("send() failed with error code %d\n", errno);
        dlg.RefreshUpdateButton();  // leave no disabled button behind
        return;
    }
    platform::DebugOutput("send() is OK!\n");
    platform::DebugPrintf("Bytes Sent: %d\n", sent);

    platform::Clock& clock = platform::GetClock();
    platform::Millis lastHeard = clock.Now();
    do {
        const std::uint32_t result = dlg.ReceiveStep();
        if (result == 0) lastHeard = clock.Now();  // after the handler: dialogs excluded
        if (g_StopWorker != 0) break;
        const bool linkBroken = result != 0 && result != platform::kWaitTimeout;
        if (dlg.IsClosing()) {
            dlg.StopUpdate();
        } else if (linkBroken || dlg.WaitAbort() != 0 ||
                   clock.Now() - lastHeard >= kSilenceLimitMs) {
            // Gone, or silent for too long: the controller will not finish this update.
            dlg.ReportUpdateFailure();
        }
    } while (g_StopWorker == 0);

    dlg.RefreshUpdateButton();
    platform::DebugOutput("Exit Usb_UpdateThread\n");
}

void CUpdateDlg::OnMessage(const std::uint8_t* frame) {
    const ReceivedFrame received = ParseReceivedFrame(std::span(frame, 63));
    if (received.kind == ReceivedKind::Command) {
        OnCommandMessage(frame + kCommandOffset);
        return;
    }
    if (received.kind != ReceivedKind::DeviceInfo) return;

    g_FirmwareType = received.description.firmwareType;
    m_DeviceInfo.hardwareRevision = received.description.hardwareRevision;
    m_DeviceInfo.productCode = received.description.productCode;
    platform::DebugPrintf("firmware type %d\n", static_cast<int>(g_FirmwareType.load()));

    if (g_FirmwareType == kFirmwareTypeUpdatable || g_FirmwareType == kFirmwareTypeUpdatableAlt) {
        if (!SelectFirmware()) g_StopWorker = 1;
        return;
    }
    StopUpdate();
    const std::string text = platform::Format("%s\n", LoadLocalString(TXT_BOOT_MODE).c_str());
    platform::DebugOutput(text);
    MessageBox(text, LoadLocalString(TXT_TITLE), platform::kMbOk);
}

void CUpdateDlg::OnCommandMessage(const std::uint8_t* body) {
    // body views frame bytes 4..62 of the receive area.
    const ReceivedCommand command = ParseCommandBody(std::span(body, 63 - kCommandOffset));
    if (!command.valid) return;

    switch (command.command) {
        case GET_FIRMWARE_VERSION:
            g_DeviceVersion = command.version;
            platform::DebugPrintf("cur_devVersion 0x%x\n", command.version);
            ShowDeviceVersion(command.version);
            return;
        case FIRMWARE_FAIL:
        case FIRMWARE_ERROR:
            ReportUpdateFailure();
            return;
        case FIRMWARE_DATA_REQ:
            break;
        default:
            return;
    }

    switch (g_TransferState.load()) {
        case STATE_INFO_SENT: {
            if (!m_File.Open(m_FilePath)) return;  // the next request tries again
            g_TransferState = STATE_SENDING;
            const std::int64_t n = m_File.Seek(kImageDataStart) ? m_File.Read(m_Buffer, 32) : -1;
            if (n < 0) {
                ReportUpdateFailure();
                return;
            }
            SendFirmwareData(m_Buffer, static_cast<std::int32_t>(n));
            platform::DebugPrintf("update file is 0x%x\n", m_ImageSize);
            m_BytesSent += static_cast<std::uint32_t>(n);
            return;
        }
        case STATE_SENDING: {
            // A stopped or failed update can leave this state behind with the file closed.
            const std::int64_t n = m_File.IsOpen() ? m_File.Read(m_Buffer, 32) : -1;
            if (n < 0) {
                ReportUpdateFailure();
                return;
            }
            // A file that ends before the image does (it changed since it was chosen) would
            // answer every request with an empty message and never finish.
            if (n == 0 && m_BytesSent < m_ImageSize) {
                ReportUpdateFailure();
                return;
            }
            SendFirmwareData(m_Buffer, static_cast<std::int32_t>(n));
            m_BytesSent += static_cast<std::uint32_t>(n);
            platform::DebugPrintf("\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n\n",
                                  static_cast<int>(n), m_BytesSent);
            SetProgress();
            if (m_BytesSent >= m_ImageSize) {
                m_File.Close();
                platform::DebugOutput("update successful\n");
                g_TransferState = STATE_IDLE;
                g_UpdateButton->EnableWindow(true);
            }
            return;
        }
        case STATE_IDLE:
            SendFirmwarePacket(SET_FIRMWARE_END, nullptr, 0);
            g_StopWorker = 1;
            ShowUpdateSuccess();
            return;
        default:
            return;  // before the window's initialisation has ended
    }
}
