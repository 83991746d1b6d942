// The main window: start-up, device events, the update button and the small operations the
// update flows use to talk to the user.
#include "app/update_dlg.h"

#include <cstring>

#include "app/res/dialog_102.h"
#include "app/res/icon_152.h"
#include "platform/debug.h"

CUpdateDlg* g_UpdateDlg = nullptr;
platform::Control* g_UpdateButton = nullptr;
platform::Control* g_Progress = nullptr;
platform::Control* g_SuccessLabel = nullptr;
platform::Control* g_InfoLabel = nullptr;
std::atomic<int> g_StopWorker{0};
std::atomic<std::uint32_t> g_DeviceVersion{0};
std::atomic<std::uint32_t> g_TransferState{0};

CUpdateDlg::CUpdateDlg()
    : platform::CDialog(UpdateDialogTemplate()),
      m_hIcon(&ApplicationIcon()),
      m_Buffer{},
      m_FileVersion(0),
      m_ImageSize(0),
      m_ImageAddress(0),
      m_BytesSent(0),
      m_HeaderOffset(0),
      m_Header{},
      m_AppBase(0),
      m_VersionAddress(0),
      m_DeviceInfo{},
      m_DeviceType(0) {
    g_UpdateDlg = this;
}

CUpdateDlg::~CUpdateDlg() {
    // The window does not close while a worker runs, so this only collects a finished thread.
    m_hWorkerThread.Join();
    if (g_UpdateDlg == this) g_UpdateDlg = nullptr;
}

bool CUpdateDlg::OnInitDialog() {
    SetIcon(*m_hIcon, true);
    SetIcon(*m_hIcon, false);

    g_UpdateButton = GetDlgItem(IDC_USB_UPDATE);
    g_Progress = GetDlgItem(IDC_PROGRESS);
    g_SuccessLabel = GetDlgItem(IDC_STATIC);
    g_SuccessLabel->ShowWindow(false);
    g_SuccessLabel->SetWindowText(LoadLocalString(TXT_UPGRADED));

    g_InfoLabel = GetDlgItem(IDC_INFO);
    g_InfoLabel->SetWindowText(LoadLocalString(TXT_INSTRUCTIONS));

    g_Progress->SetRange(0, 100);
    g_Progress->SetPos(0);

    std::memset(m_Buffer, 0, sizeof m_Buffer);
    m_FileVersion = 0;
    m_ImageSize = 0;
    m_ImageAddress = 0;
    m_BytesSent = 0;
    m_HeaderOffset = 0;
    m_Header = FirmwareHeader{};

    g_StopWorker = 1;
    g_UpdateButton->SetWindowText(LoadLocalString(TXT_USB_UPDATE));

    m_Hid.m_hWndNotify = GetWindow();
    g_DeviceVersion = VERSION_PENDING;

    if (m_Hid.FindDevice()) {
        g_UpdateButton->EnableWindow(true);
        ConnectDevice();
    } else {
        g_UpdateButton->EnableWindow(false);
    }

    g_TransferState = STATE_IDLE;
    // After the connection: right after start-up the title shows no version.
    SetWindowText(LoadLocalString(TXT_TITLE));
    return true;
}

void CUpdateDlg::OnCommand(int controlId) {
    if (controlId == IDC_USB_UPDATE) OnUsbUpdate();
}

void CUpdateDlg::ConnectDevice() {
    g_DeviceVersion = VERSION_PENDING;
    if (!m_Hid.OpenDevice()) return;
    if (g_ProtocolKind == ProtocolKind::CommandFrame) {
        ReadDeviceInfo();
    } else {
        QueryFirmwareVersion();
    }
}

bool CUpdateDlg::OnDeviceChange(std::uint32_t event, void* /*data*/) {
    const std::uint16_t code = static_cast<std::uint16_t>(event);
    if (code != platform::kDevNodesChanged && code != platform::kDeviceArrival &&
        code != platform::kDeviceRemoveComplete) {
        return true;
    }
    const bool found = m_Hid.FindDevice() != 0;
    const bool updating = IsWorkerRunning();

    if (found) {
        if (code == platform::kDeviceRemoveComplete) return true;
        if (updating) {
            // The worker owns the controller's reports; connect once it has ended.
            m_ConnectPending = true;
            return true;
        }
        g_UpdateButton->EnableWindow(true);
        ConnectDevice();
        return true;
    }

    if (code == platform::kDeviceArrival) return true;
    g_UpdateButton->EnableWindow(false);
    if (code == platform::kDeviceRemoveComplete) {
        platform::DebugOutput(LoadLocalString(TXT_TITLE));
        // No controller is left: the running update's waits end now.
        if (updating) m_WaitAbort = 1;
    }
    SetWindowText(LoadLocalString(TXT_TITLE));
    return true;
}

void CUpdateDlg::OnUsbUpdate() {
    if (IsWorkerRunning()) return;  // one worker at a time, whatever the button shows
    g_SuccessLabel->ShowWindow(false);
    if (!m_Hid.OpenDevice()) return;
    g_StopWorker = 0;
    g_UpdateButton->EnableWindow(false);
    g_Progress->SetPos(0);
    m_WorkerProtocol = g_ProtocolKind.load();
    StartWorker(m_WorkerProtocol == ProtocolKind::CommandFrame ? Usb_FlashThread
                                                               : Usb_UpdateThread);
}

void CUpdateDlg::ShowDeviceVersion(std::uint32_t version) {
    const std::string title = LoadLocalString(TXT_TITLE);
    if (version == VERSION_NONE) {
        MessageBox(platform::Format("%s", LoadLocalString(TXT_INSTRUCTIONS).c_str()), title,
                   platform::kMbOk);
        return;
    }
    const std::uint32_t beta = version >> 16;
    if (beta != 0) {
        SetWindowText(platform::Format("%s(VozeVer V%0.2f beta%u)", title.c_str(),
                                       (version & 0xFFFF) / 100.0, beta));
    } else {
        SetWindowText(platform::Format("%s(VozeVer V%0.2f)", title.c_str(), version / 100.0));
    }
}

void CUpdateDlg::RefreshUpdateButton() {
    // The search runs on the user-interface thread, where device events search too, so the
    // two never change the controller's path at once.
    GetWindow()->RunOnUiThread([this] { g_UpdateButton->EnableWindow(m_Hid.FindDevice() != 0); });
}

void CUpdateDlg::StopUpdate() {
    m_File.Close();
    g_StopWorker = 1;
}

void CUpdateDlg::ReportUpdateFailure() {
    StopUpdate();
    m_LastOutcome = UpdateOutcome::kFailed;
    MessageBox(platform::Format("%s\n", LoadLocalString(TXT_UPDATE_FAILED).c_str()),
               LoadLocalString(TXT_TITLE), platform::kMbOk);
    if (m_Hid.m_bFound) g_UpdateButton->EnableWindow(true);
}

void CUpdateDlg::ShowUpdateSuccess() {
    m_LastOutcome = UpdateOutcome::kSucceeded;
    MessageBox(platform::Format("\n %s \n", LoadLocalString(TXT_UPGRADED).c_str()),
               LoadLocalString(TXT_TITLE), platform::kMbOk);
    g_SuccessLabel->ShowWindow(true);
    g_Progress->SetPos(0);
}

void CUpdateDlg::SetProgress() {
    // 32-bit unsigned arithmetic: the product wraps above 42,949,672 bytes, as it always has.
    // An image of no bytes shows 0 rather than dividing by zero.
    const std::uint32_t product = m_BytesSent * 100u;
    const std::uint32_t position = m_ImageSize == 0 ? 0 : product / m_ImageSize;
    g_Progress->SetPos(static_cast<int>(position));
}
