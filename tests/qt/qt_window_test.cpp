// The Qt window under the offscreen platform: the dialog built from its template, on the
// simulated bus, with the controls as start-up leaves them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "app/update_app.h"
#include "app/update_dlg.h"
#include "platform/clock.h"
#include "platform/language.h"
#include "platform/qt/qt_toolkit.h"
#include "sim/bus.h"
#include "sim/frame_controller.h"

namespace {

QWidget* MainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->findChild<QPushButton*>(QStringLiteral("control_1007"))) return w;
    }
    return nullptr;
}

// Runs the application in the Qt window; `inspect` runs once the window is up, then it closes.
void RunWindow(sim::SimulatedBus& bus, const std::function<void(QWidget&)>& inspect) {
    int argc = 1;
    char name[] = "zentrel-qt-tests";
    char* argv[] = {name, nullptr};
    std::unique_ptr<platform::Toolkit> toolkit = platform::CreateQtToolkit(argc, argv);
    platform::SetHidServices(&bus);
    platform::SetToolkit(toolkit.get());
    bool inspected = false;
    QTimer::singleShot(200, [&] {
        QWidget* window = MainWindow();
        ASSERT_NE(window, nullptr);
        inspect(*window);
        inspected = true;
        window->close();
    });
    CUpdateApp app;
    app.InitInstance();
    EXPECT_TRUE(inspected);
    platform::SetToolkit(nullptr);
    platform::SetHidServices(nullptr);
}

TEST(QtWindow, StartsWithoutAControllerAsTheTemplateSays) {
    platform::SetUILanguageOverride(0x0409);
    sim::SimulatedBus bus;
    RunWindow(bus, [](QWidget& window) {
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Zentrel Update v2.31"));
        auto* button = window.findChild<QPushButton*>(QStringLiteral("control_1007"));
        auto* bar = window.findChild<QProgressBar*>(QStringLiteral("control_1003"));
        auto* info = window.findChild<QLabel*>(QStringLiteral("control_1008"));
        auto* success = window.findChild<QLabel*>(QStringLiteral("control_-1"));
        ASSERT_TRUE(button && bar && info && success);
        EXPECT_FALSE(button->isEnabled());
        EXPECT_EQ(button->text(), QStringLiteral("USB Update"));
        EXPECT_EQ(bar->value(), 0);
        EXPECT_EQ(bar->maximum(), 100);
        EXPECT_FALSE(success->isVisible());
        EXPECT_TRUE(info->text().startsWith(QStringLiteral("1. Press and hold")));
        EXPECT_EQ(window.minimumSize(), window.maximumSize());  // fixed size
        EXPECT_FALSE(window.windowIcon().isNull());
        // Controls keep the template's proportions: the button is as wide as the bar.
        EXPECT_EQ(button->width(), bar->width());
        EXPECT_GT(button->y(), info->y());
        if (const char* dir = std::getenv("ZENTREL_SCREENSHOT_DIR")) {
            window.grab().save(QString::fromUtf8(dir) + QStringLiteral("/window-idle-en.png"));
        }
    });
    platform::SetUILanguageOverride(std::nullopt);
}

TEST(QtWindow, EnablesTheButtonForAConnectedController) {
    platform::SetUILanguageOverride(0x0804);
    sim::SimulatedBus bus;
    sim::FrameControllerConfig config;
    config.deviceType = 0x6006;
    config.versionWord = 137;
    bus.Plug({0x3A7C, 0x3208}, std::make_shared<sim::FrameController>(config), {}, false);
    RunWindow(bus, [](QWidget& window) {
        auto* button = window.findChild<QPushButton*>(QStringLiteral("control_1007"));
        ASSERT_NE(button, nullptr);
        EXPECT_TRUE(button->isEnabled());
        EXPECT_EQ(button->text(), QStringLiteral("USB 升级"));
        if (const char* dir = std::getenv("ZENTREL_SCREENSHOT_DIR")) {
            window.grab().save(QString::fromUtf8(dir) + QStringLiteral("/window-idle-zh.png"));
        }
    });
    platform::SetUILanguageOverride(std::nullopt);
}

}  // namespace
