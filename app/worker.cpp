// The update worker's life: one at a time, its end handled on the user-interface thread, and
// closing the window held back until it has ended.
#include "app/update_dlg.h"
#include "platform/power.h"

void CUpdateDlg::StartWorker(void (*threadFunction)()) {
    m_WorkerRunning = true;
    // A machine that suspends in the middle of a flash leaves the controller half written.
    platform::GetSleepInhibitor().Acquire(LoadLocalString(TXT_TITLE),
                                          "Firmware update in progress");
    m_WaitAbort = m_Closing ? 1 : 0;
    m_LastOutcome = UpdateOutcome::kNone;
    m_ConnectPending = false;
    const bool started = m_hWorkerThread.Start([this, threadFunction] {
        threadFunction();
        // The dialog stays alive until this has run: it does not close while a worker runs.
        GetWindow()->Post([this] { OnWorkerEnded(); });
    });
    if (!started) {
        // Leave no disabled button behind: refresh it as at a worker's end.
        m_LastOutcome = UpdateOutcome::kFailed;
        g_StopWorker = 1;  // no worker runs
        RefreshUpdateButton();
        OnWorkerEnded();
    }
}

void CUpdateDlg::OnWorkerEnded() {
    m_hWorkerThread.Join();
    platform::GetSleepInhibitor().Release();
    if (m_LastOutcome == UpdateOutcome::kNone) m_LastOutcome = UpdateOutcome::kFailed;
    m_WorkerRunning = false;
    m_WaitAbort = 0;
    if (m_ClosePending) {
        EndDialog(platform::kIdCancel);
    } else if (m_ConnectPending) {
        // A device event during the update found a controller: connect now, so the title
        // shows its version.
        m_ConnectPending = false;
        OnDeviceChange(platform::kDevNodesChanged, nullptr);
    }
    if (m_WorkerEndedHook) m_WorkerEndedHook(m_LastOutcome);
}

void CUpdateDlg::OnDestroy() {
    // Device events must not reach a window that is about to go.
    m_Hid.UnregisterDeviceNotify();
}

bool CUpdateDlg::OnCloseRequest() {
    if (!IsWorkerRunning()) return true;
    // Every wait of the flows is bounded and ends early now, so the worker ends soon.
    m_Closing = true;
    m_WaitAbort = 1;
    m_ClosePending = true;
    return false;
}
