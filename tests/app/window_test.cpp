// The main window on the headless toolkit: start-up, device events, the update button, the
// title formats, progress arithmetic and the rules that keep a worker alone.
#include <gtest/gtest.h>

#include "app/res/dialog_102.h"
#include "sim/frame_controller.h"
#include "sim/scripted_device.h"
#include "sim/stream_controller.h"
#include "support/app_harness.h"

namespace {

using platform::HeadlessWindow;

std::shared_ptr<sim::FrameController> FrameWithVersion(std::uint32_t version) {
    sim::FrameControllerConfig config;
    config.deviceType = 0x6006;
    config.versionWord = version;
    return std::make_shared<sim::FrameController>(config);
}

TEST(Startup, WithoutAController) {
    test::AppHarness h;
    h.Start();
    HeadlessWindow& w = h.Window();
    EXPECT_FALSE(w.ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(w.ControlSnapshot(IDC_USB_UPDATE).text, "USB Update");
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31");
    EXPECT_FALSE(w.ControlSnapshot(IDC_STATIC).visible);
    EXPECT_EQ(w.ControlSnapshot(IDC_STATIC).text, "Firmware upgraded!");
    EXPECT_EQ(w.ControlSnapshot(IDC_INFO).text, h.Dlg().LoadLocalString(TXT_INSTRUCTIONS));
    EXPECT_EQ(w.ControlSnapshot(IDC_PROGRESS).position, 0);
    EXPECT_EQ(w.ControlSnapshot(IDC_PROGRESS).upper, 100);
    EXPECT_TRUE(h.toolkit.Boxes().empty());
    EXPECT_NE(w.BigIcon(), nullptr);
    EXPECT_EQ(w.BigIcon(), w.SmallIcon());
    EXPECT_EQ(w.BigIcon()->width, 32);
    EXPECT_EQ(h.bus.RegistrationCount(), 1);
    EXPECT_EQ(g_TransferState.load(), STATE_IDLE);
    EXPECT_EQ(g_StopWorker.load(), 1);
}

TEST(Startup, WithAControllerConnectsButShowsThePlainTitle) {
    test::AppHarness h;
    h.bus.Plug(test::kFrameIds, FrameWithVersion(137), {}, false);
    h.Start();
    HeadlessWindow& w = h.Window();
    EXPECT_TRUE(w.ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(g_DeviceVersion.load(), 137u);
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31");
    // The version was shown, then the plain title set last.
    const std::vector<std::string> events = h.toolkit.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "title: Zentrel Update v2.31(VozeVer V1.37)");
    EXPECT_EQ(events.back(), "title: Zentrel Update v2.31");
}

TEST(Startup, ControllerWithoutFirmwareShowsTheInstructionsBoxFirst) {
    test::AppHarness h;
    h.bus.Plug(test::kFrameIds, FrameWithVersion(0xFFFFFFFF), {}, false);
    h.Start();
    const std::vector<platform::BoxRequest> boxes = h.toolkit.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, h.Dlg().LoadLocalString(TXT_INSTRUCTIONS));
    EXPECT_EQ(boxes[0].caption, "Zentrel Update v2.31");
    EXPECT_EQ(boxes[0].type, platform::kMbOk);
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(h.Window().Title(), "Zentrel Update v2.31");
    const std::vector<std::string> events = h.toolkit.Events();
    EXPECT_EQ(events.back(), "title: Zentrel Update v2.31");
}

struct TitleCase {
    std::uint32_t version;
    const char* title;
};

class VersionTitle : public ::testing::TestWithParam<TitleCase> {};

TEST_P(VersionTitle, ArrivalShowsTheVersionInTheTitle) {
    test::AppHarness h;
    h.Start();
    h.bus.Plug(test::kFrameIds, FrameWithVersion(GetParam().version));
    h.WaitIdle();
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(h.Window().Title(), GetParam().title);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, VersionTitle,
    ::testing::Values(TitleCase{137, "Zentrel Update v2.31(VozeVer V1.37)"},
                      TitleCase{0x00020089, "Zentrel Update v2.31(VozeVer V1.37 beta2)"},
                      TitleCase{502, "Zentrel Update v2.31(VozeVer V5.02)"},
                      TitleCase{0xFFFF0000, "Zentrel Update v2.31(VozeVer V0.00 beta65535)"},
                      TitleCase{0, "Zentrel Update v2.31(VozeVer V0.00)"}));

TEST(DeviceEvents, FollowTheTableOfCodes) {
    test::AppHarness h;
    h.Start();
    HeadlessWindow& w = h.Window();

    // Arrival with nothing found: nothing changes.
    h.bus.RaiseDeviceChange(0x8000);
    h.WaitIdle();
    EXPECT_FALSE(w.ControlSnapshot(IDC_USB_UPDATE).enabled);

    const int first = h.bus.Plug(test::kFrameIds, FrameWithVersion(137));
    const int second = h.bus.Plug(test::kFrameIds, FrameWithVersion(200));
    h.WaitIdle();
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31(VozeVer V1.37)");

    // Removal while a controller is still found: nothing changes.
    h.ClearLines();
    h.bus.Unplug(first);
    h.WaitIdle();
    EXPECT_TRUE(w.ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31(VozeVer V1.37)");

    // Another code: no search at all.
    h.ClearLines();
    h.bus.RaiseDeviceChange(0x8001);
    h.WaitIdle();
    EXPECT_TRUE(h.Lines().empty());

    // Nodes changed with a controller: connects as on arrival.
    h.bus.RaiseDeviceChange(0x0007);
    h.WaitIdle();
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31(VozeVer V2.00)");

    // Removal with none left: disabled, plain title, the title text as a diagnostic line.
    h.ClearLines();
    h.bus.Unplug(second);
    h.WaitIdle();
    EXPECT_FALSE(w.ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31");
    EXPECT_EQ(h.CountLines("Zentrel Update v2.31"), 1u);

    // Nodes changed with none: disabled and the plain title.
    w.SetWindowText("other");
    h.bus.RaiseDeviceChange(0x10007);  // compared as a 16-bit code
    h.WaitIdle();
    EXPECT_EQ(w.Title(), "Zentrel Update v2.31");
}

TEST(UpdateButton, PressWhileTheControllerCannotBeOpenedOnlyHidesTheLabel) {
    test::AppHarness h;
    h.bus.Plug(test::kFrameIds, FrameWithVersion(137), {}, false);
    h.Start();
    h.bus.Faults().failOpens = 1;
    h.toolkit.ClearEvents();
    h.Window().Click(IDC_USB_UPDATE);
    h.WaitIdle();
    EXPECT_EQ(h.toolkit.Events(), std::vector<std::string>{"label: hidden"});
    EXPECT_FALSE(h.Dlg().IsWorkerRunning());
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

TEST(UpdateButton, AWorkerThatCannotStartLeavesTheButtonEnabled) {
    test::AppHarness h;
    h.bus.Plug(test::kFrameIds, FrameWithVersion(137), {}, false);
    h.Start();
    platform::Thread::FailNextStarts(1);
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kFailed);
}

struct ProgressCase {
    std::uint32_t imageSize, bytesSent;
    int position;
};

TEST(Progress, PositionIsComputedIn32BitUnsignedArithmetic) {
    const ProgressCase cases[] = {
        {800, 7, 0},        {800, 32, 4}, {800, 400, 50}, {800, 832, 104},
        {50, 64, 128},      {0, 10, 0},  // an empty image shows 0 rather than dividing by zero
        {100, 42949673, 0},              // the product wraps: 4294967300 mod 2^32 = 4, / 100
    };
    test::AppHarness h;
    h.Start();
    for (const ProgressCase& c : cases) {
        h.Dlg().m_ImageSize = c.imageSize;
        h.Dlg().m_BytesSent = c.bytesSent;
        h.Dlg().SetProgress();
        EXPECT_EQ(h.Window().ControlSnapshot(IDC_PROGRESS).positionsRequested.back(), c.position)
            << c.imageSize << " " << c.bytesSent;
    }
    EXPECT_EQ(h.Window().ControlSnapshot(IDC_PROGRESS).position, 0);  // the bar holds its range
}

TEST(Failure, ReportAfterASearchThatFoundNothingKeepsTheButtonDisabled) {
    test::AppHarness h;
    h.Start();
    h.Dlg().ReportUpdateFailure();
    const auto boxes = h.toolkit.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Firmware update failure\n");
    EXPECT_FALSE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_EQ(g_StopWorker.load(), 1);
}

TEST(Success, LabelAndBarChangeOnlyAfterTheBoxIsClosed) {
    test::AppHarness h;
    h.Start();
    h.Window().ControlSnapshot(IDC_PROGRESS);
    h.Dlg().m_ImageSize = 100;
    h.Dlg().m_BytesSent = 50;
    h.Dlg().SetProgress();
    bool checked = false;
    h.toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
        EXPECT_EQ(box.text, "\n Firmware upgraded! \n");
        EXPECT_FALSE(h.Window().ControlSnapshot(IDC_STATIC).visible);
        EXPECT_EQ(h.Window().ControlSnapshot(IDC_PROGRESS).position, 50);
        checked = true;
        return platform::kIdOk;
    });
    h.Dlg().ShowUpdateSuccess();
    EXPECT_TRUE(checked);
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_STATIC).visible);
    EXPECT_EQ(h.Window().ControlSnapshot(IDC_PROGRESS).position, 0);
}

}  // namespace
