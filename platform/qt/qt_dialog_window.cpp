#include "platform/qt/qt_dialog_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace platform {

namespace {

QString ToQt(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// The window system's texts break lines with \n alone.
QString DisplayText(const std::string& s) {
    QString text = ToQt(s);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

QFont DialogFont(const DialogTemplate& t) {
    QFont font;
    // The template's font first, then fonts with Chinese glyphs that Linux systems carry.
    font.setFamilies({ToQt(t.fontName), QStringLiteral("SimSun"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Noto Sans SC")});
    font.setPointSize(t.fontPoints);
    return font;
}

// "Description|pattern|...||" to Qt's "Description (pattern);;..." form.
QString QtFilter(const std::string& filter) {
    const QStringList parts = ToQt(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break;
        QString description = parts[i];
        const QString pattern = parts[i + 1];
        if (!description.contains(QLatin1Char('(')))
            description += QStringLiteral(" (") + pattern + ')';
        out << description;
    }
    return out.join(QStringLiteral(";;"));
}

}  // namespace

class QtDialogWindow::QtControl final : public platform::Control {
public:
    QtControl(QtDialogWindow& window, QWidget* widget, ControlKind kind)
        : m_Window(window), m_Widget(widget), m_Kind(kind) {}

    void SetWindowText(const std::string& text) override {
        m_Window.RunOnUiThread([&] {
            if (auto* label = qobject_cast<QLabel*>(m_Widget)) label->setText(DisplayText(text));
            if (auto* button = qobject_cast<QPushButton*>(m_Widget))
                button->setText(DisplayText(text));
        });
    }
    void EnableWindow(bool enable) override {
        m_Window.RunOnUiThread([&] { m_Widget->setEnabled(enable); });
    }
    void ShowWindow(bool show) override {
        m_Window.RunOnUiThread([&] { m_Widget->setVisible(show); });
    }
    bool IsWindowEnabled() const override {
        bool enabled = false;
        m_Window.RunOnUiThread([&] { enabled = m_Widget->isEnabled(); });
        return enabled;
    }
    void SetRange(int lower, int upper) override {
        if (m_Kind != ControlKind::kProgressBar) return;
        m_Window.RunOnUiThread(
            [&] { static_cast<QProgressBar*>(m_Widget)->setRange(lower, upper); });
    }
    void SetPos(int position) override {
        if (m_Kind != ControlKind::kProgressBar) return;
        const auto set = [this, position] {
            auto* bar = static_cast<QProgressBar*>(m_Widget);
            // A progress control holds positions to its range; QProgressBar would ignore them.
            bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
        };
        if (m_Window.IsUiThread()) {
            set();
            return;
        }
        // A worker sets the position once per block: it queues the step behind its earlier
        // changes and goes on, unless its previous step is still queued, so that a busy
        // user-interface thread holds it back as before instead of piling up steps.
        std::unique_lock<std::mutex> lock(m_StepMutex);
        m_StepDone.wait(lock, [&] { return !m_StepQueued; });
        m_StepQueued = true;
        lock.unlock();
        m_Window.Post([this, set] {
            set();
            std::lock_guard<std::mutex> done(m_StepMutex);
            m_StepQueued = false;
            m_StepDone.notify_all();
        });
    }

private:
    QtDialogWindow& m_Window;
    QWidget* m_Widget;
    ControlKind m_Kind;
    std::mutex m_StepMutex;
    std::condition_variable m_StepDone;
    bool m_StepQueued = false;  // a worker's SetPos waits in the window's queue
};

QtDialogWindow::QtDialogWindow(CDialog& dialog, const DialogTemplate& t)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_Dialog(dialog) {
    setWindowTitle(ToQt(t.caption));
    setFont(DialogFont(t));
    // Dialog units: a quarter of the average character width and an eighth of the height.
    const QFontMetricsF metrics(font());
    const QString sample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_UnitX = metrics.horizontalAdvance(sample) / 52.0 / 4.0;
    m_UnitY = metrics.height() / 8.0;
    const auto px = [](double units, double unit) { return static_cast<int>(units * unit + 0.5); };

    QWidget* previous = nullptr;
    for (const ControlTemplate& c : t.controls) {
        QWidget* widget = nullptr;
        switch (c.kind) {
            case ControlKind::kProgressBar: {
                auto* bar = new QProgressBar(this);
                bar->setTextVisible(false);
                widget = bar;
                break;
            }
            case ControlKind::kPushButton: {
                auto* button = new QPushButton(DisplayText(c.text), this);
                button->setAutoDefault(false);
                const int id = c.id;
                connect(button, &QPushButton::clicked, this,
                        [this, id] { m_Dialog.OnCommand(id); });
                widget = button;
                break;
            }
            case ControlKind::kStaticText: {
                auto* label = new QLabel(DisplayText(c.text), this);
                label->setWordWrap((c.styles & kStyleCentre) == 0);
                label->setAlignment((c.styles & kStyleCentre) != 0 ? Qt::AlignHCenter | Qt::AlignTop
                                                                   : Qt::AlignLeft | Qt::AlignTop);
                widget = label;
                break;
            }
        }
        widget->setGeometry(px(c.x, m_UnitX), px(c.y, m_UnitY), px(c.width, m_UnitX),
                            px(c.height, m_UnitY));
        widget->setFocusPolicy((c.styles & kStyleTabStop) != 0 ? Qt::StrongFocus : Qt::NoFocus);
        widget->setVisible((c.styles & kStyleVisible) != 0);
        if (previous != nullptr && (c.styles & kStyleTabStop) != 0) setTabOrder(previous, widget);
        if ((c.styles & kStyleTabStop) != 0) previous = widget;
        widget->setObjectName(QStringLiteral("control_%1").arg(c.id));
        m_Controls[c.id] = std::make_unique<QtControl>(*this, widget, c.kind);
    }
    setFixedSize(px(t.width, m_UnitX), px(t.height, m_UnitY));
}

QtDialogWindow::~QtDialogWindow() {
    m_Notifiers.clear();
}

Control* QtDialogWindow::GetDlgItem(int id) {
    auto it = m_Controls.find(id);
    return it == m_Controls.end() ? nullptr : it->second.get();
}

void QtDialogWindow::SetWindowText(const std::string& title) {
    RunOnUiThread([&] { setWindowTitle(ToQt(title)); });
}

void QtDialogWindow::SetIcon(const Icon& icon, bool big) {
    RunOnUiThread([&] {
        QImage image(reinterpret_cast<const uchar*>(icon.argb.data()), icon.width, icon.height,
                     QImage::Format_ARGB32);
        QIcon qicon = windowIcon();
        // One image serves as the large and the small icon; the window system scales it.
        if (big || qicon.isNull()) qicon = QIcon(QPixmap::fromImage(image.copy()));
        setWindowIcon(qicon);
    });
}

int QtDialogWindow::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    int result = kIdCancel;
    RunOnUiThread([&] {
        QMessageBox box(
            QMessageBox::NoIcon, ToQt(caption), DisplayText(text),
            (type & kMbOkCancel) != 0 ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok,
            this);
        box.setWindowModality(Qt::WindowModal);
        box.setEscapeButton((type & kMbOkCancel) != 0 ? QMessageBox::Cancel : QMessageBox::Ok);
        const int answer = box.exec();
        if ((type & kMbOkCancel) == 0) {
            result = kIdOk;  // an OK box has no other answer
        } else {
            // Closing the box without OK counts as Cancel.
            result = answer == QMessageBox::Ok ? kIdOk : kIdCancel;
        }
    });
    return result;
}

bool QtDialogWindow::OpenFileDialog(const FileDialogRequest& request, std::string* path) {
    bool chosen = false;
    RunOnUiThread([&] {
        QFileDialog dialog(this, QString(), ToQt(request.initialDirectory),
                           QtFilter(request.filter));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // The file need not exist: a typed name comes back as typed.
        dialog.setFileMode((request.flags & kOfnFileMustExist) != 0 ? QFileDialog::ExistingFile
                                                                    : QFileDialog::AnyFile);
        // A real extension is added to a name typed without one; a pattern such as "*.*" is not.
        if (!request.defaultExtension.empty() &&
            request.defaultExtension.find('*') == std::string::npos) {
            dialog.setDefaultSuffix(ToQt(request.defaultExtension));
        }
        // Qt's dialog has no read-only check box to hide, and an open dialog never overwrites.
        if (!request.initialName.empty()) dialog.selectFile(ToQt(request.initialName));
        dialog.setWindowModality(Qt::WindowModal);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            *path = dialog.selectedFiles().first().toStdString();
            chosen = true;
        }
    });
    return chosen;
}

void QtDialogWindow::EndDialog(int result) {
    RunOnUiThread([&] {
        m_Ending = true;
        done(result);
    });
}

bool QtDialogWindow::IsUiThread() const {
    return QThread::currentThread() == thread();
}

void QtDialogWindow::RunOnUiThread(const std::function<void()>& task) {
    if (IsUiThread()) {
        task();
        return;
    }
    QMetaObject::invokeMethod(
        const_cast<QtDialogWindow*>(this), [&task] { task(); }, Qt::BlockingQueuedConnection);
}

void QtDialogWindow::Post(std::function<void()> task) {
    QMetaObject::invokeMethod(
        this, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtDialogWindow::PostDeviceChange(std::uint32_t code) {
    Post([this, code] { m_Dialog.OnDeviceChange(code, nullptr); });
}

void QtDialogWindow::WatchReadable(int fd, void (*onReadable)(void*), void* context) {
    RunOnUiThread([&] {
        auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read, this);
        connect(notifier.get(), &QSocketNotifier::activated, this,
                [onReadable, context] { onReadable(context); });
        m_Notifiers.push_back(std::move(notifier));
    });
}

void QtDialogWindow::closeEvent(QCloseEvent* event) {
    if (m_Ending || m_Dialog.OnCloseRequest()) {
        event->accept();
        QDialog::closeEvent(event);
    } else {
        event->ignore();
    }
}

void QtDialogWindow::reject() {
    if (m_Ending || m_Dialog.OnCloseRequest()) QDialog::reject();
}

}  // namespace platform
