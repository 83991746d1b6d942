// The user's timing against the worker: presses where the button is enabled before the worker
// has ended, device events during updates, and closing the window in each phase. No second
// worker, no use of a closed window, every run ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/res/dialog_102.h"
#include "frame/address_map.h"
#include "sim/faults.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"
#include "support/app_harness.h"

namespace {

struct Setup {
    bool stream;
    const char* name;
};

class Scenario : public ::testing::TestWithParam<Setup> {
protected:
    test::AppHarness h;
    std::shared_ptr<sim::StreamController> streamModel;
    std::shared_ptr<sim::FrameController> frameModel;
    std::vector<std::uint8_t> file;

    void SetUp() override {
        if (GetParam().stream) {
            streamModel = std::make_shared<sim::StreamController>();
            h.bus.Plug(test::kStreamIds, streamModel, {}, false);
            file = sim::SampleStreamFile(3000, 138);
        } else {
            sim::FrameControllerConfig config;
            config.deviceType = 0x3009;
            config.versionWord = 137;
            frameModel = std::make_shared<sim::FrameController>(config);
            h.bus.Plug(test::kFrameIds, frameModel, {}, false);
            file = sim::SampleFrameFile(0x3009, 3000, 138);
        }
        h.firmwarePath = h.TempFile("fw.dat", file);
    }
    bool StoredExactly() {
        h.bus.Settle();
        const auto image = sim::ImageFor(
            file, GetParam().stream ? std::nullopt : std::optional<std::uint32_t>(0x3009));
        return GetParam().stream
                   ? streamModel->StoredImage() == image
                   : frameModel->ReadFlash(kType3009AddressMap.appBase, 3000) == image;
    }
    bool WaitEnded(int boundMs = 20000) {
        for (int i = 0; i < boundMs && h.Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return !h.Running();
    }
};

TEST_P(Scenario, PressesWhileTheWorkerRunsStartNoSecondWorker) {
    // Whenever the button is enabled during the update (after the last chunk, after a failure),
    // the user presses at once.
    h.toolkit.SetEventSink([&](const std::string& line) {
        if (line == "button: enabled" && h.Dlg().IsWorkerRunning()) h.Dlg().OnUsbUpdate();
    });
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    h.WaitIdle();
    EXPECT_EQ(h.WorkersEnded(), 1);
    EXPECT_EQ(h.toolkit.FileDialogs().size(), 1u);
    EXPECT_TRUE(StoredExactly());
}

TEST_P(Scenario, DeviceEventsDuringTheUpdateAreDeferred) {
    h.Start();
    std::atomic<bool> stop{false};
    h.Window().Click(IDC_USB_UPDATE);
    std::thread events([&] {
        for (int i = 0; !stop && i < 100000; ++i) {
            h.bus.RaiseDeviceChange(i % 3 == 0 ? 0x8000 : i % 3 == 1 ? 0x0007 : 0x8004);
            std::this_thread::yield();
        }
    });
    const bool ended = h.WaitWorkersEnded(1);
    stop = true;
    events.join();
    ASSERT_TRUE(ended);
    h.WaitIdle();
    EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    EXPECT_TRUE(StoredExactly());
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

// Closing held back until the worker ends, in each phase of an update.
TEST_P(Scenario, ClosingInEachPhaseWaitsForTheWorker) {
    enum class Phase { kConfirmation, kTransfer, kResultBox };
    for (const Phase phase : {Phase::kConfirmation, Phase::kTransfer, Phase::kResultBox}) {
        test::AppHarness run;
        if (GetParam().stream) {
            run.bus.Plug(test::kStreamIds, std::make_shared<sim::StreamController>(), {}, false);
        } else {
            sim::FrameControllerConfig config;
            config.deviceType = 0x3009;
            config.versionWord = 137;
            run.bus.Plug(test::kFrameIds, std::make_shared<sim::FrameController>(config), {},
                         false);
        }
        run.firmwarePath = run.TempFile("fw.dat", file);
        std::atomic<bool> closeAsked{false};
        const auto askClose = [&] {
            if (closeAsked.exchange(true)) return;
            run.toolkit.WithWindow([](platform::HeadlessWindow& w) { w.RequestClose(); });
        };
        run.toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
            const bool confirm = (box.type & platform::kMbOkCancel) != 0;
            if ((phase == Phase::kConfirmation && confirm) ||
                (phase == Phase::kResultBox && !confirm)) {
                askClose();  // queued while the box is open, handled by its modal loop
            }
            return platform::kIdOk;
        });
        run.toolkit.SetEventSink([&](const std::string& line) {
            if (phase == Phase::kTransfer && line.rfind("progress: 5", 0) == 0) askClose();
        });
        run.Start();
        run.Window().Click(IDC_USB_UPDATE);
        ASSERT_TRUE(run.WaitWorkersEnded(1)) << int(phase);
        for (int i = 0; i < 20000 && run.Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(run.Running())
            << "the window did not close after the worker, phase " << int(phase);
        EXPECT_TRUE(closeAsked);
        EXPECT_EQ(run.WorkersEnded(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(BothProtocols, Scenario,
                         ::testing::Values(Setup{true, "stream"}, Setup{false, "frame"}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
