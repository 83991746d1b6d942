// One dialog window on Qt Widgets, built from a dialog template.
#pragma once

#include <QDialog>
#include <QSocketNotifier>
#include <map>
#include <memory>
#include <vector>

#include "platform/toolkit.h"

class QWidget;

namespace platform {

class QtDialogWindow final : public QDialog, public DialogWindow {
public:
    QtDialogWindow(CDialog& dialog, const DialogTemplate& dialogTemplate);
    ~QtDialogWindow() override;

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

    // Pixels of one dialog unit, from the dialog font's metrics.
    double UnitX() const { return m_UnitX; }
    double UnitY() const { return m_UnitY; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;  // Escape

private:
    class QtControl;

    CDialog& m_Dialog;
    double m_UnitX = 1.5;
    double m_UnitY = 1.5;
    std::map<int, std::unique_ptr<QtControl>> m_Controls;
    std::vector<std::unique_ptr<QSocketNotifier>> m_Notifiers;
    bool m_Ending = false;
};

}  // namespace platform
