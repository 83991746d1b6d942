// CUpdateDlg: the main window and nearly all of the updater's logic.
//
// The dialog owns the controller link and the update bookkeeping, reacts to controller arrival
// and removal, starts one worker thread per update and offers the small operations through
// which the update flows talk to the user. Its members live beside the subsystem they belong
// to: app/ (window, texts, firmware selection), stream/ (message stream), frame/ (command
// frames).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/res/text_index.h"
#include "hid/hid.h"
#include "image/firmware_header.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "platform/toolkit.h"

// The controller's version word: low 16 bits the version times 100, high 16 bits a beta number.
inline constexpr std::uint32_t VERSION_PENDING = 0x5A5A5A5A;  // none read since connecting
inline constexpr std::uint32_t VERSION_NONE = 0xFFFFFFFF;     // no valid application firmware

// Message-stream transfer states; 0 until the window's initialisation has ended.
inline constexpr std::uint32_t STATE_INFO_SENT = 1;
inline constexpr std::uint32_t STATE_SENDING = 2;
inline constexpr std::uint32_t STATE_IDLE = 3;

struct DeviceInfo {
    std::uint16_t productCode;
    std::uint8_t hardwareRevision;
};

class CUpdateDlg;

// Shared with the worker threads. Atomic so that the threads' reads and writes are well defined.
extern CUpdateDlg* g_UpdateDlg;
extern platform::Control* g_UpdateButton;
extern platform::Control* g_Progress;
extern platform::Control* g_SuccessLabel;
extern platform::Control* g_InfoLabel;
extern std::atomic<int> g_StopWorker;
extern std::atomic<std::uint32_t> g_DeviceVersion;
extern std::atomic<std::uint32_t> g_TransferState;

// How the last update ended, for unattended runs and tests.
enum class UpdateOutcome { kNone, kSucceeded, kFailed };

class CUpdateDlg : public platform::CDialog {
public:
    CUpdateDlg();
    ~CUpdateDlg() override;

    // --- Window (app/update_dlg.cpp) ---
    bool OnInitDialog() override;
    void OnCommand(int controlId) override;
    bool OnDeviceChange(std::uint32_t event, void* data) override;
    bool OnCloseRequest() override;
    void OnDestroy() override;
    const platform::Icon* OnQueryDragIcon() const { return m_hIcon; }

    void OnUsbUpdate();
    void ConnectDevice();
    void ShowDeviceVersion(std::uint32_t version);
    void RefreshUpdateButton();
    void StopUpdate();
    void ReportUpdateFailure();
    void ShowUpdateSuccess();
    void SetProgress();

    // --- Texts (app/local_string.cpp) ---
    std::string LoadLocalString(int index) const;

    // --- Firmware selection (app/select_firmware.cpp) ---
    bool SelectFirmware();

    // --- Message stream (stream/) ---
    int SendFirmwareInfo();
    int SendFirmwareData(const std::uint8_t* data, std::int32_t length);
    void QueryFirmwareVersion();
    void OnMessage(const std::uint8_t* frame);
    void OnCommandMessage(const std::uint8_t* body);
    // The body of the worker's and the version query's receive loops; the read's result.
    std::uint32_t ReceiveStep();

    // --- Command frames (frame/) ---
    static std::uint16_t Crc16(const std::uint8_t* bytes, std::int32_t count);
    static bool IsCrcDeviceType(std::uint32_t deviceType);
    int SendCommandFrame(const std::uint8_t* payload, std::uint32_t length, std::uint32_t address,
                         std::uint32_t size, std::uint16_t command, bool withCrc);
    int ReadMemory(std::uint8_t* destination, std::uint32_t count, std::uint32_t address);
    int GetDeviceType(std::uint8_t* destination, std::uint32_t count);
    int PrepareRegion(std::uint32_t address, std::uint32_t size);
    int PrepareRegionPolled(std::uint32_t address, std::uint32_t size);
    int WriteBlock(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                   std::uint32_t size, bool isData);
    int FinishUpdate();
    int WriteVersionWord();
    void ReadDeviceInfo();
    // The body of Usb_FlashThread.
    void RunFlashUpdate();

    // --- Workers (app/worker.cpp) ---
    bool IsWorkerRunning() const { return m_WorkerRunning.load(); }
    // The protocol of the controller being updated: fixed when the worker starts, so that a
    // search made by a device event during the update cannot change it under the worker.
    ProtocolKind CurrentProtocol() const {
        return IsWorkerRunning() ? m_WorkerProtocol.load() : g_ProtocolKind.load();
    }
    // Called on the user-interface thread whenever a worker has ended; tests and unattended
    // runs use it.
    void SetWorkerEndedHook(std::function<void(UpdateOutcome)> hook) {
        m_WorkerEndedHook = std::move(hook);
    }
    UpdateOutcome LastOutcome() const { return m_LastOutcome.load(); }
    // Nonzero while waits of the flows must end early: the program is closing, or the
    // controller of the running update was removed.
    const std::atomic<int>& WaitAbort() const { return m_WaitAbort; }
    bool IsClosing() const { return m_Closing.load(); }

    // Members, in the order of the original dialog.
    CHid m_Hid;
    const platform::Icon* m_hIcon;
    std::uint8_t m_Buffer[128];
    std::uint32_t m_FileVersion;
    std::uint32_t m_ImageSize;
    std::uint32_t m_ImageAddress;
    std::uint32_t m_BytesSent;
    std::int32_t m_HeaderOffset;
    FirmwareHeader m_Header;
    std::string m_FilePath;
    platform::Thread m_hWorkerThread;
    platform::File m_File;
    std::uint32_t m_AppBase;
    std::uint32_t m_VersionAddress;
    DeviceInfo m_DeviceInfo;
    std::uint32_t m_DeviceType;

private:
    void StartWorker(void (*threadFunction)());
    void OnWorkerEnded();

    std::atomic<bool> m_WorkerRunning{false};
    std::atomic<ProtocolKind> m_WorkerProtocol{ProtocolKind::MessageStream};
    std::atomic<bool> m_Closing{false};
    std::atomic<int> m_WaitAbort{0};
    std::atomic<UpdateOutcome> m_LastOutcome{UpdateOutcome::kNone};
    bool m_ConnectPending = false;  // a connection skipped during an update
    bool m_ClosePending = false;    // a close held back until the worker ends
    std::function<void(UpdateOutcome)> m_WorkerEndedHook;
};

// Thread start functions of the two update flows.
void Usb_UpdateThread();
void Usb_FlashThread();
