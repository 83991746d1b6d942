// The controller link on the simulated bus: search rules, report composition, reads.
#include "hid/hid.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sim/scripted_device.h"
#include "support/app_harness.h"

namespace {

using sim::Payload;
using sim::ScriptedDevice;

class NullTarget final : public platform::DeviceChangeTarget {
public:
    void PostDeviceChange(std::uint32_t) override {}
    void WatchReadable(int, void (*)(void*), void*) override {}
};

class HidTest : public ::testing::Test {
protected:
    test::AppHarness harness;  // clock, bus and captured lines; the application is not started
    sim::SimulatedBus& bus = harness.bus;
    NullTarget target;
    CHid hid;

    void SetUp() override { hid.m_hWndNotify = &target; }

    int Plug(sim::DeviceIds ids, std::shared_ptr<sim::DeviceModel> model = nullptr) {
        if (!model) model = std::make_shared<ScriptedDevice>();
        return bus.Plug(ids, model, {}, false);
    }
};

struct MatchCase {
    sim::DeviceIds ids;
    int found;
    ProtocolKind kind;
};

class HidMatchTable : public HidTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(HidMatchTable, FindsControllersByIdsAndLeavesNoHandleOpen) {
    const MatchCase& c = GetParam();
    g_ProtocolKind = c.kind == ProtocolKind::CommandFrame ? ProtocolKind::MessageStream
                                                          : ProtocolKind::CommandFrame;
    Plug(c.ids);
    EXPECT_EQ(hid.FindDevice(), c.found);
    EXPECT_EQ(hid.m_bFound.load(), c.found);
    EXPECT_EQ(bus.OpenHandleCount(), 0);
    if (c.found) {
        EXPECT_EQ(g_ProtocolKind.load(), c.kind);
        EXPECT_EQ(harness.Lines(),
                  std::vector<std::string>{"m_DevicePath:" + hid.m_DevicePath + "\n"});
    } else {
        EXPECT_TRUE(harness.Lines().empty());
        EXPECT_TRUE(hid.m_DevicePath.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, HidMatchTable,
    ::testing::Values(MatchCase{{0x3A7C, 0x3208}, 1, ProtocolKind::CommandFrame},
                      MatchCase{{0x0483, 0x5750}, 1, ProtocolKind::MessageStream},
                      MatchCase{{0x3A7C, 0x5750}, 1, ProtocolKind::MessageStream},
                      MatchCase{{0x0483, 0x3208}, 0, ProtocolKind::MessageStream},
                      MatchCase{{0x1234, 0x5678}, 0, ProtocolKind::MessageStream}));

TEST_F(HidTest, FirstListedControllerWinsAndOthersArePassedOver) {
    Plug({0x1111, 0x2222});
    const int first = Plug(test::kStreamIds);
    Plug(test::kFrameIds);
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(g_ProtocolKind.load(), ProtocolKind::MessageStream);
    EXPECT_EQ(hid.m_DevicePath, "/dev/sim-hidraw" + std::to_string(first));
    EXPECT_EQ(harness.CountLines("m_DevicePath:" + hid.m_DevicePath + "\n"), 1u);
    EXPECT_EQ(harness.Lines().size(), 1u);
}

TEST_F(HidTest, SearchThatFindsNothingKeepsTheLastControllersPathAndProtocol) {
    const int id = Plug(test::kFrameIds);
    ASSERT_EQ(hid.FindDevice(), 1);
    const std::string path = hid.m_DevicePath;
    bus.Unplug(id, false);
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(hid.m_bFound.load(), 0);
    EXPECT_EQ(hid.m_DevicePath, path);
    EXPECT_EQ(g_ProtocolKind.load(), ProtocolKind::CommandFrame);
    EXPECT_EQ(hid.OpenDevice(), 0);  // tries the earlier path, which is gone
}

TEST_F(HidTest, RegistersForNotificationsOnceEvenWhenItFails) {
    bus.Faults().failRegistration = true;
    EXPECT_EQ(hid.FindDevice(), 0);
    EXPECT_EQ(bus.RegistrationAttempts(), 1);
    bus.Faults().failRegistration = false;
    Plug(test::kFrameIds);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(bus.RegistrationAttempts(), 1);
    EXPECT_EQ(bus.RegistrationCount(), 0);
}

TEST_F(HidTest, PathReadFailuresAreSizedAfreshOnceThenPassedOver) {
    const int unreadable = Plug(test::kStreamIds);
    Plug(test::kFrameIds);
    bus.Faults().unreadablePath = "/dev/sim-hidraw" + std::to_string(unreadable);
    ASSERT_EQ(hid.FindDevice(), 1);  // ends, and takes the next controller
    EXPECT_EQ(g_ProtocolKind.load(), ProtocolKind::CommandFrame);

    bus.Faults().unreadablePath.clear();
    bus.Faults().failPathReads = 1;  // one failure: the fresh sizing reads it
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(g_ProtocolKind.load(), ProtocolKind::MessageStream);
}

TEST_F(HidTest, InterfacesThatCannotBeOpenedOrQueriedAreSkipped) {
    Plug(test::kStreamIds);
    Plug(test::kFrameIds);
    bus.Faults().failOpens = 1;
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(g_ProtocolKind.load(), ProtocolKind::CommandFrame);
    // A controller that cannot be opened is named, with the reason, so a user can learn why.
    EXPECT_EQ(harness.CountLines("cannot open /dev/sim-hidraw1: Permission denied\n"), 1u);
    bus.Faults().failAttributes = 1;
    ASSERT_EQ(hid.FindDevice(), 1);
    EXPECT_EQ(g_ProtocolKind.load(), ProtocolKind::CommandFrame);
    EXPECT_EQ(bus.OpenHandleCount(), 0);
}

TEST_F(HidTest, WriteKeepsTheBytesOfEarlierLongerWrites) {
    auto device = std::make_shared<ScriptedDevice>();
    Plug(test::kFrameIds, device);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    std::uint8_t forty[40];
    for (int i = 0; i < 40; ++i) forty[i] = static_cast<std::uint8_t>(0xA0 + i);
    const std::uint8_t six[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_NE(hid.WriteHid(forty, 40), 0);
    ASSERT_NE(hid.WriteHid(six, 6), 0);
    std::uint8_t buffer[64];
    hid.ReadHid(buffer, 64);  // lets the device take both reports
    const std::vector<Payload> received = device->Received();
    ASSERT_EQ(received.size(), 2u);
    Payload expected{};
    std::memcpy(expected.data(), forty, 40);
    std::memcpy(expected.data(), six, 6);
    EXPECT_EQ(received[1], expected);
    EXPECT_EQ(g_OutReport[0], 0x00);
}

TEST_F(HidTest, WriteWithoutAChannelFailsButComposesTheReport) {
    const std::uint8_t data[3] = {7, 8, 9};
    EXPECT_EQ(hid.WriteHid(data, 3), 0);
    EXPECT_EQ(g_OutReport[0], 0);
    EXPECT_EQ(g_OutReport[1], 7);
    EXPECT_EQ(g_OutReport[3], 9);
}

TEST_F(HidTest, ReadResultsAndUntouchedBuffers) {
    std::uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(hid.ReadHid(buffer, 64), platform::kWaitAbandoned);  // no channel: at once
    EXPECT_EQ(harness.clock.Now(), 0);

    auto device = std::make_shared<ScriptedDevice>([](const Payload& in) {
        Payload reply{};
        for (std::size_t i = 0; i < reply.size(); ++i)
            reply[i] = static_cast<std::uint8_t>(in[0] + i);
        return std::vector<Payload>{reply};
    });
    const int id = Plug(test::kFrameIds, device);
    ASSERT_EQ(hid.FindDevice(), 1);
    ASSERT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(hid.m_ReadTimeout.load(), 200u);

    EXPECT_EQ(hid.ReadHid(buffer, 64), platform::kWaitTimeout);
    EXPECT_EQ(harness.clock.Now(), 200);  // waited exactly the time-out, in virtual time
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(buffer[63], 0xEE);

    const std::uint8_t request[1] = {0x40};
    ASSERT_NE(hid.WriteHid(request, 1), 0);
    ASSERT_EQ(hid.ReadHid(buffer, 64), 0u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], static_cast<std::uint8_t>(0x40 + i)) << i;

    bus.Unplug(id, false);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_NE(hid.ReadHid(buffer, 64), 0u);  // the read ends with an error, never a report
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(HidTest, OpenFailsWhenTheReadChannelCannotBeOpened) {
    Plug(test::kFrameIds);
    ASSERT_EQ(hid.FindDevice(), 1);
    bus.Faults().refuseAccess = platform::HidAccess::kReadOnly;
    EXPECT_EQ(hid.OpenDevice(), 0);
    EXPECT_NE(hid.m_hWrite, platform::kInvalidHandle);
    EXPECT_EQ(hid.m_hRead, platform::kInvalidHandle);
    EXPECT_EQ(hid.m_ReadTimeout.load(), 10u);
}

TEST_F(HidTest, RepeatedOpensLeakNoHandles) {
    Plug(test::kFrameIds);
    ASSERT_EQ(hid.FindDevice(), 1);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(hid.OpenDevice(), 1);
    EXPECT_EQ(bus.OpenHandleCount(), 2);
}

}  // namespace
