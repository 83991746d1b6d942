// The command-frame primitives against a scripted device, in virtual time: how many requests
// and reads each makes, which pauses it asks for, and when it gives up.
#include <gtest/gtest.h>

#include <cstring>

#include "app/update_dlg.h"
#include "frame/command_frame.h"
#include "sim/scripted_device.h"
#include "support/app_harness.h"

namespace {

using sim::Payload;

Payload Ack(std::uint16_t command, std::uint32_t word = 0) {
    Payload p{};
    const std::uint8_t data[4] = {
        static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
        static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
    EncodeReply(std::span<std::uint8_t, 64>(p.data(), 64), command, data);
    return p;
}

std::uint16_t CommandOf(const Payload& request) {
    return static_cast<std::uint16_t>(request[1] | request[2] << 8);
}

class Primitives : public ::testing::Test {
protected:
    mutable test::AppHarness h;
    std::unique_ptr<CUpdateDlg> dlg;
    std::shared_ptr<sim::ScriptedDevice> device;

    // Replies to one request arrive one read time-out (10 ms) apart, one per read.
    void Use(sim::ScriptedDevice::Script script) {
        device = std::make_shared<sim::ScriptedDevice>(std::move(script), 10);
        h.bus.Plug(test::kFrameIds, device, {}, false);
        dlg = std::make_unique<CUpdateDlg>();
        ASSERT_EQ(dlg->m_Hid.FindDevice(), 1);
        ASSERT_EQ(dlg->m_Hid.OpenDevice(), 1);
        dlg->m_Hid.SetReadTimeout(10);
        h.clock.ClearPauses();
    }
    std::size_t Requests(std::uint16_t command) const {
        h.bus.Settle();
        std::size_t n = 0;
        for (const Payload& p : device->Received()) n += CommandOf(p) == command ? 1 : 0;
        return n;
    }
};

TEST_F(Primitives, ReadMemoryWithoutAnswerSendsSixRequestsAndReadsFiveTimes) {
    Use({});
    std::uint8_t destination[4] = {1, 2, 3, 4};
    EXPECT_EQ(dlg->ReadMemory(destination, 4, 0x08014034), 0);
    EXPECT_EQ(Requests(CMD_READ_MEMORY), 6u);
    EXPECT_EQ(h.clock.Now(), 50);  // five 10 ms time-outs
    EXPECT_EQ(destination[0], 1);
    EXPECT_EQ(destination[3], 4);
    const Payload first = device->Received()[0];
    const std::uint8_t expected[17] = {0x05, 5, 0, 0, 0,    4,    0,    0,   0,
                                       4,    0, 0, 0, 0x34, 0x40, 0x01, 0x08};
    EXPECT_EQ(std::memcmp(first.data(), expected, 17), 0);
}

TEST_F(Primitives, ReadMemoryPassesOverAnswersToOtherCommands) {
    Use([](const Payload&) { return std::vector<Payload>(6, Ack(CMD_PREPARE)); });
    std::uint8_t destination[4] = {};
    EXPECT_EQ(dlg->ReadMemory(destination, 4, 0), 0);
    EXPECT_EQ(Requests(CMD_READ_MEMORY), 1u);
}

TEST_F(Primitives, ReadMemoryAcknowledgedOnTheFifthRead) {
    Use([](const Payload&) {
        std::vector<Payload> replies(4, Ack(CMD_FINISH));
        replies.push_back(Ack(CMD_READ_MEMORY, 0x00020089));
        return replies;
    });
    std::uint8_t destination[4] = {};
    EXPECT_EQ(dlg->ReadMemory(destination, 4, 0), 1);
    EXPECT_EQ(destination[0], 0x89);
    EXPECT_EQ(destination[2], 0x02);
}

TEST_F(Primitives, GetDeviceTypeReadsTheTypeWord) {
    Use([](const Payload& in) {
        if (CommandOf(in) == CMD_GET_DEVICE_TYPE)
            return std::vector<Payload>{Ack(CMD_GET_DEVICE_TYPE, 0x6006)};
        return std::vector<Payload>{};
    });
    std::uint8_t type[4] = {};
    EXPECT_EQ(dlg->GetDeviceType(type, 4), 1);
    EXPECT_EQ(type[0] | type[1] << 8, 0x6006);
    const Payload request = device->Received()[0];
    EXPECT_EQ(request[5], 4);   // length
    EXPECT_EQ(request[9], 4);   // size
    EXPECT_EQ(request[13], 0);  // address 0
}

TEST_F(Primitives, PrepareRegionRepeatsItsRequestWithItsPauses) {
    Use({});
    EXPECT_EQ(dlg->PrepareRegion(0x08014000, 100), 0);
    EXPECT_EQ(Requests(CMD_PREPARE), 4u);
    EXPECT_EQ(h.clock.Pauses(), (std::vector<std::uint32_t>{1000, 200, 200, 200}));
}

TEST_F(Primitives, PrepareRegionAsksAgainAfterAnAnswerToAnotherCommand) {
    int calls = 0;
    Use([&calls](const Payload&) {
        return ++calls == 1 ? std::vector<Payload>{Ack(CMD_WRITE_DATA)}
                            : std::vector<Payload>{Ack(CMD_PREPARE)};
    });
    EXPECT_EQ(dlg->PrepareRegion(0x08014000, 100), 1);
    EXPECT_EQ(Requests(CMD_PREPARE), 2u);
    EXPECT_EQ(h.clock.Pauses(), (std::vector<std::uint32_t>{1000, 200}));
}

TEST_F(Primitives, PrepareRegionPolledSendsOnceAndPolls) {
    Use([](const Payload&) {
        std::vector<Payload> replies(19, Ack(CMD_WRITE_DATA));
        replies.push_back(Ack(CMD_PREPARE));
        return replies;
    });
    EXPECT_EQ(dlg->PrepareRegionPolled(0x01018000, 65536), 1);
    EXPECT_EQ(Requests(CMD_PREPARE), 1u);
    std::vector<std::uint32_t> expected{1000};
    expected.insert(expected.end(), 19, 500);
    EXPECT_EQ(h.clock.Pauses(), expected);
}

TEST_F(Primitives, WriteBlockWaitsAHundredReadsWithoutRepeating) {
    Use([](const Payload&) {
        std::vector<Payload> replies(99, Ack(CMD_PREPARE));
        replies.push_back(Ack(CMD_WRITE_DATA));
        return replies;
    });
    std::uint8_t data[50];
    for (int i = 0; i < 50; ++i) data[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(dlg->WriteBlock(data, 0x08014000, 50, 1000, true), 1);
    EXPECT_EQ(Requests(CMD_WRITE_DATA), 1u);
    const Payload frame = device->Received()[0];
    EXPECT_EQ(frame[5], 46);                     // the length is cut to 46
    EXPECT_EQ(frame[9] | frame[10] << 8, 1000);  // the size is not
    EXPECT_EQ(frame[17 + 45], 45);
    EXPECT_EQ(frame[7], 0);  // type 0: no CRC
    EXPECT_EQ(frame[8], 0);
}

TEST_F(Primitives, WriteBlockWithoutAcknowledgementGivesUp) {
    Use({});
    dlg->m_DeviceType = 0x6006;
    const std::uint8_t data[4] = {'1', '2', '3', '4'};
    EXPECT_EQ(dlg->WriteBlock(data, 0x01018000, 4, 4, true), 0);
    EXPECT_EQ(Requests(CMD_WRITE_DATA), 1u);
    EXPECT_EQ(h.clock.Now(), 1000);  // a hundred 10 ms reads
    const Payload frame = device->Received()[0];
    const std::uint16_t crc = CUpdateDlg::Crc16(data, 4);
    EXPECT_EQ(frame[7], crc & 0xFF);
    EXPECT_EQ(frame[8], crc >> 8);
}

TEST_F(Primitives, FinishUpdateAcknowledged) {
    Use([](const Payload&) { return std::vector<Payload>{Ack(CMD_FINISH)}; });
    EXPECT_EQ(dlg->FinishUpdate(), 1);
}

TEST_F(Primitives, FinishUpdateReadsOnlyOnce) {
    Use({});  // nothing answers: one read, one time-out
    EXPECT_EQ(dlg->FinishUpdate(), 0);
    EXPECT_EQ(h.clock.Now(), 10);
    EXPECT_EQ(Requests(CMD_FINISH), 1u);
}

TEST_F(Primitives, VersionWordOfACrcTypeNeedsItsOwnPrepare) {
    Use({});
    dlg->m_DeviceType = 0x6006;
    dlg->m_VersionAddress = 0x01017040;
    dlg->m_FileVersion = 138;
    EXPECT_EQ(dlg->WriteVersionWord(), 0);
    EXPECT_EQ(Requests(CMD_PREPARE), 1u);
    EXPECT_EQ(Requests(CMD_WRITE_INFO), 0u);
    const Payload prepare = device->Received()[0];
    EXPECT_EQ(prepare[9], 32);  // a 32-byte region
    EXPECT_EQ(prepare[13] | prepare[14] << 8 | prepare[15] << 16 | prepare[16] << 24, 0x01017040);
}

TEST_F(Primitives, VersionWordOfOtherTypesIsOneWriteInfoFrame) {
    Use([](const Payload&) { return std::vector<Payload>{Ack(CMD_WRITE_INFO)}; });
    dlg->m_DeviceType = 0x3009;
    dlg->m_VersionAddress = 0x08003434;
    dlg->m_FileVersion = 0x00020089;
    EXPECT_EQ(dlg->WriteVersionWord(), 1);
    ASSERT_EQ(device->Received().size(), 1u);
    const Payload frame = device->Received()[0];
    EXPECT_EQ(CommandOf(frame), CMD_WRITE_INFO);
    EXPECT_EQ(frame[5], 4);
    EXPECT_EQ(frame[9], 4);
    EXPECT_EQ(frame[17], 0x89);
    EXPECT_EQ(frame[19], 0x02);
    EXPECT_EQ(frame[7] | frame[8], 0);
}

TEST_F(Primitives, AReplyThatDoesNotStartWithZeroIsNoAcknowledgement) {
    Use([](const Payload&) {
        Payload shifted{};
        shifted[0] = 0x05;
        shifted[3] = static_cast<std::uint8_t>(CMD_FINISH);
        return std::vector<Payload>{shifted};
    });
    EXPECT_EQ(dlg->FinishUpdate(), 0);
}

}  // namespace
