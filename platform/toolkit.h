// The dialog toolkit: what a dialog-based application needs of a window system.
//
// A dialog is built from a template, its controls are found by id, and it runs modally on the
// thread that calls DoModal: that thread is the user-interface thread. Backends: platform/qt
// (Qt Widgets) and platform/headless (no window; observable state and scripted answers).
//
// Thread rules. Every Control operation and every DialogWindow operation may be called from any
// thread. Called from another thread, it is carried out by the user-interface thread while the
// caller waits, so the changes of one worker take effect in the order it makes them. SetPos of a
// progress bar, which a worker calls once per block, may return before it has taken effect: it
// is queued, and the caller waits only while its previous SetPos is still queued. It still takes
// effect after the caller's earlier changes and before its later ones, and whatever reads the bar
// afterwards sees it. Message boxes and the file dialog are modal to the dialog; the caller waits
// for the user's answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/hid_services.h"

namespace platform {

enum class ControlKind { kProgressBar, kPushButton, kStaticText };

// Style bits of our dialog templates.
enum : std::uint32_t {
    kStyleVisible = 1u << 0,
    kStyleBorder = 1u << 1,
    kStyleTabStop = 1u << 2,
    kStyleGroup = 1u << 3,
    kStyleCentre = 1u << 4,  // static text
    kStyleLeft = 1u << 5,    // static text
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    int x, y, width, height;  // dialog units
    std::uint32_t styles;
    std::string text;
};

struct DialogTemplate {
    int id;
    int width, height;  // dialog units
    std::string fontName;
    int fontPoints;
    std::string caption;
    bool systemMenu, minimizeBox, maximizeBox, appWindow;
    std::vector<ControlTemplate> controls;  // tab order
};

// A 32-bit ARGB image, row by row from the top.
struct Icon {
    int width = 0, height = 0;
    std::vector<std::uint32_t> argb;
};

// Message box styles and results.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// File dialog options.
inline constexpr std::uint32_t kOfnOverwritePrompt = 0x2;
inline constexpr std::uint32_t kOfnHideReadOnly = 0x4;
inline constexpr std::uint32_t kOfnFileMustExist = 0x1000;

struct FileDialogRequest {
    // Filter in the form "Description|pattern|...||".
    std::string filter;
    std::string defaultExtension;
    std::string initialDirectory;
    std::string initialName;
    std::uint32_t flags = 0;
};

class Control {
public:
    virtual ~Control() = default;
    virtual void SetWindowText(const std::string& text) = 0;
    virtual void EnableWindow(bool enable) = 0;
    virtual void ShowWindow(bool show) = 0;
    virtual bool IsWindowEnabled() const = 0;
    // Progress bars only; other controls ignore them.
    virtual void SetRange(int lower, int upper) = 0;
    virtual void SetPos(int position) = 0;
};

class CDialog;

// The toolkit's side of one running dialog.
class DialogWindow : public DeviceChangeTarget {
public:
    virtual Control* GetDlgItem(int id) = 0;
    virtual void SetWindowText(const std::string& title) = 0;
    virtual void SetIcon(const Icon& icon, bool big) = 0;
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
    // True with the chosen path when the dialog was closed with OK.
    virtual bool OpenFileDialog(const FileDialogRequest& request, std::string* path) = 0;
    // Ends the modal loop; DoModal returns result.
    virtual void EndDialog(int result) = 0;
    virtual bool IsUiThread() const = 0;
    // Runs task on the user-interface thread and returns when it is done.
    virtual void RunOnUiThread(const std::function<void()>& task) = 0;
    // Queues task for the user-interface thread and returns at once.
    virtual void Post(std::function<void()> task) = 0;
};

class Toolkit {
public:
    virtual ~Toolkit() = default;
    // Builds the window from the template, calls dialog.OnInitDialog, runs the modal loop on the
    // calling thread and returns the EndDialog result.
    virtual int RunModal(CDialog& dialog, const DialogTemplate& dialogTemplate) = 0;
};

// The MFC-like base of a dialog class.
class CDialog {
public:
    explicit CDialog(const DialogTemplate& dialogTemplate) : m_Template(dialogTemplate) {}
    virtual ~CDialog() = default;

    int DoModal();

    // Handlers, called on the user-interface thread.
    virtual bool OnInitDialog() { return true; }
    virtual void OnCommand(int /*controlId*/) {}
    virtual bool OnDeviceChange(std::uint32_t /*event*/, void* /*data*/) { return true; }
    // The user asked to close (close box, Escape). True: close now.
    virtual bool OnCloseRequest() { return true; }
    // The modal loop has ended; the window is destroyed right after this returns.
    virtual void OnDestroy() {}

    Control* GetDlgItem(int id) { return m_pWindow->GetDlgItem(id); }
    void SetWindowText(const std::string& title) { m_pWindow->SetWindowText(title); }
    void SetIcon(const Icon& icon, bool big) { m_pWindow->SetIcon(icon, big); }
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) {
        return m_pWindow->MessageBox(text, caption, type);
    }
    void EndDialog(int result) { m_pWindow->EndDialog(result); }
    DialogWindow* GetWindow() const { return m_pWindow; }
    const DialogTemplate& Template() const { return m_Template; }

    // Set by the toolkit for the life of the modal loop.
    void AttachWindow(DialogWindow* window) { m_pWindow = window; }

private:
    const DialogTemplate& m_Template;
    DialogWindow* m_pWindow = nullptr;
};

// The backend chosen by main() (or a test) before the application runs.
Toolkit& GetToolkit();
void SetToolkit(Toolkit* toolkit);

}  // namespace platform
