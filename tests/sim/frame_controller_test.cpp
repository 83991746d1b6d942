#include "sim/frame_controller.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "frame/command_frame.h"

namespace {

// Names each instantiated case after its table row (the macro's own lambda parameter is called
// info, so a lambda of ours with that name would shadow it).
struct ByName {
    template <class Param>
    std::string operator()(const testing::TestParamInfo<Param>& row) const {
        return row.param.name;
    }
};

using sim::FrameController;
using sim::FrameControllerConfig;
using sim::Payload;

class RecordingSink : public sim::ReportSink {
public:
    void SendInput(const Payload& payload, double /*delayMs*/) override { sent.push_back(payload); }
    void Unplug() override { ++unplugs; }

    std::vector<Payload> sent;
    int unplugs = 0;
};

constexpr std::uint32_t kBase = 0x08014000;  // a page boundary (2 KiB pages)
constexpr std::uint32_t kPage = 0x800;

Payload Request(std::uint16_t command, std::uint32_t address, std::uint32_t size,
                std::span<const std::uint8_t> payload = {}, std::uint32_t length = 0,
                bool withCrc = false) {
    Payload frame{};
    const std::uint32_t given =
        payload.empty() ? length : static_cast<std::uint32_t>(payload.size());
    EncodeRequestFrame(frame, payload, given, address, size, command, withCrc);
    return frame;
}

Payload Read(std::uint32_t address, std::uint32_t count) {
    return Request(CMD_READ_MEMORY, address, count, {}, count);
}

Payload Write(std::uint16_t command, std::uint32_t address, std::span<const std::uint8_t> bytes,
              bool withCrc = false) {
    return Request(command, address, static_cast<std::uint32_t>(bytes.size()), bytes, 0, withCrc);
}

// Sends one request; the reply it caused, or nullopt. More than one reply fails the test.
std::optional<Payload> Exchange(FrameController& controller, RecordingSink& sink,
                                const Payload& request) {
    const std::size_t before = sink.sent.size();
    controller.OnOutputReport(request, sink);
    EXPECT_LE(sink.sent.size(), before + 1) << "one request, at most one reply";
    if (sink.sent.size() == before) {
        return std::nullopt;
    }
    return sink.sent.back();
}

// The command a reply acknowledges, read by hand from the reply layout; nullopt when the reply
// is no acknowledgement at all.
std::optional<std::uint16_t> AnsweredCommand(const Payload& reply) {
    if (reply[0] != 0x00 || reply[1] != 0x05 || reply[2] != 0 || reply[3] != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(reply[4] | (reply[5] << 8));
}

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> list) {
    return list;
}

// --- Memory ----------------------------------------------------------------------------------

TEST(FrameController, ReadMemoryReturnsStoredBytesAndErasedAsFF) {
    FrameController controller;
    RecordingSink sink;
    controller.ProgramFlash(kBase, Bytes({0x11, 0x22, 0x33}));

    const std::optional<Payload> reply = Exchange(controller, sink, Read(kBase - 2, 8));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(AnsweredCommand(*reply), CMD_READ_MEMORY);
    const std::vector<std::uint8_t> expected = {0xFF, 0xFF, 0x11, 0x22, 0x33, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::vector<std::uint8_t>(reply->begin() + 18, reply->begin() + 26), expected);
    for (std::size_t i = 26; i < reply->size(); ++i) {
        EXPECT_EQ((*reply)[i], 0) << "reply byte " << i;
    }
}

TEST(FrameController, ReadMemoryOfAFullBlockFillsTheReply) {
    FrameController controller;
    RecordingSink sink;
    std::vector<std::uint8_t> block(46);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i + 1);
    }
    controller.ProgramFlash(kBase, block);

    const std::optional<Payload> reply = Exchange(controller, sink, Read(kBase, 100));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(std::vector<std::uint8_t>(reply->begin() + 18, reply->end()), block);
}

struct ProgramCase {
    const char* name;
    std::uint16_t command;
    std::optional<std::uint8_t> first;  // nullopt: the second write meets erased memory
    std::uint8_t second;
    std::uint8_t expected;
};

class FrameControllerProgramTest : public testing::TestWithParam<ProgramCase> {};

TEST_P(FrameControllerProgramTest, WritesOnlyClearBits) {
    const ProgramCase& c = GetParam();
    FrameController controller({.deviceType = 0x3009});
    RecordingSink sink;
    // A block across a page boundary: both pages must take it.
    const std::uint32_t address = kBase + kPage - 2;
    if (c.first) {
        const std::vector<std::uint8_t> first(4, *c.first);
        ASSERT_TRUE(Exchange(controller, sink, Write(c.command, address, first)));
    }
    const std::vector<std::uint8_t> second(4, c.second);

    const std::optional<Payload> reply =
        Exchange(controller, sink, Write(c.command, address, second));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(AnsweredCommand(*reply), c.command);
    EXPECT_EQ(controller.ReadFlash(address, 4), std::vector<std::uint8_t>(4, c.expected));
    EXPECT_EQ(controller.ReadFlash(address - 1, 1), Bytes({0xFF}));
    EXPECT_EQ(controller.ReadFlash(address + 4, 1), Bytes({0xFF}));
}

INSTANTIATE_TEST_SUITE_P(
    Semantics, FrameControllerProgramTest,
    testing::Values(ProgramCase{"DataIntoErased", CMD_WRITE_DATA, std::nullopt, 0x3C, 0x3C},
                    ProgramCase{"InfoIntoErased", CMD_WRITE_INFO, std::nullopt, 0xA5, 0xA5},
                    ProgramCase{"DataOverProgrammed", CMD_WRITE_DATA, 0xF0, 0x3C, 0x30},
                    ProgramCase{"InfoOverProgrammed", CMD_WRITE_INFO, 0x0F, 0x3C, 0x0C},
                    ProgramCase{"OnesDoNotSetBits", CMD_WRITE_DATA, 0x00, 0xFF, 0x00},
                    ProgramCase{"SameBytesAgain", CMD_WRITE_DATA, 0x5A, 0x5A, 0x5A}),
    ByName());

struct PrepareCase {
    const char* name;
    std::uint32_t address;
    std::uint32_t size;
    std::array<bool, 4> erased;  // pages kBase - kPage, kBase, kBase + kPage, kBase + 2 kPage
};

class FrameControllerPrepareTest : public testing::TestWithParam<PrepareCase> {};

TEST_P(FrameControllerPrepareTest, ErasesEveryTouchedPageWhole) {
    const PrepareCase& c = GetParam();
    FrameController controller;
    RecordingSink sink;
    const std::uint32_t firstPage = kBase - kPage;
    for (std::uint32_t page = 0; page < 4; ++page) {
        controller.ProgramFlash(firstPage + page * kPage, Bytes({0x00}));
        controller.ProgramFlash(firstPage + page * kPage + kPage - 1, Bytes({0x00}));
    }

    const std::optional<Payload> reply =
        Exchange(controller, sink, Request(CMD_PREPARE, c.address, c.size));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(AnsweredCommand(*reply), CMD_PREPARE);
    for (std::uint32_t page = 0; page < 4; ++page) {
        const std::uint8_t expected = c.erased[page] ? 0xFF : 0x00;
        const std::uint32_t start = firstPage + page * kPage;
        EXPECT_EQ(controller.ReadFlash(start, 1), Bytes({expected})) << "page " << page;
        EXPECT_EQ(controller.ReadFlash(start + kPage - 1, 1), Bytes({expected})) << "page " << page;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Regions, FrameControllerPrepareTest,
    testing::Values(
        PrepareCase{"ExactlyOnePage", kBase, kPage, {false, true, false, false}},
        PrepareCase{"InsideTwoPages", kBase + 0x10, kPage, {false, true, true, false}},
        PrepareCase{"LastByteOfAPage", kBase + kPage - 1, 1, {false, true, false, false}},
        PrepareCase{"StraddlesABoundary", kBase + kPage - 1, 2, {false, true, true, false}},
        PrepareCase{"FirstAndLastBytesReach", kBase - 1, 2 * kPage + 2, {true, true, true, true}},
        PrepareCase{"SizeZeroErasesNothing", kBase, 0, {false, false, false, false}}),
    ByName());

// --- CRC check of write frames ---------------------------------------------------------------

enum class CrcWord { kCorrect, kZero, kWrong };

struct CrcCheckCase {
    const char* name;
    std::optional<std::uint32_t> deviceType;
    std::uint16_t command;
    CrcWord crc;
    bool accepted;
};

class FrameControllerCrcTest : public testing::TestWithParam<CrcCheckCase> {};

TEST_P(FrameControllerCrcTest, CrcTypesDropWritesWithABadCrc) {
    const CrcCheckCase& c = GetParam();
    FrameController controller({.deviceType = c.deviceType});
    RecordingSink sink;
    const std::vector<std::uint8_t> bytes = {0x89, 0x00, 0x02, 0x00, 0x5A, 0xC3};
    Payload frame = Write(c.command, kBase, bytes, c.crc != CrcWord::kZero);
    if (c.crc == CrcWord::kWrong) {
        frame[7] ^= 0x01;
    }

    const std::optional<Payload> reply = Exchange(controller, sink, frame);

    EXPECT_EQ(reply.has_value(), c.accepted);
    if (reply) {
        EXPECT_EQ(AnsweredCommand(*reply), c.command);
    }
    const std::vector<std::uint8_t> stored = controller.ReadFlash(kBase, 6);
    EXPECT_EQ(stored, c.accepted ? bytes : std::vector<std::uint8_t>(6, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(
    Types, FrameControllerCrcTest,
    testing::Values(
        CrcCheckCase{"T3010Wrong", 0x3010, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T3011Wrong", 0x3011, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T5111Wrong", 0x5111, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T5112Wrong", 0x5112, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T6006Wrong", 0x6006, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T6007Wrong", 0x6007, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T9020Wrong", 0x9020, CMD_WRITE_DATA, CrcWord::kWrong, false},
        CrcCheckCase{"T6006InfoWrong", 0x6006, CMD_WRITE_INFO, CrcWord::kWrong, false},
        CrcCheckCase{"T6006Zero", 0x6006, CMD_WRITE_DATA, CrcWord::kZero, false},
        CrcCheckCase{"T6006Correct", 0x6006, CMD_WRITE_DATA, CrcWord::kCorrect, true},
        CrcCheckCase{"T6006InfoCorrect", 0x6006, CMD_WRITE_INFO, CrcWord::kCorrect, true},
        CrcCheckCase{"T3009Zero", 0x3009, CMD_WRITE_DATA, CrcWord::kZero, true},
        CrcCheckCase{"T3009Wrong", 0x3009, CMD_WRITE_INFO, CrcWord::kWrong, true},
        CrcCheckCase{"OtherTypeWrong", 0x1234, CMD_WRITE_DATA, CrcWord::kWrong, true},
        CrcCheckCase{"NoTypeWrong", std::nullopt, CMD_WRITE_DATA, CrcWord::kWrong, true}),
    ByName());

// --- Device type and version word ------------------------------------------------------------

struct DeviceTypeCase {
    const char* name;
    std::optional<std::uint32_t> deviceType;
    std::vector<std::uint8_t> expectedData;  // empty: no reply
};

class FrameControllerTypeTest : public testing::TestWithParam<DeviceTypeCase> {};

TEST_P(FrameControllerTypeTest, AnswersTheCodeLittleEndianOrNothing) {
    const DeviceTypeCase& c = GetParam();
    FrameController controller({.deviceType = c.deviceType});
    RecordingSink sink;

    const std::optional<Payload> reply =
        Exchange(controller, sink, Request(CMD_GET_DEVICE_TYPE, 0, 4, {}, 4));

    ASSERT_EQ(reply.has_value(), !c.expectedData.empty());
    if (reply) {
        EXPECT_EQ(AnsweredCommand(*reply), CMD_GET_DEVICE_TYPE);
        EXPECT_EQ(std::vector<std::uint8_t>(reply->begin() + 18, reply->begin() + 22),
                  c.expectedData);
    }
    EXPECT_EQ(controller.RequestCount(CMD_GET_DEVICE_TYPE), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, FrameControllerTypeTest,
    testing::Values(DeviceTypeCase{"CrcType", 0x6006, {0x06, 0x60, 0x00, 0x00}},
                    DeviceTypeCase{"ByteOrder", 0x12345678, {0x78, 0x56, 0x34, 0x12}},
                    DeviceTypeCase{"None", std::nullopt, {}}),
    ByName());

struct VersionCase {
    const char* name;
    FrameControllerConfig config;
    std::uint32_t readAt;  // where a host of that map reads the version word
    std::uint32_t appBase;
};

class FrameControllerVersionTest : public testing::TestWithParam<VersionCase> {};

TEST_P(FrameControllerVersionTest, ConnectionReadsTheConfiguredWord) {
    const VersionCase& c = GetParam();
    FrameController controller(c.config);
    RecordingSink sink;

    const std::optional<Payload> reply = Exchange(controller, sink, Read(c.readAt, 4));

    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(std::vector<std::uint8_t>(reply->begin() + 18, reply->begin() + 22),
              Bytes({0x89, 0x00, 0x02, 0x00}));
    EXPECT_EQ(FrameController::AppBaseFor(c.config.deviceType), c.appBase);
}

INSTANTIATE_TEST_SUITE_P(
    Maps, FrameControllerVersionTest,
    testing::Values(
        VersionCase{"NoType",
                    {.deviceType = std::nullopt, .versionWord = 0x00020089},
                    0x08014034,
                    0x08014000},
        VersionCase{
            "OtherType", {.deviceType = 0x1234, .versionWord = 0x00020089}, 0x08014034, 0x08014000},
        VersionCase{
            "T3009", {.deviceType = 0x3009, .versionWord = 0x00020089}, 0x08003434, 0x08003400},
        VersionCase{
            "T6006", {.deviceType = 0x6006, .versionWord = 0x00020089}, 0x01017040, 0x01018000},
        VersionCase{
            "T9020", {.deviceType = 0x9020, .versionWord = 0x00020089}, 0x01017040, 0x01018000},
        VersionCase{"GivenAddress",
                    {.deviceType = 0x3009, .versionWord = 0x00020089, .versionAddress = 0x08000000},
                    0x08000000,
                    0x08003400}),
    ByName());

TEST(FrameController, WithoutVersionWordTheVersionReadsErased) {
    FrameController controller({.deviceType = 0x3009});
    RecordingSink sink;
    const std::optional<Payload> erased = Exchange(controller, sink, Read(0x08003434, 4));
    controller.ProgramVersionWord(0x00000089);
    const std::optional<Payload> programmed = Exchange(controller, sink, Read(0x08003434, 4));

    ASSERT_TRUE(erased && programmed);
    EXPECT_EQ(ReplyWord(*erased), 0xFFFFFFFFu);
    EXPECT_EQ(ReplyWord(*programmed), 0x00000089u);
}

// --- Bookkeeping -----------------------------------------------------------------------------

TEST(FrameController, CountsAndKeepsEveryRequest) {
    FrameController controller({.deviceType = 0x3009});
    RecordingSink sink;
    Payload badMarker = Read(kBase, 4);
    badMarker[0] = 0x06;
    const std::vector<Payload> requests = {
        Request(CMD_GET_DEVICE_TYPE, 0, 4, {}, 4),
        Read(0x08003434, 4),
        Request(CMD_PREPARE, 0x08003400, 100),
        Write(CMD_WRITE_DATA, 0x08003400, Bytes({1, 2})),
        badMarker,
        Write(CMD_WRITE_DATA, 0x08003402, Bytes({3})),
        Request(9, 0, 0),  // no such command
        Write(CMD_WRITE_INFO, 0x08003434, Bytes({0x89, 0, 0, 0})),
    };
    for (const Payload& request : requests) {
        controller.OnOutputReport(request, sink);
    }
    EXPECT_FALSE(controller.FinishReceived());
    controller.OnOutputReport(Request(CMD_FINISH, 0, 0), sink);

    EXPECT_TRUE(controller.FinishReceived());
    EXPECT_EQ(controller.RequestCount(CMD_GET_DEVICE_TYPE), 1u);
    EXPECT_EQ(controller.RequestCount(CMD_READ_MEMORY), 1u);
    EXPECT_EQ(controller.RequestCount(CMD_PREPARE), 1u);
    EXPECT_EQ(controller.RequestCount(CMD_WRITE_DATA), 2u);
    EXPECT_EQ(controller.RequestCount(CMD_WRITE_INFO), 1u);
    EXPECT_EQ(controller.RequestCount(CMD_FINISH), 1u);
    EXPECT_EQ(controller.RequestCount(9), 1u);
    EXPECT_EQ(controller.RequestCount(), 8u);  // the bad marker is no request
    EXPECT_EQ(sink.sent.size(), 7u);           // neither it nor command 9 is answered
    std::vector<Payload> expected = requests;
    expected.push_back(Request(CMD_FINISH, 0, 0));
    EXPECT_EQ(controller.ReceivedFrames(), expected);
}

// --- Faults ----------------------------------------------------------------------------------

// The request sequence of a small update on a 0x3009 controller.
const std::vector<std::uint16_t> kUpdateSequence = {
    CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE,    CMD_WRITE_DATA,
    CMD_WRITE_DATA,      CMD_WRITE_DATA,  CMD_WRITE_INFO, CMD_FINISH,
};

Payload SequenceRequest(std::uint16_t command, std::uint32_t index) {
    switch (command) {
        case CMD_GET_DEVICE_TYPE:
            return Request(command, 0, 4, {}, 4);
        case CMD_READ_MEMORY:
            return Read(0x08003434, 4);
        case CMD_PREPARE:
            return Request(command, 0x08003400, 138);
        case CMD_WRITE_DATA:
        case CMD_WRITE_INFO: {
            const std::vector<std::uint8_t> block(4, static_cast<std::uint8_t>(index));
            return Write(command, 0x08003400 + 4 * index, block);
        }
        default:
            return Request(command, 0, 0);
    }
}

constexpr std::optional<std::uint16_t> kNone = std::nullopt;

struct FaultCase {
    const char* name;
    std::function<void(FrameController&)> arm;
    std::vector<std::optional<std::uint16_t>> answers;  // per request of kUpdateSequence
    bool finishReceived;
    int unplugs;
};

class FrameControllerFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(FrameControllerFaultTest, AnswersAsArmed) {
    const FaultCase& c = GetParam();
    FrameController controller({.deviceType = 0x3009});
    RecordingSink sink;
    c.arm(controller);

    std::vector<std::optional<std::uint16_t>> answers;
    for (std::uint32_t i = 0; i < kUpdateSequence.size(); ++i) {
        const std::optional<Payload> reply =
            Exchange(controller, sink, SequenceRequest(kUpdateSequence[i], i));
        answers.push_back(reply ? AnsweredCommand(*reply) : kNone);
        if (reply) {
            EXPECT_TRUE(AnsweredCommand(*reply).has_value()) << "request " << i;
        }
    }

    EXPECT_EQ(answers, c.answers);
    EXPECT_EQ(controller.FinishReceived(), c.finishReceived);
    EXPECT_EQ(sink.unplugs, c.unplugs);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FrameControllerFaultTest,
    testing::Values(FaultCase{"None",
                              [](FrameController&) {},
                              {CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE, CMD_WRITE_DATA,
                               CMD_WRITE_DATA, CMD_WRITE_DATA, CMD_WRITE_INFO, CMD_FINISH},
                              true,
                              0},
                    FaultCase{"DropSecondRequest",
                              [](FrameController& m) { m.DropRequests(2); },
                              {CMD_GET_DEVICE_TYPE, kNone, CMD_PREPARE, CMD_WRITE_DATA,
                               CMD_WRITE_DATA, CMD_WRITE_DATA, CMD_WRITE_INFO, CMD_FINISH},
                              true,
                              0},
                    FaultCase{"DropFourthAndFifthRequest",
                              [](FrameController& m) { m.DropRequests(4, 2); },
                              {CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE, kNone, kNone,
                               CMD_WRITE_DATA, CMD_WRITE_INFO, CMD_FINISH},
                              true,
                              0},
                    FaultCase{"DropSecondDataBlock",
                              [](FrameController& m) { m.DropRequestsOf(CMD_WRITE_DATA, 2); },
                              {CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE, CMD_WRITE_DATA,
                               kNone, CMD_WRITE_DATA, CMD_WRITE_INFO, CMD_FINISH},
                              true,
                              0},
                    FaultCase{"DropRulesAddUp",
                              [](FrameController& m) {
                                  m.DropRequests(1);
                                  m.DropRequestsOf(CMD_WRITE_INFO, 1);
                              },
                              {kNone, CMD_READ_MEMORY, CMD_PREPARE, CMD_WRITE_DATA, CMD_WRITE_DATA,
                               CMD_WRITE_DATA, kNone, CMD_FINISH},
                              true,
                              0},
                    FaultCase{"AnswerLate",
                              [](FrameController& m) { m.SetAnswerLate(true); },
                              {kNone, CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE,
                               CMD_WRITE_DATA, CMD_WRITE_DATA, CMD_WRITE_DATA, CMD_WRITE_INFO},
                              true,
                              0},
                    FaultCase{"AnswerLateAfterADroppedRequest",
                              [](FrameController& m) {
                                  m.SetAnswerLate(true);
                                  m.DropRequests(2);
                              },
                              {kNone, CMD_GET_DEVICE_TYPE, kNone, CMD_PREPARE, CMD_WRITE_DATA,
                               CMD_WRITE_DATA, CMD_WRITE_DATA, CMD_WRITE_INFO},
                              true,
                              0},
                    FaultCase{"IgnoreFinish",
                              [](FrameController& m) { m.SetIgnoreFinish(true); },
                              {CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE, CMD_WRITE_DATA,
                               CMD_WRITE_DATA, CMD_WRITE_DATA, CMD_WRITE_INFO, kNone},
                              true,
                              0},
                    FaultCase{"UnplugAtSecondDataBlock",
                              [](FrameController& m) { m.UnplugAtDataBlock(2); },
                              {CMD_GET_DEVICE_TYPE, CMD_READ_MEMORY, CMD_PREPARE, CMD_WRITE_DATA,
                               kNone, kNone, kNone, kNone},
                              false,
                              1}),
    ByName());

TEST(FrameControllerFaults, UnansweredWriteIsStillStored) {
    FrameController controller({.deviceType = 0x3009});
    RecordingSink sink;
    controller.DropRequestsOf(CMD_WRITE_DATA, 1);

    EXPECT_FALSE(Exchange(controller, sink, Write(CMD_WRITE_DATA, kBase, Bytes({0x12, 0x34}))));
    EXPECT_EQ(controller.ReadFlash(kBase, 2), Bytes({0x12, 0x34}));
}

TEST(FrameControllerFaults, UnplugKeepsTheBlockAndEverythingAfterOut) {
    FrameController controller({.deviceType = 0x3009});
    RecordingSink sink;
    controller.UnplugAtDataBlock(2);
    const Payload first = Write(CMD_WRITE_DATA, kBase, Bytes({0x01}));
    const Payload second = Write(CMD_WRITE_DATA, kBase + 1, Bytes({0x02}));
    controller.OnOutputReport(first, sink);
    controller.OnOutputReport(second, sink);
    controller.OnOutputReport(Write(CMD_WRITE_DATA, kBase + 2, Bytes({0x03})), sink);

    EXPECT_TRUE(controller.Unplugged());
    EXPECT_EQ(sink.unplugs, 1);
    EXPECT_EQ(controller.ReadFlash(kBase, 3), Bytes({0x01, 0xFF, 0xFF}));
    EXPECT_EQ(controller.ReceivedFrames(), (std::vector<Payload>{first, second}));
}

TEST(FrameControllerFaults, LateReplyCarriesThePreviousRequestsData) {
    FrameController controller;
    RecordingSink sink;
    controller.ProgramFlash(kBase, Bytes({0xA1}));
    controller.ProgramFlash(kBase + kPage, Bytes({0xB2}));
    controller.ProgramFlash(kBase + 2 * kPage, Bytes({0xC3}));
    controller.SetAnswerLate(true);

    EXPECT_FALSE(Exchange(controller, sink, Read(kBase, 1)));
    const std::optional<Payload> late = Exchange(controller, sink, Read(kBase + kPage, 1));
    controller.SetAnswerLate(false);  // the held reply for kBase + kPage is dropped
    const std::optional<Payload> onTime = Exchange(controller, sink, Read(kBase + 2 * kPage, 1));

    ASSERT_TRUE(late && onTime);
    EXPECT_EQ(AnsweredCommand(*late), CMD_READ_MEMORY);
    EXPECT_EQ((*late)[18], 0xA1);
    EXPECT_EQ((*onTime)[18], 0xC3);
    EXPECT_EQ(sink.sent.size(), 2u);
}

}  // namespace
