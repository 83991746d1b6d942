// The Qt window under the offscreen platform, on the simulated bus in virtual time: the dialog
// as its template builds it, start-up, whole updates driven through the real modal boxes and
// file dialog, and the title after a device event.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/update_app.h"
#include "app/update_dlg.h"
#include "image/firmware_writer.h"
#include "platform/clock.h"
#include "platform/language.h"
#include "platform/qt/qt_toolkit.h"
#include "sim/bus.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"

namespace {

QWidget* MainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->findChild<QPushButton*>(QStringLiteral("control_1007"))) return w;
    }
    return nullptr;
}

template <typename T>
T* Control(QWidget& window, int id) {
    return window.findChild<T*>(QStringLiteral("control_%1").arg(id));
}

void Screenshot(QWidget& window, const char* name) {
    if (const char* dir = std::getenv("ZENTREL_SCREENSHOT_DIR")) {
        window.grab().save(QString::fromUtf8(dir) + QLatin1Char('/') + QLatin1String(name));
    }
}

// Runs the application in the Qt window in virtual time. Every 10 ms the fixture looks at the
// window: it answers an open file dialog with `firmware`, records and answers message boxes,
// and lets the test act through `onTick` (which returns true once the test is done; the window
// then closes).
class QtWindowTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    sim::SimulatedBus bus;
    std::string firmware;
    std::vector<std::string> boxes;
    std::vector<bool> windowVisibleAtBox;
    std::vector<int> progressSeen;
    std::function<void(QMessageBox&)> onBox;
    int boxAnswer = QMessageBox::Ok;

    void SetUp() override { platform::SetClock(&clock); }
    void TearDown() override {
        platform::SetClock(nullptr);
        platform::SetUILanguageOverride(std::nullopt);
    }

    void Run(std::uint16_t language, const std::function<bool(QWidget&)>& onTick) {
        platform::SetUILanguageOverride(language);
        int argc = 1;
        char name[] = "zentrel-qt-tests";
        char* argv[] = {name, nullptr};
        std::unique_ptr<platform::Toolkit> toolkit = platform::CreateQtToolkit(argc, argv);
        platform::SetHidServices(&bus);
        platform::SetToolkit(toolkit.get());
        QTimer timer;
        int ticks = 0;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (++ticks > 3000) {  // 30 s: the test has hung
                ADD_FAILURE() << "time-out";
                QApplication::exit(1);
            }
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
                dialog->selectFile(QString::fromStdString(firmware));
                static_cast<QDialog*>(dialog)->accept();  // public on the base
                return;
            }
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes.push_back(box->text().toStdString());
                QWidget* main = MainWindow();
                windowVisibleAtBox.push_back(main != nullptr && main->isVisible());
                if (onBox) onBox(*box);
                QAbstractButton* button =
                    box->button(static_cast<QMessageBox::StandardButton>(boxAnswer));
                if (button == nullptr) button = box->button(QMessageBox::Ok);
                button->click();
                return;
            }
            QWidget* main = MainWindow();
            if (main == nullptr || !main->isVisible()) return;
            const int value = Control<QProgressBar>(*main, 1003)->value();
            if (progressSeen.empty() || progressSeen.back() != value) progressSeen.push_back(value);
            if (onTick(*main)) main->close();
        });
        timer.start(10);
        CUpdateApp app;
        app.InitInstance();
        timer.stop();
        platform::SetToolkit(nullptr);
        platform::SetHidServices(nullptr);
    }

    std::shared_ptr<sim::FrameController> PlugFrame(std::uint32_t type, std::uint32_t version) {
        sim::FrameControllerConfig config;
        config.deviceType = type;
        config.versionWord = version;
        auto controller = std::make_shared<sim::FrameController>(config);
        bus.Plug({0x3A7C, 0x3208}, controller, {}, false);
        return controller;
    }
    std::string WriteFirmware(const std::vector<std::uint8_t>& bytes) {
        char path[] = "/tmp/zentrel-qt-XXXXXX.dat";
        const int fd = ::mkstemps(path, 4);
        if (fd >= 0) ::close(fd);
        WriteFileBytes(path, bytes);
        m_Files.push_back(path);
        return path;
    }
    ~QtWindowTest() override {
        for (const std::string& f : m_Files) std::remove(f.c_str());
    }

private:
    std::vector<std::string> m_Files;
};

TEST_F(QtWindowTest, StartsWithoutAControllerAsTheTemplateSays) {
    Run(0x0409, [&](QWidget& window) {
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Zentrel Update v2.31"));
        auto* button = Control<QPushButton>(window, 1007);
        auto* bar = Control<QProgressBar>(window, 1003);
        auto* info = Control<QLabel>(window, 1008);
        auto* success = Control<QLabel>(window, -1);
        EXPECT_FALSE(button->isEnabled());
        EXPECT_EQ(button->text(), QStringLiteral("USB Update"));
        EXPECT_EQ(bar->value(), 0);
        EXPECT_EQ(bar->minimum(), 0);
        EXPECT_EQ(bar->maximum(), 100);
        EXPECT_FALSE(success->isVisible());
        EXPECT_EQ(success->text(), QStringLiteral("Firmware upgraded!"));
        EXPECT_TRUE(success->alignment() & Qt::AlignHCenter);
        EXPECT_TRUE(info->alignment() & Qt::AlignLeft);
        EXPECT_TRUE(info->text().startsWith(QStringLiteral("1. Press and hold")));
        EXPECT_TRUE(info->text().contains(QStringLiteral("\n\n2. Then connect")));
        EXPECT_EQ(window.minimumSize(), window.maximumSize());  // fixed size
        EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(window.windowFlags() & Qt::WindowSystemMenuHint);
        EXPECT_FALSE(window.windowIcon().isNull());
        // The template's layout: the button as wide as the bar, below the instructions.
        EXPECT_EQ(button->width(), bar->width());
        EXPECT_GT(button->y(), info->y() + info->height() - 1);
        Screenshot(window, "window-idle-en.png");
        return true;
    });
    EXPECT_TRUE(boxes.empty());
}

TEST_F(QtWindowTest, ControllerWithoutFirmwareShowsTheInstructionsBeforeTheWindow) {
    PlugFrame(0x6006, 0xFFFFFFFF);
    Run(0x0409, [&](QWidget& window) {
        EXPECT_TRUE(Control<QPushButton>(window, 1007)->isEnabled());
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Zentrel Update v2.31"));
        return true;
    });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].substr(0, 17), "1. Press and hold");
    EXPECT_FALSE(windowVisibleAtBox[0]);
}

TEST_F(QtWindowTest, RunsAWholeCommandFrameUpdate) {
    auto controller = PlugFrame(0x6006, 137);
    const std::vector<std::uint8_t> file = sim::SampleFrameFile(0x6006, 20000, 0x0001008A);
    firmware = WriteFirmware(file);
    bool clicked = false;
    bool labelShownAtSuccessBox = true;
    int barAtSuccessBox = -1;
    onBox = [&](QMessageBox& box) {
        QWidget* main = MainWindow();
        EXPECT_EQ(box.windowTitle(), QStringLiteral("Zentrel Update v2.31"));
        EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
        if (box.text().contains(QStringLiteral("upgraded"))) {
            labelShownAtSuccessBox = Control<QLabel>(*main, -1)->isVisible();
            barAtSuccessBox = Control<QProgressBar>(*main, 1003)->value();
            Screenshot(*main, "window-update-en.png");
        }
    };
    Run(0x0409, [&](QWidget& window) {
        auto* button = Control<QPushButton>(window, 1007);
        if (!clicked) {
            clicked = true;
            button->click();
            return false;
        }
        return g_UpdateDlg != nullptr && !g_UpdateDlg->IsWorkerRunning() &&
               Control<QLabel>(window, -1)->isVisible();
    });
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "Firmware Version:  1.37\n");
    EXPECT_EQ(boxes[1], "\n Firmware upgraded! \n");
    EXPECT_FALSE(labelShownAtSuccessBox);  // the label and the bar change after the box
    EXPECT_GE(barAtSuccessBox, 90);
    EXPECT_EQ(progressSeen.back(), 0);
    EXPECT_EQ(controller->ReadFlash(0x01018000, 20000), sim::ImageFor(file, 0x6006));
}

TEST_F(QtWindowTest, RunsAWholeMessageStreamUpdateInChinese) {
    auto controller = std::make_shared<sim::StreamController>();
    bus.Plug({0x0483, 0x5750}, controller, {}, false);
    const std::vector<std::uint8_t> file = sim::SampleStreamFile(8000, 138);
    firmware = WriteFirmware(file);
    bool clicked = false;
    onBox = [&](QMessageBox& box) {
        // The button texts come from Qt's own Chinese translations.
        EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
        if (box.text().contains(QStringLiteral("升级成功")))
            Screenshot(*MainWindow(), "window-update-zh.png");
    };
    Run(0x0804, [&](QWidget& window) {
        if (!clicked) {
            Screenshot(window, "window-idle-zh.png");
            clicked = true;
            Control<QPushButton>(window, 1007)->click();
            return false;
        }
        return g_UpdateDlg != nullptr && !g_UpdateDlg->IsWorkerRunning() &&
               Control<QLabel>(window, -1)->isVisible();
    });
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "固件版本:  1.37\n");
    EXPECT_EQ(boxes[1], "\n 升级成功。 \n");
    bus.Settle();
    EXPECT_EQ(controller->StoredImage(), sim::ImageFor(file, std::nullopt));
    // Progress was seen moving, not only at its ends.
    int between = 0;
    for (int v : progressSeen) between += (v > 0 && v < 100) ? 1 : 0;
    EXPECT_GT(between, 0);
}

TEST_F(QtWindowTest, TitleShowsTheVersionAfterADeviceEvent) {
    bool plugged = false;
    Run(0x0409, [&](QWidget& window) {
        if (!plugged) {
            plugged = true;
            sim::FrameControllerConfig config;
            config.deviceType = 0x3009;
            config.versionWord = 0x00020089;
            bus.Plug({0x3A7C, 0x3208}, std::make_shared<sim::FrameController>(config));
            return false;
        }
        return window.windowTitle() ==
                   QStringLiteral("Zentrel Update v2.31(VozeVer V1.37 beta2)") &&
               Control<QPushButton>(window, 1007)->isEnabled();
    });
    EXPECT_TRUE(plugged);
}

}  // namespace
