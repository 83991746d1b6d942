// Hostile firmware files, on both protocols: each gets its defined outcome, and nothing goes to
// the controller for a file that is refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "frame/command_frame.h"
#include "image/firmware_writer.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "sim/stream_controller.h"
#include "support/app_harness.h"

namespace {

enum class Expect { kRefusedWithBox, kRefusedSilently, kFailedWithBox, kSucceeded };

const char* ExpectName(Expect e) {
    switch (e) {
        case Expect::kRefusedWithBox:
            return "refused with the not-recognized box";
        case Expect::kRefusedSilently:
            return "refused silently";
        case Expect::kFailedWithBox:
            return "failed with the failure box";
        case Expect::kSucceeded:
            return "succeeded";
    }
    return "?";
}

struct HostileCase {
    const char* name;
    // Makes the file (or directory, pipe...) at path for a controller of that protocol.
    std::function<void(const std::string& path, bool stream)> make;
    Expect stream, frame;
    // Runs at the confirmation box, with the path.
    std::function<void(const std::string& path)> atConfirmation;
};

std::vector<std::uint8_t> Good(bool stream, std::size_t size = 200) {
    return stream ? sim::SampleStreamFile(size, 138) : sim::SampleFrameFile(0x6006, size, 138);
}

void Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    ASSERT_TRUE(WriteFileBytes(path, bytes));
}

FirmwareRecord Sized(std::uint32_t imageSize, std::uint32_t type) {
    FirmwareRecord r = MakeRecord(138, 0x01018000, type, sim::SampleImage(64, 138, 1));
    r.header.imageSize = imageSize;
    return r;
}

const HostileCase kCases[] = {
    {"empty",
     [](const std::string& p, bool) { Write(p, {}); },
     Expect::kRefusedWithBox,
     Expect::kRefusedSilently,
     {}},
    {"27 bytes",
     [](const std::string& p, bool s) {
         auto b = Good(s);
         b.resize(27);
         Write(p, b);
     },
     Expect::kRefusedWithBox,
     Expect::kRefusedSilently,
     {}},
    {"header only",
     [](const std::string& p, bool s) {
         auto b = BuildFirmwareFile({Sized(100, s ? 0 : 0x6006)});
         b.resize(28);
         Write(p, b);
     },
     Expect::kRefusedWithBox,
     Expect::kRefusedWithBox,
     {}},
    {"imageSize huge",
     [](const std::string& p, bool s) {
         Write(p, BuildFirmwareFile({Sized(0xFFFFFF00u, s ? 0 : 0x6006)}));
     },
     Expect::kRefusedWithBox,
     Expect::kRefusedWithBox,
     {}},
    {"imageSize past the end",
     [](const std::string& p, bool s) { Write(p, BuildFirmwareFile({Sized(65, s ? 0 : 0x6006)})); },
     Expect::kRefusedWithBox,
     Expect::kRefusedWithBox,
     {}},
    {"thousands of empty records, then the image",
     [](const std::string& p, bool s) {
         std::vector<FirmwareRecord> records(3000, MakeRecord(138, 0, 0x5111, {}));
         records.push_back(
             MakeRecord(138, 0x01018000, s ? 0 : 0x6006, sim::SampleImage(200, 138, 2)));
         Write(p, BuildFirmwareFile(records));
     },
     // The message stream takes the first record, which holds nothing; the lookup by type
     // walks them all and finds the image.
     Expect::kRefusedWithBox,
     Expect::kSucceeded,
     {}},
    {"records chained to the 32-bit limit",
     [](const std::string& p, bool s) {
         Write(p, BuildFirmwareFile({Sized(0x7FFFFFE0u, 0x5111), Sized(64, s ? 0 : 0x6006)}));
     },
     Expect::kRefusedWithBox,
     Expect::kRefusedSilently,
     {}},
    {"sparse file above 2 GiB",
     [](const std::string& p, bool s) {
         Write(p, Good(s));
         ASSERT_EQ(::truncate(p.c_str(), 0x80001000LL), 0);
     },
     Expect::kRefusedWithBox,
     Expect::kRefusedSilently,
     {}},
    {"a directory",
     [](const std::string& p, bool) { ASSERT_EQ(::mkdir(p.c_str(), 0755), 0); },
     Expect::kRefusedSilently,
     Expect::kRefusedSilently,
     {}},
    {"a named pipe",
     [](const std::string& p, bool) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); },
     Expect::kRefusedSilently,
     Expect::kRefusedSilently,
     {}},
    {"a file that shrinks before the transfer",
     [](const std::string& p, bool s) { Write(p, Good(s, 2000)); }, Expect::kFailedWithBox,
     Expect::kFailedWithBox,
     [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 600), 0); }},
};

class HostileFiles : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(HostileFiles, GetTheirDefinedOutcome) {
    const HostileCase& c = kCases[std::get<0>(GetParam())];
    const bool stream = std::get<1>(GetParam());
    SCOPED_TRACE(std::string(c.name) + (stream ? " (message stream)" : " (command frames)"));
    const Expect expected = stream ? c.stream : c.frame;

    test::AppHarness h;
    std::shared_ptr<sim::StreamController> streamModel;
    std::shared_ptr<sim::FrameController> frameModel;
    if (stream) {
        streamModel = std::make_shared<sim::StreamController>();
        h.bus.Plug(test::kStreamIds, streamModel, {}, false);
    } else {
        sim::FrameControllerConfig config;
        config.deviceType = 0x6006;
        config.versionWord = 137;
        frameModel = std::make_shared<sim::FrameController>(config);
        h.bus.Plug(test::kFrameIds, frameModel, {}, false);
    }
    const std::string path = h.TempPath("hostile.dat");
    c.make(path, stream);
    h.firmwarePath = path;
    h.toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0 && c.atConfirmation) c.atConfirmation(path);
        return platform::kIdOk;
    });
    h.Start();
    ASSERT_TRUE(h.RunUpdate());

    std::vector<std::string> boxes;
    for (const auto& b : h.toolkit.Boxes()) boxes.push_back(b.text);
    const bool refused =
        expected == Expect::kRefusedWithBox || expected == Expect::kRefusedSilently;
    if (refused) {
        // Nothing reached the controller beyond the connection and the start of the update.
        if (stream) {
            EXPECT_FALSE(streamModel->Announced().has_value());
            EXPECT_EQ(streamModel->DataMessageCount(), 0u);
        } else {
            EXPECT_EQ(frameModel->RequestCount(CMD_PREPARE), 0u);
            EXPECT_EQ(frameModel->RequestCount(CMD_WRITE_DATA), 0u);
        }
        EXPECT_EQ(boxes, expected == Expect::kRefusedWithBox
                             ? std::vector<std::string>{"The Firmware not recognized!\n"}
                             : std::vector<std::string>{})
            << ExpectName(expected);
    } else if (expected == Expect::kFailedWithBox) {
        ASSERT_FALSE(boxes.empty());
        EXPECT_EQ(boxes.back(), "Firmware update failure\n");
        EXPECT_NE(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    } else {
        EXPECT_EQ(h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    }
    EXPECT_TRUE(h.Window().ControlSnapshot(1007).enabled);
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFiles,
                         ::testing::Combine(::testing::Range(0,
                                                             static_cast<int>(std::size(kCases))),
                                            ::testing::Bool()));

}  // namespace
