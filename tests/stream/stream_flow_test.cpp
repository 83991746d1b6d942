// Whole message-stream updates on the simulated bus and the headless toolkit, in virtual time.
#include <gtest/gtest.h>

#include "app/res/dialog_102.h"
#include "image/firmware_writer.h"
#include "sim/sample_firmware.h"
#include "sim/scripted_device.h"
#include "sim/stream_controller.h"
#include "stream/message_codec.h"
#include "support/app_harness.h"

namespace {

using sim::Payload;

// A payload as the controller sends it: count byte, then the frame.
Payload Message(std::initializer_list<std::uint8_t> frame) {
    Payload p{};
    p[0] = static_cast<std::uint8_t>(frame.size());
    std::size_t i = 1;
    for (std::uint8_t b : frame) p[i++] = b;
    return p;
}

const Payload kDataRequest = Message({0x00, 0x16, 0x01, 0x00, FIRMWARE_DATA_REQ});

class StreamFlow : public ::testing::Test {
protected:
    test::AppHarness h;
    std::shared_ptr<sim::StreamController> controller;

    void Plug(sim::StreamControllerConfig config = {}, sim::DeviceIds ids = test::kStreamIds) {
        controller = std::make_shared<sim::StreamController>(config);
        h.bus.Plug(ids, controller, {}, false);
    }
    // A file of one record (and optionally more behind it); returns the image.
    std::vector<std::uint8_t> UseFirmware(std::size_t size, bool moreRecords = false,
                                          std::uint32_t version = 138) {
        std::vector<std::uint8_t> image = PatternImage(size, static_cast<std::uint32_t>(size));
        std::vector<FirmwareRecord> records{MakeRecord(version, 0x08004000, 0, image)};
        if (moreRecords)
            records.push_back(MakeRecord(version, 0x08004000, 0x6006, PatternImage(300, 7)));
        h.firmwarePath = h.TempFile("fw.dat", BuildFirmwareFile(records));
        return image;
    }
    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& b : h.toolkit.Boxes()) out.push_back(b.text);
        return out;
    }
};

TEST(StreamFlows, FlashImagesOfManySizesByteForByte) {
    struct Case {
        std::size_t size;
        bool moreRecords;
    };
    for (const Case c : {Case{20, false}, Case{32, false}, Case{100, false}, Case{100, true},
                         Case{65536, false}, Case{1000, true}}) {
        test::AppHarness run;
        auto model = std::make_shared<sim::StreamController>();
        run.bus.Plug(test::kStreamBIds, model, {}, false);
        std::vector<std::uint8_t> image = PatternImage(c.size, static_cast<std::uint32_t>(c.size));
        std::vector<FirmwareRecord> records{MakeRecord(200, 0x08004000, 0, image)};
        if (c.moreRecords) records.push_back(MakeRecord(200, 0, 0x6006, PatternImage(64, 3)));
        run.firmwarePath = run.TempFile("fw.dat", BuildFirmwareFile(records));
        run.Start();
        ASSERT_TRUE(run.RunUpdate()) << c.size;
        EXPECT_EQ(run.Dlg().LastOutcome(), UpdateOutcome::kSucceeded) << c.size;
        EXPECT_EQ(model->StoredImage(), image) << c.size;
        EXPECT_TRUE(model->UpdateComplete());
        EXPECT_EQ(model->CurrentVersion(), 200u);
        EXPECT_TRUE(run.Window().ControlSnapshot(IDC_STATIC).visible);
        EXPECT_TRUE(run.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    }
}

TEST_F(StreamFlow, HundredBytesTakeFourChunksAndEndOnTheFifthRequest) {
    Plug();
    const auto image = UseFirmware(100, /*moreRecords=*/true);  // the file goes on behind it
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(controller->DataMessageCount(), 4u);
    EXPECT_EQ(controller->DataRequestCount(), 5u);
    EXPECT_TRUE(controller->EndReceived());
    EXPECT_EQ(h.Window().ControlSnapshot(IDC_PROGRESS).positionsRequested,
              (std::vector<int>{0, 0, 64, 96, 128, 0}));
    EXPECT_EQ(g_TransferState.load(), STATE_IDLE);
    EXPECT_EQ(h.Dlg().m_BytesSent, 128u);
}

TEST_F(StreamFlow, OneSmallUpdateWritesTheseLinesAndEventsInOrder) {
    Plug();
    UseFirmware(20);
    h.Start();
    h.ClearLines();
    h.toolkit.ClearEvents();
    ASSERT_TRUE(h.RunUpdate());
    const std::vector<std::string> expectedLines = {
        "send() is OK!\n",
        "Bytes Sent: 1\n",
        " 44 Bytes received from sender\n",
        "firmware type 1\n",
        "SendFirmwarePacket cmd 1\n",
        "desVersion is 138\n",
        " 5 Bytes received from sender\n",
        "WriteHid 27 btye sucessful\n",
        "update file is 0x14\n",
        " 5 Bytes received from sender\n",
        "WriteHid 5 btye sucessful\n",
        "\nSET_FIRMWARE_DATA read_pos 0 offset 0x14\n\n",
        "update successful\n",
        " 5 Bytes received from sender\n",
        "SendFirmwarePacket cmd 2\n",
        "m_DevicePath:/dev/sim-hidraw1\n",
        "Exit Usb_UpdateThread\n",
    };
    EXPECT_EQ(h.Lines(), expectedLines);
    const std::vector<std::string> expectedEvents = {
        "label: hidden",
        "button: disabled",
        "progress: 0",
        "file-dialog: File type(*.dat)|*.dat||",
        "answer: " + *h.firmwarePath,
        "confirm: Firmware Version:  1.37\\n",
        "answer: OK",
        "progress: 100",
        "button: enabled",
        "box: \\n Firmware upgraded! \\n",
        "label: shown",
        "progress: 0",
        "button: enabled",
    };
    EXPECT_EQ(h.toolkit.Events(), expectedEvents);
}

TEST_F(StreamFlow, FirmwareType200IsUpdatableAs1) {
    sim::StreamControllerConfig config;
    config.firmwareType = 200;
    Plug(config);
    const auto image = UseFirmware(64);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(controller->StoredImage(), image);
}

TEST_F(StreamFlow, OtherFirmwareTypesStopWithTheBootModeBox) {
    sim::StreamControllerConfig config;
    config.firmwareType = 0;
    Plug(config);
    UseFirmware(64);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    const std::string bootMode = "Firmware update failure, please handle work in BOOT mode\n";
    EXPECT_EQ(Boxes(), std::vector<std::string>{bootMode});
    EXPECT_EQ(h.CountLines(bootMode), 1u);
    EXPECT_EQ(h.Lines().back(), "Exit Usb_UpdateThread\n");
    EXPECT_TRUE(h.toolkit.FileDialogs().empty());
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

TEST(StreamFlows, ControllerFailureReportsEndWithTheFailureBox) {
    for (std::uint8_t command : {FIRMWARE_FAIL, FIRMWARE_ERROR}) {
        test::AppHarness run;
        auto model = std::make_shared<sim::StreamController>();
        sim::StreamFaults faults;
        faults.failAtChunk = 2;
        faults.failCommand = command;
        model->SetFaults(faults);
        run.bus.Plug(test::kStreamIds, model, {}, false);
        run.firmwarePath = run.TempFile("fw.dat", sim::SampleStreamFile(200, 138));
        run.Start();
        ASSERT_TRUE(run.RunUpdate());
        std::vector<std::string> boxes;
        for (const auto& b : run.toolkit.Boxes()) boxes.push_back(b.text);
        EXPECT_EQ(boxes, (std::vector<std::string>{"Firmware Version:  1.37\n",
                                                   "Firmware update failure\n"}));
        EXPECT_EQ(run.Dlg().LastOutcome(), UpdateOutcome::kFailed);
        EXPECT_FALSE(run.Window().ControlSnapshot(IDC_STATIC).visible);
        EXPECT_FALSE(run.Dlg().m_File.IsOpen());
    }
}

TEST_F(StreamFlow, MinimumVersionRefusalsEndTheWorkerWithoutABox) {
    sim::StreamControllerConfig config;
    config.hardwareRevision = 2;  // product 0x105, revision 2: at least 5.02
    Plug(config);
    UseFirmware(64, false, 501);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_TRUE(h.toolkit.Boxes().empty());
    EXPECT_FALSE(controller->Announced().has_value());
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

TEST_F(StreamFlow, VersionQueryAtConnection) {
    sim::StreamControllerConfig config;
    config.version = 0x00020089;
    Plug(config);
    h.Start();
    EXPECT_EQ(g_DeviceVersion.load(), 0x00020089u);
    EXPECT_EQ(h.Window().Title(), "Zentrel Update v2.31");  // after start-up: plain title
    h.bus.RaiseDeviceChange(0x8000);
    h.WaitIdle();
    EXPECT_EQ(h.Window().Title(), "Zentrel Update v2.31(VozeVer V1.37 beta2)");
    EXPECT_EQ(h.CountLines("cur_devVersion 0x20089\n"), 2u);
}

TEST_F(StreamFlow, VersionNoneShowsTheInstructionsAndEndsTheQuery) {
    sim::StreamControllerConfig config;
    config.version = 0xFFFFFFFF;
    Plug(config);
    h.Start();
    ASSERT_EQ(h.toolkit.Boxes().size(), 1u);
    EXPECT_EQ(h.toolkit.Boxes()[0].text, h.Dlg().LoadLocalString(TXT_INSTRUCTIONS));
    EXPECT_LT(h.clock.Now(), 1);  // answered at once, no time-outs
}

TEST_F(StreamFlow, SilentControllerBoundsTheQueryAndTheUpdate) {
    auto silent = std::make_shared<sim::StreamController>();
    sim::StreamFaults faults;
    faults.silent = true;
    silent->SetFaults(faults);
    h.bus.Plug(test::kStreamIds, silent, {}, false);
    h.firmwarePath = h.TempFile("fw.dat", sim::SampleStreamFile(64, 138));
    h.Start();
    // The query gives up after about 2 s of time-outs; the version stays pending.
    EXPECT_GE(h.clock.Now(), 2000);
    EXPECT_LT(h.clock.Now(), 2300);
    EXPECT_EQ(g_DeviceVersion.load(), VERSION_PENDING);
    EXPECT_EQ(h.Window().Title(), "Zentrel Update v2.31");

    const double before = h.clock.Now();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_GE(h.clock.Now() - before, 5000);
    EXPECT_LT(h.clock.Now() - before, 5500);
    ASSERT_EQ(h.toolkit.Boxes().size(), 1u);
    EXPECT_EQ(h.toolkit.Boxes()[0].text, "Firmware update failure\n");
    EXPECT_GE(silent->ReadFailedCount(), 20u);  // one per 200 ms time-out
}

TEST_F(StreamFlow, UnplugDuringTheTransferEndsWithTheFailureBox) {
    auto model = std::make_shared<sim::StreamController>();
    sim::StreamFaults faults;
    faults.unplugAtChunk = 3;
    model->SetFaults(faults);
    h.bus.Plug(test::kStreamIds, model, {}, false);
    h.firmwarePath = h.TempFile("fw.dat", sim::SampleStreamFile(500, 138));
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    ASSERT_EQ(h.toolkit.Boxes().size(), 2u);
    EXPECT_EQ(h.toolkit.Boxes()[1].text, "Firmware update failure\n");
    EXPECT_FALSE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_LT(h.clock.Now(), 1000);  // promptly, not by the silence bound
}

TEST_F(StreamFlow, StartThatCannotBeWrittenStillRefreshesTheButton) {
    Plug();
    UseFirmware(64);
    h.Start();
    h.bus.Faults().failWrites = 1;
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(h.CountLines("send() failed with error code 0\n"), 1u);
    EXPECT_EQ(h.CountLines("Exit Usb_UpdateThread\n"), 0u);  // the worker ends at once
    EXPECT_TRUE(h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
    EXPECT_TRUE(h.toolkit.Boxes().empty());
}

// A controller that answers MSG_START with a data request (and the version query as usual).
std::vector<Payload> RequestOnStart(const Payload& in) {
    if (in[2] == MSG_START) return {kDataRequest};
    if (in[2] == MSG_COMMAND && in[5] == GET_FIRMWARE_VERSION)
        return {Message({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x00, 0x00})};
    return {};
}

TEST_F(StreamFlow, DataRequestInTheIdleStateEndsWithSuccess) {
    auto device = std::make_shared<sim::ScriptedDevice>(RequestOnStart);
    h.bus.Plug(test::kStreamIds, device, {}, false);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    EXPECT_EQ(h.CountLines("SendFirmwarePacket cmd 2\n"), 1u);
}

TEST_F(StreamFlow, DataRequestDuringTheFirstQueryIsIgnored) {
    // Answers the version query with a data request first: the transfer state is still 0.
    auto device = std::make_shared<sim::ScriptedDevice>([](const Payload& in) {
        std::vector<Payload> out;
        if (in[2] == MSG_COMMAND && in[5] == GET_FIRMWARE_VERSION) {
            out.push_back(kDataRequest);
            out.push_back(
                Message({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x00, 0x00}));
        }
        return out;
    });
    h.bus.Plug(test::kStreamIds, device, {}, false);
    h.Start();
    EXPECT_TRUE(h.toolkit.Boxes().empty());
    EXPECT_EQ(h.CountLines("SendFirmwarePacket cmd 2\n"), 0u);
    EXPECT_EQ(g_DeviceVersion.load(), 137u);
}

TEST_F(StreamFlow, DataRequestWhileSendingWithTheFileClosedFails) {
    auto device = std::make_shared<sim::ScriptedDevice>(RequestOnStart);
    h.bus.Plug(test::kStreamIds, device, {}, false);
    h.Start();
    g_TransferState = STATE_SENDING;  // left behind by an update that was stopped
    ASSERT_TRUE(h.RunUpdate());
    ASSERT_EQ(h.toolkit.Boxes().size(), 1u);
    EXPECT_EQ(h.toolkit.Boxes()[0].text, "Firmware update failure\n");
}

// Wraps a controller and sends a version reply of its own in front of its device description.
class VersionOnStart final : public sim::DeviceModel {
public:
    explicit VersionOnStart(std::shared_ptr<sim::StreamController> inner)
        : m_Inner(std::move(inner)) {}
    void OnOutputReport(const Payload& payload, sim::ReportSink& sink) override {
        if (payload[2] == MSG_START)
            sink.SendInput(
                Message({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0xF6, 0x01, 0x00, 0x00}));
        m_Inner->OnOutputReport(payload, sink);
    }

private:
    std::shared_ptr<sim::StreamController> m_Inner;
};

TEST_F(StreamFlow, VersionReplyDuringAnUpdateChangesTheTitle) {
    auto inner = std::make_shared<sim::StreamController>();
    h.bus.Plug(test::kStreamIds, std::make_shared<VersionOnStart>(inner), {}, false);
    const auto image = UseFirmware(40);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    EXPECT_EQ(h.Window().Title(), "Zentrel Update v2.31(VozeVer V5.02)");
    EXPECT_EQ(inner->StoredImage(), image);
}

TEST_F(StreamFlow, NoSecondWorkerWhileOneRuns) {
    Plug();
    const auto image = UseFirmware(64);
    h.toolkit.SetBoxScript([](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0) return std::nullopt;  // left open
        return platform::kIdOk;
    });
    h.Start();
    h.Window().Click(IDC_USB_UPDATE);
    // Wait until the confirmation is open, then press again and send device events.
    for (int i = 0; i < 2000 && h.toolkit.Boxes().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(h.toolkit.Boxes().size(), 1u);
    h.Dlg().OnUsbUpdate();  // as a click would, even with the button enabled
    h.bus.RaiseDeviceChange(0x8000);
    h.WaitIdle();
    EXPECT_TRUE(h.Dlg().IsWorkerRunning());
    h.Window().AnswerOpenBox(platform::kIdOk);
    ASSERT_TRUE(h.WaitWorkersEnded(1));
    h.WaitIdle();
    EXPECT_EQ(h.WorkersEnded(), 1);
    EXPECT_EQ(controller->StoredImage(), image);
    // The connection skipped during the update is made at its end: the title shows the version.
    EXPECT_EQ(h.Window().Title(), "Zentrel Update v2.31(VozeVer V1.38)");
}

TEST_F(StreamFlow, ClosingDuringAnUpdateWaitsForTheWorker) {
    Plug();
    UseFirmware(64);
    h.toolkit.SetBoxScript([](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0) return std::nullopt;
        return platform::kIdOk;
    });
    h.Start();
    h.Window().Click(IDC_USB_UPDATE);
    for (int i = 0; i < 2000 && h.toolkit.Boxes().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    h.Window().RequestClose();
    h.WaitIdle();
    EXPECT_TRUE(h.Running());  // held back
    h.Window().AnswerOpenBox(platform::kIdOk);
    ASSERT_TRUE(h.WaitWorkersEnded(1));
    for (int i = 0; i < 5000 && h.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(h.Running());
    EXPECT_FALSE(controller->UpdateComplete());  // the close stopped the transfer
}

}  // namespace

namespace {

TEST(StreamThreads, DeviceEventsDuringAnUpdateNeitherConnectNorDisturbIt) {
    test::AppHarness h;
    auto model = std::make_shared<sim::StreamController>();
    h.bus.Plug(test::kStreamIds, model, {}, false);
    const std::vector<std::uint8_t> file = sim::SampleStreamFile(65536, 138);
    h.firmwarePath = h.TempFile("fw.dat", file);
    h.Start();
    h.Window().Click(IDC_USB_UPDATE);
    // Arrival and node-change events keep coming while the worker runs and as it ends.
    std::atomic<bool> stop{false};
    std::thread events([&] {
        for (int i = 0; !stop && i < 100000; ++i) {
            h.bus.RaiseDeviceChange(i % 2 ? 0x8000 : 0x0007);
            std::this_thread::yield();
        }
    });
    const bool ended = h.WaitWorkersEnded(1);
    stop = true;
    events.join();
    ASSERT_TRUE(ended);
    h.WaitIdle();
    h.bus.Settle();
    EXPECT_EQ(model->StoredImage(), sim::ImageFor(file, std::nullopt));
    EXPECT_EQ(h.WorkersEnded(), 1);
    EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
}

TEST(StreamThreads, NoDeviceEventReachesAClosedWindow) {
    test::AppHarness h;
    h.Start();
    h.Close();
    // The registration ended with the window: these find no target.
    const int id = h.bus.Plug(test::kStreamIds, std::make_shared<sim::StreamController>());
    h.bus.Unplug(id);
    EXPECT_EQ(h.bus.RegistrationCount(), 0);
}

}  // namespace
