#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>

#include "app/res/dialog_102.h"
#include "bench/drivers.h"
#include "platform/qt/qt_toolkit.h"

namespace bench {

namespace {

// Answers the file dialog and the boxes in the turn of the event loop after they show.
class Answerer final : public QObject {
public:
    explicit Answerer(DriveHooks& hooks) : m_Hooks(hooks) {}

    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() != QEvent::Show) return false;
        if (auto* dialog = qobject_cast<QFileDialog*>(object)) {
            QTimer::singleShot(0, dialog, [this, dialog] {
                dialog->selectFile(QString::fromStdString(m_Hooks.firmware));
                static_cast<QDialog*>(dialog)->accept();
            });
        } else if (auto* box = qobject_cast<QMessageBox*>(object)) {
            QTimer::singleShot(0, box, [this, box] {
                if (box->button(QMessageBox::Cancel) != nullptr) {
                    if (m_Hooks.onConfirm) m_Hooks.onConfirm();
                } else if (m_Hooks.onBox) {
                    m_Hooks.onBox();
                }
                box->button(QMessageBox::Ok)->click();
            });
        }
        return false;
    }

private:
    DriveHooks& m_Hooks;
};

}  // namespace

bool DriveQt(DriveHooks& hooks, std::string* error) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "zentrel_bench";
    char* argv[] = {name, nullptr};
    std::unique_ptr<platform::Toolkit> toolkit = platform::CreateQtToolkit(argc, argv);
    platform::SetToolkit(toolkit.get());
    bool ok = true;
    {
        Answerer answerer(hooks);
        qApp->installEventFilter(&answerer);
        CUpdateDlg dialog;
        dialog.SetWorkerEndedHook([&](UpdateOutcome outcome) {
            hooks.outcome = outcome;
            dialog.EndDialog(platform::kIdOk);
        });
        QTimer::singleShot(0, [&] {
            if (hooks.beforePress) hooks.beforePress(dialog.GetWindow());
            QPushButton* button = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* b = w->findChild<QPushButton*>(
                        QStringLiteral("control_%1").arg(IDC_USB_UPDATE)))
                    button = b;
            }
            if (button == nullptr || !button->isEnabled()) {
                *error = "no enabled update button";
                ok = false;
                dialog.EndDialog(platform::kIdCancel);
                return;
            }
            button->click();
        });
        dialog.DoModal();
        qApp->removeEventFilter(&answerer);
    }
    platform::SetToolkit(nullptr);
    return ok;
}

}  // namespace bench
