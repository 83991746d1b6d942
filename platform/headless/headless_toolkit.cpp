#include "platform/headless/headless_toolkit.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace platform {

std::string EscapeEventText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

class HeadlessWindow::HeadlessControl final : public platform::Control {
public:
    HeadlessControl(HeadlessWindow& window, int id, ControlKind kind)
        : m_Window(window), m_Id(id), m_Kind(kind) {}

    void SetWindowText(const std::string& text) override {
        m_Window.ApplyControl(
            m_Id, [&](ControlState& s) { s.text = text; }, "");
    }
    void EnableWindow(bool enable) override {
        std::string event;
        if (m_Kind == ControlKind::kPushButton)
            event = enable ? "button: enabled" : "button: disabled";
        m_Window.ApplyControl(
            m_Id, [&](ControlState& s) { s.enabled = enable; }, event);
    }
    void ShowWindow(bool show) override {
        std::string event;
        if (m_Kind == ControlKind::kStaticText && m_Id == -1)
            event = show ? "label: shown" : "label: hidden";
        m_Window.ApplyControl(
            m_Id, [&](ControlState& s) { s.visible = show; }, event);
    }
    bool IsWindowEnabled() const override { return m_Window.ControlSnapshot(m_Id).enabled; }
    void SetRange(int lower, int upper) override {
        if (m_Kind != ControlKind::kProgressBar) return;
        m_Window.ApplyControl(
            m_Id,
            [&](ControlState& s) {
                s.lower = lower;
                s.upper = upper;
                s.position = std::clamp(s.position, lower, std::max(lower, upper));
            },
            "");
    }
    void SetPos(int position) override {
        if (m_Kind != ControlKind::kProgressBar) return;
        // The bar holds positions to its range, as a progress control does.
        const auto change = [position](ControlState& s) {
            s.positionsRequested.push_back(position);
            s.position = std::clamp(position, s.lower, std::max(s.lower, s.upper));
        };
        if (m_Window.IsUiThread()) {
            m_Window.ApplyControl(m_Id, change, "progress");
        } else {
            m_Window.QueueControl(m_Id, change, "progress");
        }
    }

private:
    HeadlessWindow& m_Window;
    int m_Id;
    ControlKind m_Kind;
};

HeadlessWindow::HeadlessWindow(HeadlessToolkit& toolkit, CDialog& dialog,
                               const DialogTemplate& dialogTemplate)
    : m_Toolkit(toolkit), m_Dialog(dialog), m_UiThread(std::this_thread::get_id()) {
    m_Title = dialogTemplate.caption;
    for (const ControlTemplate& c : dialogTemplate.controls) {
        ControlState state;
        state.kind = c.kind;
        state.text = c.text;
        state.visible = (c.styles & kStyleVisible) != 0;
        m_State[c.id] = state;
        m_Controls[c.id] = std::make_unique<HeadlessControl>(*this, c.id, c.kind);
    }
}

HeadlessWindow::~HeadlessWindow() {
    m_StopWatchers = true;
    for (std::thread& t : m_Watchers) t.join();
}

Control* HeadlessWindow::GetDlgItem(int id) {
    auto it = m_Controls.find(id);
    return it == m_Controls.end() ? nullptr : it->second.get();
}

void HeadlessWindow::Emit(const std::string& line) {
    m_Toolkit.Record(line);
}

void HeadlessWindow::ApplyControl(int id, const std::function<void(ControlState&)>& change,
                                  const std::string& event) {
    RunOnUiThread([&] {
        std::string line = event;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            ControlState& state = m_State[id];
            change(state);
            if (event == "progress") line = "progress: " + std::to_string(state.position);
        }
        if (!line.empty()) Emit(line);
    });
}

void HeadlessWindow::QueueControl(int id, std::function<void(ControlState&)> change,
                                  std::string event) {
    m_Toolkit.BeginQueuedChange();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Ended) {
            m_Tasks.push_back([this, id, change = std::move(change), event = std::move(event)] {
                ApplyControl(id, change, event);
                m_Toolkit.EndQueuedChange();
            });
            m_Cv.notify_all();
            return;
        }
    }
    // No window any more: nothing to change, as for RunOnUiThread.
    m_Toolkit.EndQueuedChange();
}

void HeadlessWindow::SetWindowText(const std::string& title) {
    RunOnUiThread([&] {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Title = title;
        }
        Emit("title: " + EscapeEventText(title));
    });
}

void HeadlessWindow::SetIcon(const Icon& icon, bool big) {
    (big ? m_BigIcon : m_SmallIcon).store(&icon);
}

int HeadlessWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    int result = kIdCancel;
    RunOnUiThread([&] {
        const BoxRequest request{text, caption, type};
        {
            std::lock_guard<std::mutex> lock(m_Toolkit.m_Mutex);
            m_Toolkit.m_Boxes.push_back(request);
        }
        const bool okCancel = (type & kMbOkCancel) != 0;
        Emit((okCancel ? "confirm: " : "box: ") + EscapeEventText(text));
        std::optional<int> answer =
            m_Toolkit.m_BoxScript ? m_Toolkit.m_BoxScript(request) : std::optional<int>(kIdOk);
        if (!answer) {
            // Modal: the window keeps handling its queue until the box is answered.
            Pump([&] {
                std::lock_guard<std::mutex> lock(m_Mutex);
                return m_OpenBoxAnswer.has_value() || m_Ended;
            });
            std::lock_guard<std::mutex> lock(m_Mutex);
            answer = m_OpenBoxAnswer.value_or(kIdCancel);
            m_OpenBoxAnswer.reset();
        }
        // A box closed without OK counts as Cancel; an OK-only box always gives OK.
        result = okCancel ? (*answer == kIdOk ? kIdOk : kIdCancel) : kIdOk;
        if (okCancel) Emit(result == kIdOk ? "answer: OK" : "answer: Cancel");
    });
    return result;
}

bool HeadlessWindow::OpenFileDialog(const FileDialogRequest& request, std::string* path) {
    bool chosen = false;
    RunOnUiThread([&] {
        {
            std::lock_guard<std::mutex> lock(m_Toolkit.m_Mutex);
            m_Toolkit.m_FileDialogs.push_back(request);
        }
        Emit("file-dialog: " + EscapeEventText(request.filter));
        std::optional<std::string> answer =
            m_Toolkit.m_FileScript ? m_Toolkit.m_FileScript(request) : std::nullopt;
        if (answer) {
            *path = *answer;
            chosen = true;
            Emit("answer: " + EscapeEventText(*answer));
        } else {
            Emit("answer: cancel");
        }
    });
    return chosen;
}

void HeadlessWindow::EndDialog(int result) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Ended = true;
    m_Result = result;
    m_Cv.notify_all();
}

bool HeadlessWindow::IsUiThread() const {
    return std::this_thread::get_id() == m_UiThread;
}

void HeadlessWindow::RunOnUiThread(const std::function<void()>& task) {
    if (IsUiThread()) {
        task();
        return;
    }
    bool done = false;
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (m_Ended) return;  // no window any more: nothing to change
    m_Tasks.push_back([&] {
        task();
        std::lock_guard<std::mutex> doneLock(m_Mutex);
        done = true;
        m_Cv.notify_all();
    });
    m_Cv.notify_all();
    // The loop runs every queued task before it ends, so this ends even when the dialog does.
    m_Cv.wait(lock, [&] { return done; });
}

void HeadlessWindow::Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Ended) return;
    m_Tasks.push_back(std::move(task));
    m_Cv.notify_all();
}

void HeadlessWindow::PostDeviceChange(std::uint32_t code) {
    Post([this, code] { m_Dialog.OnDeviceChange(code, nullptr); });
}

void HeadlessWindow::WatchReadable(int fd, void (*onReadable)(void*), void* context) {
    m_Watchers.emplace_back([this, fd, onReadable, context] {
        while (!m_StopWatchers) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && (p.revents & POLLIN) != 0) {
                RunOnUiThread([&] { onReadable(context); });
            }
        }
    });
}

void HeadlessWindow::Pump(const std::function<bool()>& until) {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Cv.wait(lock, [&] { return !m_Tasks.empty() || m_Ended || m_OpenBoxAnswer; });
            if (m_Tasks.empty()) {
                lock.unlock();
                if (until()) return;
                lock.lock();
                continue;
            }
            task = std::move(m_Tasks.front());
            m_Tasks.pop_front();
        }
        task();
        if (until()) return;
    }
}

int HeadlessWindow::Run() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Cv.wait(lock, [&] { return !m_Tasks.empty() || m_Ended; });
            if (m_Tasks.empty()) break;  // ended, and nothing left
            task = std::move(m_Tasks.front());
            m_Tasks.pop_front();
        }
        task();
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Tasks.empty()) m_Cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Cv.notify_all();
    return m_Result;
}

std::string HeadlessWindow::Title() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Title;
}

HeadlessWindow::ControlState HeadlessWindow::ControlSnapshot(int id) const {
    if (!IsUiThread()) m_Toolkit.WaitQueuedChanges();
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto it = m_State.find(id);
    return it == m_State.end() ? ControlState{} : it->second;
}

void HeadlessWindow::Click(int id) {
    Post([this, id] {
        bool enabled;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            enabled = m_State[id].enabled;
        }
        if (enabled) m_Dialog.OnCommand(id);
    });
}

void HeadlessWindow::RequestClose() {
    Post([this] {
        if (m_Dialog.OnCloseRequest()) EndDialog(kIdCancel);
    });
}

void HeadlessWindow::AnswerOpenBox(int answer) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_OpenBoxAnswer = answer;
    m_Cv.notify_all();
}

int HeadlessToolkit::RunModal(CDialog& dialog, const DialogTemplate& dialogTemplate) {
    {
        std::lock_guard<std::mutex> lock(m_QueuedMutex);
        m_UiThread = std::this_thread::get_id();
    }
    HeadlessWindow window(*this, dialog, dialogTemplate);
    dialog.AttachWindow(&window);
    dialog.OnInitDialog();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Window = &window;
        m_WindowCv.notify_all();
    }
    const int result = window.Run();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Window = nullptr;
    }
    dialog.OnDestroy();
    dialog.AttachWindow(nullptr);
    return result;
}

HeadlessWindow* HeadlessToolkit::WaitForWindow(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_WindowCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return m_Window != nullptr; });
    return m_Window;
}

void HeadlessToolkit::WaitIdle() {
    HeadlessWindow* window;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        window = m_Window;
    }
    if (window != nullptr) window->RunOnUiThread([] {});
}

bool HeadlessToolkit::WithWindow(const std::function<void(HeadlessWindow&)>& fn) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Window == nullptr) return false;
    fn(*m_Window);
    return true;
}

void HeadlessToolkit::Record(const std::string& line) {
    EventSink sink;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Events.push_back(line);
        sink = m_EventSink;
    }
    if (sink) sink(line);
}

void HeadlessToolkit::BeginQueuedChange() {
    std::unique_lock<std::mutex> lock(m_QueuedMutex);
    // One change at a time in the queue: a busy user-interface thread holds the caller back, as
    // it did when each change waited, instead of letting changes pile up.
    m_QueuedDone.wait(lock, [&] { return m_QueuedChanges == 0; });
    ++m_QueuedChanges;
}

void HeadlessToolkit::EndQueuedChange() {
    std::lock_guard<std::mutex> lock(m_QueuedMutex);
    if (--m_QueuedChanges == 0) m_QueuedDone.notify_all();
}

void HeadlessToolkit::WaitQueuedChanges() const {
    std::unique_lock<std::mutex> lock(m_QueuedMutex);
    // The user-interface thread carries them out itself, after what it is doing now.
    if (std::this_thread::get_id() == m_UiThread) return;
    m_QueuedDone.wait(lock, [&] { return m_QueuedChanges == 0; });
}

std::vector<std::string> HeadlessToolkit::Events() const {
    WaitQueuedChanges();
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Events;
}

void HeadlessToolkit::ClearEvents() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Events.clear();
}

std::vector<BoxRequest> HeadlessToolkit::Boxes() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Boxes;
}

std::vector<FileDialogRequest> HeadlessToolkit::FileDialogs() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_FileDialogs;
}

}  // namespace platform
