// Whole command-frame updates on the simulated bus and the headless toolkit, in virtual time,
// with the controller's flash compared with the image byte for byte.
#include <gtest/gtest.h>

#include "app/res/dialog_102.h"
#include "frame/address_map.h"
#include "frame/command_frame.h"
#include "image/firmware_writer.h"
#include "sim/frame_controller.h"
#include "sim/sample_firmware.h"
#include "support/app_harness.h"

namespace {

std::uint32_t Word(const sim::Payload& p, std::size_t at) {
    return static_cast<std::uint32_t>(p[at]) | static_cast<std::uint32_t>(p[at + 1]) << 8 |
           static_cast<std::uint32_t>(p[at + 2]) << 16 |
           static_cast<std::uint32_t>(p[at + 3]) << 24;
}
std::uint16_t CommandOf(const sim::Payload& p) {
    return static_cast<std::uint16_t>(p[1] | p[2] << 8);
}

std::vector<sim::Payload> FramesOf(const sim::FrameController& c, std::uint16_t command) {
    std::vector<sim::Payload> out;
    for (const sim::Payload& p : c.ReceivedFrames()) {
        if (CommandOf(p) == command) out.push_back(p);
    }
    return out;
}

struct FrameRun {
    test::AppHarness h;
    std::shared_ptr<sim::FrameController> controller;
    std::vector<std::uint8_t> file;

    explicit FrameRun(std::optional<std::uint32_t> type, std::uint32_t version = 137) {
        sim::FrameControllerConfig config;
        config.deviceType = type;
        config.versionWord = version;
        controller = std::make_shared<sim::FrameController>(config);
        h.bus.Plug(test::kFrameIds, controller, {}, false);
    }
    void UseFile(std::vector<std::uint8_t> bytes) {
        file = std::move(bytes);
        h.firmwarePath = h.TempFile("fw.dat", file);
    }
    std::vector<std::uint8_t> Flash(std::optional<std::uint32_t> type, std::size_t size) const {
        return controller->ReadFlash(AddressMapFor(type).appBase, static_cast<std::uint32_t>(size));
    }
};

struct FlashCase {
    std::optional<std::uint32_t> type;  // nullopt: no answer to the type query
    std::size_t size;
};

class FrameFlash : public ::testing::TestWithParam<FlashCase> {};

TEST_P(FrameFlash, StoresTheImageAtTheMapsApplicationBase) {
    const FlashCase c = GetParam();
    FrameRun run(c.type);
    run.UseFile(sim::SampleFrameFile(c.type, c.size, 0x00010089));
    run.h.Start();
    ASSERT_TRUE(run.h.RunUpdate());
    EXPECT_EQ(run.h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    const std::vector<std::uint8_t> image = sim::ImageFor(run.file, c.type);
    ASSERT_EQ(image.size(), c.size);
    EXPECT_EQ(run.Flash(c.type, c.size), image);
    EXPECT_TRUE(run.controller->FinishReceived());

    const AddressMap map = AddressMapFor(c.type);
    EXPECT_EQ(run.h.Dlg().m_AppBase, map.appBase);
    EXPECT_EQ(run.h.Dlg().m_VersionAddress, map.versionAddress);
    const bool crc = c.type && IsCrcDeviceTypeCode(*c.type);
    // Every data block goes to the application base plus its offset, with the whole size.
    std::uint32_t expectedAddress = map.appBase;
    for (const sim::Payload& block : FramesOf(*run.controller, CMD_WRITE_DATA)) {
        EXPECT_EQ(Word(block, 13), expectedAddress);
        EXPECT_EQ(Word(block, 9), c.size);
        const std::uint16_t length = static_cast<std::uint16_t>(block[5] | block[6] << 8);
        const std::uint16_t crcWord = static_cast<std::uint16_t>(block[7] | block[8] << 8);
        EXPECT_EQ(crcWord, crc ? Crc16Modbus(block.data() + 17, length) : 0);
        expectedAddress += length;
    }
    // The image region is prepared once, at the image's address; CRC types round it up to 32 KiB
    // and prepare the version word on its own.
    const std::vector<sim::Payload> prepares = FramesOf(*run.controller, CMD_PREPARE);
    ASSERT_EQ(prepares.size(), crc ? 2u : 1u);
    const std::uint32_t expectedSize =
        crc ? static_cast<std::uint32_t>((c.size + 0x7FFF) & ~std::size_t{0x7FFF})
            : static_cast<std::uint32_t>(c.size);
    EXPECT_EQ(Word(prepares[0], 9), expectedSize);
    EXPECT_EQ(Word(prepares[0], 13), map.appBase);  // the samples' imageAddress
    if (crc) {
        EXPECT_EQ(Word(prepares[1], 9), 32u);
        EXPECT_EQ(Word(prepares[1], 13), map.versionAddress);
    }
    // The new version word is read back on the next connection.
    run.h.bus.RaiseDeviceChange(0x0007);
    run.h.WaitIdle();
    EXPECT_EQ(g_DeviceVersion.load(), 0x00010089u);
    EXPECT_EQ(run.h.Window().Title(), "Zentrel Update v2.31(VozeVer V1.37 beta1)");
}

INSTANTIATE_TEST_SUITE_P(
    TypesAndSizes, FrameFlash,
    ::testing::Values(FlashCase{0x3009, 1}, FlashCase{0x3009, 46}, FlashCase{0x3009, 100},
                      FlashCase{0x3009, 65536}, FlashCase{0x6006, 1}, FlashCase{0x6006, 46},
                      FlashCase{0x6006, 100}, FlashCase{0x6006, 40000}, FlashCase{0x1234, 100},
                      FlashCase{0x1234, 65536}, FlashCase{std::nullopt, 100},
                      FlashCase{std::nullopt, 4096}, FlashCase{0x9020, 32768}));

TEST(FrameFlow, HundredBytesInAFileOf128ShowProgress0_46_54_54) {
    FrameRun run(0x3009);
    const std::vector<std::uint8_t> image = sim::SampleImage(100, 138, 5);
    run.UseFile(BuildFirmwareFile({MakeRecord(138, 0x08003400, 0x3009, image)}));
    ASSERT_EQ(run.file.size(), 128u);
    run.h.Start();
    ASSERT_TRUE(run.h.RunUpdate());
    EXPECT_EQ(run.h.Window().ControlSnapshot(IDC_PROGRESS).positionsRequested,
              (std::vector<int>{0, 0, 0, 46, 54, 54, 0}));
    const auto blocks = FramesOf(*run.controller, CMD_WRITE_DATA);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0][5], 46);
    EXPECT_EQ(blocks[1][5], 46);
    EXPECT_EQ(blocks[2][5], 8);
    EXPECT_EQ(Word(blocks[2], 13), 0x08003400u + 92);
    EXPECT_EQ(run.Flash(0x3009, 100), image);
}

TEST(FrameFlow, AFailedBlockGoesOutAgainIdentical) {
    FrameRun run(0x6006);
    run.UseFile(sim::SampleFrameFile(0x6006, 200, 138));
    run.controller->DropRequestsOf(CMD_WRITE_DATA, 2);  // the second block's reply is lost
    run.h.Start();
    ASSERT_TRUE(run.h.RunUpdate());
    const auto blocks = FramesOf(*run.controller, CMD_WRITE_DATA);
    ASSERT_EQ(blocks.size(), 6u);  // five blocks, the second twice
    EXPECT_EQ(blocks[1], blocks[2]);
    EXPECT_EQ(run.Flash(0x6006, 200), sim::ImageFor(run.file, 0x6006));
    EXPECT_EQ(run.h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
}

TEST(FrameFlow, AControllerThatStopsAnsweringEndsWithTheFailureBox) {
    FrameRun run(0x3009);
    run.UseFile(sim::SampleFrameFile(0x3009, 500, 138));
    run.controller->DropRequestsOf(CMD_WRITE_DATA, 3, 1000);
    run.h.Start();
    const double before = run.h.clock.Now();
    ASSERT_TRUE(run.h.RunUpdate());
    EXPECT_EQ(FramesOf(*run.controller, CMD_WRITE_DATA).size(),
              2u + 5u);  // five tries of the third
    std::vector<std::string> boxes;
    for (const auto& b : run.h.toolkit.Boxes()) boxes.push_back(b.text);
    EXPECT_EQ(boxes.back(), "Firmware update failure\n");
    EXPECT_FALSE(run.h.Dlg().m_File.IsOpen());
    EXPECT_EQ(FramesOf(*run.controller, CMD_FINISH).size(), 0u);
    EXPECT_LT(run.h.clock.Now() - before, 1000 + 5 * 1000 + 100);  // prepare + 5 x 100 reads
    EXPECT_TRUE(run.h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

TEST(FrameFlow, UnplugDuringTheTransferEndsPromptlyWithTheFailureBox) {
    FrameRun run(0x6006);
    run.UseFile(sim::SampleFrameFile(0x6006, 1000, 138));
    run.controller->UnplugAtDataBlock(4);
    run.h.Start();
    const double before = run.h.clock.Now();
    ASSERT_TRUE(run.h.RunUpdate());
    const auto boxes = run.h.toolkit.Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().text, "Firmware update failure\n");
    EXPECT_LT(run.h.clock.Now() - before, 1000 + 1100);  // one block's wait at most
    EXPECT_FALSE(run.h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

TEST(FrameFlow, UnansweredFinishStillEndsInSuccess) {
    FrameRun run(0x3009);
    run.UseFile(sim::SampleFrameFile(0x3009, 100, 138));
    run.controller->SetIgnoreFinish(true);
    run.h.Start();
    ASSERT_TRUE(run.h.RunUpdate());
    EXPECT_EQ(run.h.Dlg().LastOutcome(), UpdateOutcome::kSucceeded);
    EXPECT_EQ(run.Flash(0x3009, 100), sim::ImageFor(run.file, 0x3009));
}

TEST(FrameFlow, AFailedTypeQueryForgetsTheEarlierControllersType) {
    FrameRun run(0x6006);
    run.h.Start();
    EXPECT_EQ(run.h.Dlg().m_DeviceType, 0x6006u);
    // Another controller, which does not answer the type query, replaces it.
    sim::FrameControllerConfig config;
    config.versionWord = 137;
    auto other = std::make_shared<sim::FrameController>(config);
    run.h.bus.Unplug(1);
    run.h.bus.Plug(test::kFrameIds, other);
    run.h.WaitIdle();
    EXPECT_EQ(run.h.Dlg().m_DeviceType, 0u);
    EXPECT_EQ(run.h.Dlg().m_AppBase, kDefaultAddressMap.appBase);
    // Its update follows the same answer: no CRC, exact prepare, first record of the file.
    const std::vector<std::uint8_t> file = sim::SampleFrameFile(std::nullopt, 300, 138);
    run.h.firmwarePath = run.h.TempFile("fw2.dat", file);
    ASSERT_TRUE(run.h.RunUpdate());
    EXPECT_EQ(other->ReadFlash(kDefaultAddressMap.appBase, 300), sim::ImageFor(file, std::nullopt));
    for (const sim::Payload& block : FramesOf(*other, CMD_WRITE_DATA))
        EXPECT_EQ(block[7] | block[8], 0);
}

TEST(FrameFlow, FileThatCannotBeOpenedAfterThePrepareEndsSilently) {
    FrameRun run(0x3009);
    run.UseFile(sim::SampleFrameFile(0x3009, 100, 138));
    run.h.Start();
    // The file goes away once it has been chosen and confirmed.
    run.h.toolkit.SetBoxScript([&](const platform::BoxRequest& box) -> std::optional<int> {
        if ((box.type & platform::kMbOkCancel) != 0) std::remove(run.h.firmwarePath->c_str());
        return platform::kIdOk;
    });
    ASSERT_TRUE(run.h.RunUpdate());
    EXPECT_EQ(run.h.toolkit.Boxes().size(), 1u);  // the confirmation alone
    EXPECT_EQ(FramesOf(*run.controller, CMD_WRITE_DATA).size(), 0u);
    EXPECT_EQ(FramesOf(*run.controller, CMD_FINISH).size(), 0u);
    EXPECT_TRUE(run.h.Window().ControlSnapshot(IDC_USB_UPDATE).enabled);
}

}  // namespace
