// The headless dialog toolkit: no window, but a real user-interface thread with its own queue,
// so the thread rules hold as in the window. Controls are plain state that callers observe;
// message boxes and the file dialog are answered by a script; every visible change is an event
// line ("title: ...", "button: enabled", "progress: 42", ...).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/toolkit.h"

namespace platform {

// Writes text as an event line's TEXT: UTF-8, with \\, \r, \n and \xHH for other controls.
std::string EscapeEventText(const std::string& text);

struct BoxRequest {
    std::string text;
    std::string caption;
    unsigned type;  // kMbOk or kMbOkCancel
};

class HeadlessToolkit;

class HeadlessWindow final : public DialogWindow {
public:
    struct ControlState {
        ControlKind kind;
        std::string text;
        bool enabled = true;
        bool visible = true;
        int lower = 0, upper = 100, position = 0;
        std::vector<int> positionsRequested;  // every SetPos, unclamped
    };

    HeadlessWindow(HeadlessToolkit& toolkit, CDialog& dialog, const DialogTemplate& dialogTemplate);
    ~HeadlessWindow() override;

    // DialogWindow
    Control* GetDlgItem(int id) override;
    void SetWindowText(const std::string& title) override;
    void SetIcon(const Icon& icon, bool big) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    bool OpenFileDialog(const FileDialogRequest& request, std::string* path) override;
    void EndDialog(int result) override;
    bool IsUiThread() const override;
    void RunOnUiThread(const std::function<void()>& task) override;
    void Post(std::function<void()> task) override;
    // DeviceChangeTarget
    void PostDeviceChange(std::uint32_t code) override;
    void WatchReadable(int fd, void (*onReadable)(void*), void* context) override;

    // Runs the modal loop on the calling thread until EndDialog.
    int Run();

    // Snapshots, safe from any thread.
    std::string Title() const;
    ControlState ControlSnapshot(int id) const;
    const Icon* BigIcon() const { return m_BigIcon.load(); }
    const Icon* SmallIcon() const { return m_SmallIcon.load(); }

    // Test drivers; they post to the user-interface thread and return at once.
    void Click(int id);   // a click on an enabled push button
    void RequestClose();  // the close box
    // Answers a box that the script left open.
    void AnswerOpenBox(int answer);

    void ApplyControl(int id, const std::function<void(ControlState&)>& change,
                      const std::string& event);
    // Queues the change for the user-interface thread and returns without waiting for it, once
    // the previous queued change has been made; snapshots and the event lines read from other
    // threads wait until it has been made.
    void QueueControl(int id, std::function<void(ControlState&)> change, std::string event);

private:
    class HeadlessControl;
    void Emit(const std::string& line);
    void Pump(const std::function<bool()>& until);

    HeadlessToolkit& m_Toolkit;
    CDialog& m_Dialog;
    std::thread::id m_UiThread;
    mutable std::mutex m_Mutex;
    std::condition_variable m_Cv;
    std::deque<std::function<void()>> m_Tasks;
    bool m_Ended = false;
    int m_Result = 0;
    std::string m_Title;
    std::map<int, ControlState> m_State;
    std::map<int, std::unique_ptr<HeadlessControl>> m_Controls;
    std::atomic<const Icon*> m_BigIcon{nullptr};
    std::atomic<const Icon*> m_SmallIcon{nullptr};
    std::optional<int> m_OpenBoxAnswer;
    std::atomic<bool> m_StopWatchers{false};
    std::vector<std::thread> m_Watchers;
};

class HeadlessToolkit final : public Toolkit {
public:
    // Answers: nullopt leaves the box open until AnswerOpenBox. Defaults: OK to every box, and
    // the file dialog cancelled.
    using BoxScript = std::function<std::optional<int>(const BoxRequest&)>;
    // The path chosen, or nullopt for Cancel.
    using FileScript = std::function<std::optional<std::string>(const FileDialogRequest&)>;
    using EventSink = std::function<void(const std::string&)>;

    void SetBoxScript(BoxScript script) { m_BoxScript = std::move(script); }
    void SetFileScript(FileScript script) { m_FileScript = std::move(script); }
    // Called on the user-interface thread with every event line.
    void SetEventSink(EventSink sink) { m_EventSink = std::move(sink); }

    int RunModal(CDialog& dialog, const DialogTemplate& dialogTemplate) override;

    // The window of the running dialog, once OnInitDialog has returned; nullptr before and
    // after. WaitForWindow waits (real time) at most timeoutMs.
    HeadlessWindow* WaitForWindow(int timeoutMs = 5000);
    // Waits until the user-interface thread has handled everything queued so far.
    void WaitIdle();
    // Calls fn with the running window, if there is one, while it cannot go away; fn must only
    // post (Click, RequestClose, Post). False when no window runs.
    bool WithWindow(const std::function<void(HeadlessWindow&)>& fn);

    std::vector<std::string> Events() const;
    void ClearEvents();
    std::vector<BoxRequest> Boxes() const;
    std::vector<FileDialogRequest> FileDialogs() const;

private:
    friend class HeadlessWindow;
    void Record(const std::string& line);
    // Changes queued by HeadlessWindow::QueueControl and not yet made; Begin waits until none is.
    void BeginQueuedChange();
    void EndQueuedChange();
    // Waits until none is left; on the user-interface thread it returns at once.
    void WaitQueuedChanges() const;

    BoxScript m_BoxScript;
    FileScript m_FileScript;
    EventSink m_EventSink;
    mutable std::mutex m_Mutex;
    std::condition_variable m_WindowCv;
    HeadlessWindow* m_Window = nullptr;
    std::vector<std::string> m_Events;
    std::vector<BoxRequest> m_Boxes;
    std::vector<FileDialogRequest> m_FileDialogs;
    mutable std::mutex m_QueuedMutex;
    mutable std::condition_variable m_QueuedDone;
    int m_QueuedChanges = 0;
    std::thread::id m_UiThread;  // of the latest RunModal
};

}  // namespace platform
