// A worker's progress step in the Qt window: it does not wait for the user-interface thread,
// and it takes effect in order with the worker's other changes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/qt_dialog_window.h"
#include "platform/qt/qt_toolkit.h"

namespace {

// Notes the button's enabled changes among the bar's values.
class EnabledWatch final : public QObject {
public:
    explicit EnabledWatch(std::vector<std::string>& seen) : m_Seen(seen) {}
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) {
            m_Seen.push_back(static_cast<QWidget*>(object)->isEnabled() ? "enabled" : "disabled");
        }
        return false;
    }

private:
    std::vector<std::string>& m_Seen;
};

TEST(QtProgressStep, DoesNotWaitForTheUserInterfaceThreadAndKeepsTheOrder) {
    int argc = 1;
    char name[] = "zentrel-qt-tests";
    char* argv[] = {name, nullptr};
    std::unique_ptr<platform::Toolkit> toolkit = platform::CreateQtToolkit(argc, argv);
    const platform::DialogTemplate dialogTemplate{
        1,
        100,
        40,
        "MS Shell Dlg",
        8,
        "progress",
        false,
        false,
        false,
        false,
        {{1, platform::ControlKind::kProgressBar, 5, 5, 90, 10, platform::kStyleVisible, ""},
         {2, platform::ControlKind::kPushButton, 5, 20, 40, 14, platform::kStyleVisible, "OK"}}};
    platform::CDialog dialog(dialogTemplate);
    platform::QtDialogWindow window(dialog, dialogTemplate);
    auto* bar = window.findChild<QProgressBar*>(QStringLiteral("control_1"));
    auto* button = window.findChild<QPushButton*>(QStringLiteral("control_2"));
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(button, nullptr);
    std::vector<std::string> seen;
    QObject::connect(bar, &QProgressBar::valueChanged,
                     [&](int value) { seen.push_back("value " + std::to_string(value)); });
    EnabledWatch watch(seen);
    button->installEventFilter(&watch);

    const int initial = bar->value();
    std::mutex mutex;
    std::condition_variable changed;
    bool firstReturned = false;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        window.GetDlgItem(1)->SetPos(42);
        {
            std::lock_guard<std::mutex> lock(mutex);
            firstReturned = true;
        }
        changed.notify_all();
        window.GetDlgItem(2)->EnableWindow(false);  // waits for the user-interface thread
        window.GetDlgItem(1)->SetPos(43);
        done = true;
    });
    // This thread is the user-interface thread and runs no event loop yet: a step that waited
    // for it would not return. The bound only ends such a run.
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return firstReturned; }));
    }
    EXPECT_EQ(bar->value(), initial);  // queued, not carried out yet
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    worker.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(seen, (std::vector<std::string>{"value 42", "disabled", "value 43"}));
    EXPECT_EQ(bar->value(), 43);
}

}  // namespace
