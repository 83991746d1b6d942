// The full-speed link model of the simulated bus: reports cross at whole milliseconds, one per
// millisecond in each direction, the controller answers once a report has arrived, and the
// controllers' flash times push their answers back. In virtual time the crossing times are exact;
// one test checks on the real clock that the device really waits for them.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/command_frame.h"
#include "image/firmware_writer.h"
#include "platform/clock.h"
#include "sim/bus.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/scripted_device.h"
#include "sim/stream_controller.h"
#include "stream/message_codec.h"
#include "support/app_harness.h"

namespace {

using sim::Payload;

constexpr sim::DeviceIds kIds{0x3A7C, 0x3208};

Payload Numbered(std::uint8_t n) {
    Payload p{};
    p[0] = n;
    return p;
}

// Echoes each report `copies` times, and notes the clock time at which it saw each one.
class EchoDevice final : public sim::DeviceModel {
public:
    explicit EchoDevice(int copies = 1) : m_Copies(copies) {}
    void OnOutputReport(const Payload& payload, sim::ReportSink& sink) override {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_SeenAt.push_back(platform::GetClock().Now());
        }
        for (int i = 0; i < m_Copies; ++i) sink.SendInput(payload);
    }
    std::vector<double> SeenAt() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_SeenAt;
    }

private:
    int m_Copies;
    mutable std::mutex m_Mutex;
    std::vector<double> m_SeenAt;
};

// A bus on its own clock with one device and an open read-write channel pair.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetClock(&clock); }
    void TearDown() override { platform::SetClock(nullptr); }

    void Plug(std::shared_ptr<sim::DeviceModel> model) {
        bus.SetLinkModel(sim::LinkModel::kFullSpeed);
        bus.Plug(kIds, std::move(model), "/dev/link", false);
        write = bus.Open("/dev/link", platform::HidAccess::kWriteOnly, false);
        read = bus.Open("/dev/link", platform::HidAccess::kReadOnly, true);
        ASSERT_NE(write, platform::kInvalidHandle);
        ASSERT_NE(read, platform::kInvalidHandle);
    }
    bool Write(const Payload& payload) {
        std::uint8_t report[platform::kReportSize] = {};
        std::copy(payload.begin(), payload.end(), report + 1);
        return bus.WriteReport(write, report);
    }
    // The payload's first byte of the next report, or -1 when none came within timeoutMs.
    int Read(std::uint32_t timeoutMs = 200) {
        std::uint8_t report[platform::kReportSize] = {};
        if (bus.ReadReport(read, report, timeoutMs) != platform::kWaitCompleted) return -1;
        return report[1];
    }
    std::vector<double> Times(bool out) const {
        std::vector<double> times;
        for (const sim::TraceRecord& r : bus.Trace()) {
            if (r.out == out) times.push_back(r.ms);
        }
        return times;
    }

    platform::VirtualClock clock;
    sim::SimulatedBus bus;
    platform::HidHandle write = platform::kInvalidHandle;
    platform::HidHandle read = platform::kInvalidHandle;
};

TEST(LinkModelNames, ParseAsTheCommandLineWritesThem) {
    sim::LinkModel link = sim::LinkModel::kFullSpeed;
    EXPECT_TRUE(sim::ParseLinkModel("none", &link));
    EXPECT_EQ(link, sim::LinkModel::kNone);
    EXPECT_TRUE(sim::ParseLinkModel("full-speed", &link));
    EXPECT_EQ(link, sim::LinkModel::kFullSpeed);
    EXPECT_FALSE(sim::ParseLinkModel("fullspeed", &link));
    EXPECT_FALSE(sim::ParseLinkModel("", &link));
    EXPECT_EQ(link, sim::LinkModel::kFullSpeed);  // untouched by a refused name
}

TEST_F(LinkTest, AReportAndItsAnswerEachCrossAtTheNextWholeMillisecond) {
    Plug(std::make_shared<EchoDevice>());
    clock.AdvanceTo(0.25);
    ASSERT_TRUE(Write(Numbered(7)));
    EXPECT_EQ(Read(), 7);
    EXPECT_EQ(clock.Now(), 2.0);  // out at 1, answered at once, back at 2
    const std::vector<sim::TraceRecord> trace = bus.Trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_TRUE(trace[0].out);
    EXPECT_EQ(trace[0].ms, 1.0);
    EXPECT_EQ(trace[0].hostMs, 0.25);  // when the host wrote it
    EXPECT_FALSE(trace[1].out);
    EXPECT_EQ(trace[1].ms, 2.0);
    EXPECT_EQ(trace[1].hostMs, 2.0);
    EXPECT_EQ(trace[1].report[1], 7);

    // Written at a whole millisecond, a report waits for the next one.
    ASSERT_TRUE(Write(Numbered(8)));
    EXPECT_EQ(Read(), 8);
    EXPECT_EQ(clock.Now(), 4.0);
}

TEST_F(LinkTest, EachDirectionCarriesOneReportPerMillisecond) {
    Plug(std::make_shared<EchoDevice>(2));
    ASSERT_TRUE(Write(Numbered(1)));
    ASSERT_TRUE(Write(Numbered(2)));
    ASSERT_TRUE(Write(Numbered(3)));
    for (int expected : {1, 1, 2, 2, 3, 3}) EXPECT_EQ(Read(), expected);
    EXPECT_EQ(Times(true), (std::vector<double>{1, 2, 3}));
    // The second answer to 1 takes millisecond 3, so the answers to 2 and 3 queue behind it.
    EXPECT_EQ(Times(false), (std::vector<double>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(Read(5), -1);  // nothing more
}

TEST_F(LinkTest, AReadEndsAtItsTimeOutWhenTheAnswerCrossesLater) {
    auto device = std::make_shared<sim::ScriptedDevice>(
        [](const Payload& p) { return std::vector<Payload>{p}; }, 0);
    Plug(device);
    ASSERT_TRUE(Write(Numbered(4)));
    // The answer crosses at 2: a read of 1 ms is over before it.
    EXPECT_EQ(Read(1), -1);
    EXPECT_EQ(clock.Now(), 1.0);
    EXPECT_EQ(Read(1), 4);
    EXPECT_EQ(clock.Now(), 2.0);
}

TEST_F(LinkTest, WithoutTheLinkModelReportsCrossWhenWritten) {
    bus.Plug(kIds, std::make_shared<EchoDevice>(), "/dev/link", false);
    write = bus.Open("/dev/link", platform::HidAccess::kWriteOnly, false);
    read = bus.Open("/dev/link", platform::HidAccess::kReadOnly, true);
    EXPECT_EQ(bus.GetLinkModel(), sim::LinkModel::kNone);
    clock.AdvanceTo(0.25);
    ASSERT_TRUE(Write(Numbered(5)));
    EXPECT_EQ(Read(), 5);
    EXPECT_EQ(clock.Now(), 0.25);
    for (const sim::TraceRecord& r : bus.Trace()) {
        EXPECT_EQ(r.ms, 0.25);
        EXPECT_EQ(r.hostMs, 0.25);
    }
}

TEST_F(LinkTest, RecordsGoOnlyToTheSinkWhenTheTraceIsNotKept) {
    Plug(std::make_shared<EchoDevice>());
    std::vector<double> seen;
    std::mutex mutex;
    bus.SetTraceSink([&](const sim::TraceRecord& r) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(r.ms);
    });
    bus.KeepTrace(false);
    ASSERT_TRUE(Write(Numbered(6)));
    EXPECT_EQ(Read(), 6);
    EXPECT_TRUE(bus.Trace().empty());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, (std::vector<double>{1, 2}));
}

// A command-frame request of the given command, with a block of bytes for the writes.
Payload FrameRequest(std::uint16_t command, std::uint32_t size) {
    Payload frame{};
    const std::uint8_t block[4] = {1, 2, 3, 4};
    const bool write = command == CMD_WRITE_DATA;
    EncodeRequestFrame(
        frame, write ? std::span<const std::uint8_t>(block) : std::span<const std::uint8_t>(),
        write ? 4 : 0, 0x08014000, size, command, false);
    return frame;
}

TEST_F(LinkTest, FrameControllersFlashTimeDelaysTheAcknowledgement) {
    sim::FrameControllerConfig config;
    config.flashTiming.writeMs = 3;
    config.flashTiming.prepareMsPerUnit = 10;
    Plug(std::make_shared<sim::FrameController>(config));
    // A block arrives at 1, is written by 4 and acknowledged at the millisecond after: 5.
    ASSERT_TRUE(Write(FrameRequest(CMD_WRITE_DATA, 4)));
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 5.0);
    // Preparing 40000 bytes takes two 32 KiB units: arrives at 6, done by 26, answered at 27.
    ASSERT_TRUE(Write(FrameRequest(CMD_PREPARE, 40000)));
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 27.0);
    // A request the flash need not work on is answered at the millisecond after its arrival.
    ASSERT_TRUE(Write(FrameRequest(CMD_FINISH, 0)));
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 29.0);
}

TEST_F(LinkTest, TheControllerTakesNoReportWhileItsFlashIsBusy) {
    sim::FrameControllerConfig config;
    config.flashTiming.writeMs = 5;
    auto controller = std::make_shared<sim::FrameController>(config);
    Plug(controller);
    // Two blocks written back to back cross at 1 and 2; the second waits for the first's 5 ms.
    ASSERT_TRUE(Write(FrameRequest(CMD_WRITE_DATA, 4)));
    ASSERT_TRUE(Write(FrameRequest(CMD_WRITE_DATA, 4)));
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 7.0);  // 1 + 5, then the next millisecond
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 12.0);  // started at 6, done by 11
}

TEST(FlashTimeWithoutLink, DelaysTheAnswerByTheFlashTime) {
    platform::VirtualClock clock;
    platform::SetClock(&clock);
    {
        sim::SimulatedBus bus;
        sim::FrameControllerConfig config;
        config.flashTiming.writeMs = 3;
        bus.Plug(kIds, std::make_shared<sim::FrameController>(config), "/dev/x", false);
        const auto w = bus.Open("/dev/x", platform::HidAccess::kWriteOnly, false);
        const auto r = bus.Open("/dev/x", platform::HidAccess::kReadOnly, true);
        std::uint8_t report[platform::kReportSize] = {};
        const Payload request = FrameRequest(CMD_WRITE_DATA, 4);
        std::copy(request.begin(), request.end(), report + 1);
        ASSERT_TRUE(bus.WriteReport(w, report));
        EXPECT_EQ(bus.ReadReport(r, report, 2), platform::kWaitTimeout);
        EXPECT_EQ(clock.Now(), 2.0);
        EXPECT_EQ(bus.ReadReport(r, report, 2), platform::kWaitCompleted);
        EXPECT_EQ(clock.Now(), 3.0);
    }
    platform::SetClock(nullptr);
}

TEST_F(LinkTest, StreamControllersFlashTimeDelaysTheNextRequest) {
    sim::StreamControllerConfig config;
    config.flashTiming.prepareMsPerUnit = 4;
    config.flashTiming.writeMs = 2;
    Plug(std::make_shared<sim::StreamController>(config));
    const auto send = [&](std::uint8_t command, std::span<const std::uint8_t> payload) {
        std::uint8_t frame[kFrameBufferSize];
        const std::size_t length = BuildCommandFrame(command, payload, frame);
        Payload report{};
        ASSERT_NE(ComposeReportMessage(std::span(frame, length), report), 0u);
        ASSERT_TRUE(Write(report));
    };
    // 70000 bytes announced: three units to prepare, 12 ms from its arrival at 1.
    send(SET_FIRMWARE_INFO, BuildFirmwareDescription({138, 0x08004000, 70000}));
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 14.0);
    const std::uint8_t chunk[32] = {};
    send(SET_FIRMWARE_DATA, chunk);  // arrives at 15, stored by 17
    EXPECT_NE(Read(), -1);
    EXPECT_EQ(clock.Now(), 18.0);
}

// On the real clock: the device sees each report no earlier than its millisecond, and the host
// cannot read the answer before the answer's millisecond. Only lower bounds are checked, so a
// busy machine cannot make it fail; the few exchanges take some milliseconds of real time.
TEST(RealClockLink, TheDeviceWaitsForEachCrossing) {
    platform::RealClock clock;
    platform::SetClock(&clock);
    {
        sim::SimulatedBus bus;
        bus.SetLinkModel(sim::LinkModel::kFullSpeed);
        auto device = std::make_shared<EchoDevice>();
        std::mutex sinkMutex;
        std::vector<double> sunk;  // crossing times, in the order the sink saw them
        bus.SetTraceSink([&](const sim::TraceRecord& r) {
            std::lock_guard<std::mutex> lock(sinkMutex);
            sunk.push_back(r.ms);
        });
        bus.Plug(kIds, device, "/dev/real", false);
        const auto w = bus.Open("/dev/real", platform::HidAccess::kWriteOnly, false);
        const auto r = bus.Open("/dev/real", platform::HidAccess::kReadOnly, true);
        std::vector<double> readAt;
        for (std::uint8_t n = 1; n <= 5; ++n) {
            std::uint8_t report[platform::kReportSize] = {};
            report[1] = n;
            ASSERT_TRUE(bus.WriteReport(w, report));
            ASSERT_EQ(bus.ReadReport(r, report, 1000), platform::kWaitCompleted);
            EXPECT_EQ(report[1], n);
            readAt.push_back(clock.Now());
        }
        const std::vector<sim::TraceRecord> trace = bus.Trace();
        ASSERT_EQ(trace.size(), 10u);
        const std::vector<double> seen = device->SeenAt();
        ASSERT_EQ(seen.size(), 5u);
        for (std::size_t i = 0; i < 5; ++i) {
            const sim::TraceRecord& out = trace[2 * i];
            const sim::TraceRecord& in = trace[2 * i + 1];
            ASSERT_TRUE(out.out);
            ASSERT_FALSE(in.out);
            EXPECT_EQ(out.ms, std::floor(out.hostMs) + 1) << i;
            EXPECT_GE(seen[i], out.ms) << i;
            EXPECT_EQ(in.ms, out.ms + 1) << i;
            EXPECT_GE(in.hostMs, in.ms) << i;
            EXPECT_GE(readAt[i], in.ms) << i;
        }
        // The sink, called from the host's and the device's threads, sees them in that order.
        std::lock_guard<std::mutex> lock(sinkMutex);
        ASSERT_EQ(sunk.size(), trace.size());
        for (std::size_t i = 0; i < trace.size(); ++i) EXPECT_EQ(sunk[i], trace[i].ms) << i;
    }
    platform::SetClock(nullptr);
}

// Whole updates in virtual time through the link: with no fault and no flash time the host
// keeps every millisecond, so an update takes exactly its exchanges at 2 ms each plus the
// primitives' fixed pauses, from the first report after the confirmation to the last.
double TransferSpan(const sim::SimulatedBus& bus, double confirmedAt, std::size_t* reports) {
    double first = -1, last = -1;
    *reports = 0;
    for (const sim::TraceRecord& r : bus.Trace()) {
        if (!r.out || r.hostMs < confirmedAt) continue;
        if (first < 0) first = r.hostMs;
        last = r.hostMs;
        ++*reports;
    }
    return last - first;
}

// Answers every box with OK, as the harness does, and notes the time of the confirmation.
std::shared_ptr<std::atomic<double>> NoteConfirmation(test::AppHarness& h) {
    auto at = std::make_shared<std::atomic<double>>(-1.0);
    h.toolkit.SetBoxScript([&h, at](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0) at->store(h.clock.Now());
        return platform::kIdOk;
    });
    return at;
}

void ExpectWholeMillisecondsOneApart(const sim::SimulatedBus& bus) {
    double lastOut = -1, lastIn = -1;
    for (const sim::TraceRecord& r : bus.Trace()) {
        double& last = r.out ? lastOut : lastIn;
        ASSERT_EQ(r.ms, std::floor(r.ms));
        ASSERT_GE(r.ms, last + 1);
        last = r.ms;
    }
}

TEST(LinkUpdates, CommandFramesTakeTwoMillisecondsPerBlockPlusThePauses) {
    test::AppHarness h;
    h.bus.SetLinkModel(sim::LinkModel::kFullSpeed);
    sim::FrameControllerConfig config;
    config.deviceType = 0x6006;
    config.versionWord = 137;
    auto controller = std::make_shared<sim::FrameController>(config);
    h.bus.Plug(test::kFrameIds, controller, {}, false);
    const std::size_t size = 100 * kMaxBlock;
    const std::vector<std::uint8_t> file = sim::SampleFrameFile(0x6006, size, 138);
    h.firmwarePath = h.TempFile("fw.dat", file);
    const std::shared_ptr<std::atomic<double>> confirmedAt = NoteConfirmation(h);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    ASSERT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    EXPECT_EQ(controller->ReadFlash(0x01018000, size), sim::ImageFor(file, 0x6006));
    std::size_t reports = 0;
    const double span = TransferSpan(h.bus, confirmedAt->load(), &reports);
    // Prepare, 100 blocks, prepare of the version word, version word, finish.
    EXPECT_EQ(reports, 104u);
    EXPECT_EQ(span, 2 * 1000.0 + (100 + 1) * 2.0);
    ExpectWholeMillisecondsOneApart(h.bus);
}

TEST(LinkUpdates, MessageStreamTakesTwoMillisecondsPerDataMessage) {
    test::AppHarness h;
    h.bus.SetLinkModel(sim::LinkModel::kFullSpeed);
    auto controller = std::make_shared<sim::StreamController>();
    h.bus.Plug(test::kStreamIds, controller, {}, false);
    const std::vector<std::uint8_t> image = PatternImage(128 * kFirmwareChunkSize - 5, 9);
    h.firmwarePath =
        h.TempFile("fw.dat", BuildFirmwareFile({MakeRecord(138, 0x08004000, 0, image)}));
    const std::shared_ptr<std::atomic<double>> confirmedAt = NoteConfirmation(h);
    h.Start();
    ASSERT_TRUE(h.RunUpdate());
    ASSERT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    EXPECT_EQ(controller->StoredImage(), image);
    std::size_t reports = 0;
    const double span = TransferSpan(h.bus, confirmedAt->load(), &reports);
    // The description, 128 data messages, the end; no pauses.
    EXPECT_EQ(reports, 130u);
    EXPECT_EQ(span, 129 * 2.0);
    ExpectWholeMillisecondsOneApart(h.bus);
}

}  // namespace
