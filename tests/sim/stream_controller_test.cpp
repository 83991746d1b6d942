#include "sim/stream_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "stream/message_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class RecordingSink : public sim::ReportSink {
public:
    void SendInput(const sim::Payload& payload, double /*delayMs*/) override {
        inputs.push_back(payload);
    }
    void Unplug() override { ++unplugs; }

    std::vector<sim::Payload> inputs;
    int unplugs = 0;
};

Bytes Pattern(std::size_t length, std::uint8_t first) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(first + i * 7);
    return bytes;
}

// Drives the model the way the host does: every message whole in one report, a data message in
// pieces of at most 39 bytes, one report each. Returns the reports the model sent meanwhile.
class Host {
public:
    explicit Host(sim::StreamController& controller) : m_Controller(controller) {}

    std::vector<sim::Payload> SendShort(std::uint8_t type) {
        std::array<std::uint8_t, kShortFrameSize> frame{};
        return SendPieces(
            std::span<const std::uint8_t>(frame.data(), BuildShortFrame(type, 0x00, frame)),
            kMaxReportMessage);
    }

    std::vector<sim::Payload> SendCommand(std::uint8_t command, const Bytes& payload = {}) {
        std::array<std::uint8_t, kFrameBufferSize> frame{};
        const std::size_t length = BuildCommandFrame(command, payload, frame);
        EXPECT_NE(length, 0u);
        const std::size_t pieceLimit = command == SET_FIRMWARE_DATA ? kMaxPiece : kMaxReportMessage;
        return SendPieces(std::span<const std::uint8_t>(frame.data(), length), pieceLimit);
    }

    std::vector<sim::Payload> SendInfo(const FirmwareDescription& description) {
        const auto bytes = BuildFirmwareDescription(description);
        return SendCommand(SET_FIRMWARE_INFO, Bytes(bytes.begin(), bytes.end()));
    }

    // Sends one raw report message (count byte added).
    std::vector<sim::Payload> SendRaw(const Bytes& message) {
        sim::Payload payload{};
        payload[0] = static_cast<std::uint8_t>(message.size());
        std::copy(message.begin(), message.end(), payload.begin() + 1);
        return Deliver(payload);
    }

    RecordingSink sink;
    std::size_t reportsSent = 0;

private:
    std::vector<sim::Payload> SendPieces(std::span<const std::uint8_t> frame, std::size_t limit) {
        std::vector<sim::Payload> replies;
        for (std::size_t offset = 0; offset < frame.size(); offset += limit) {
            const std::size_t length = std::min(limit, frame.size() - offset);
            sim::Payload payload{};
            EXPECT_NE(ComposeReportMessage(frame.subspan(offset, length), payload), 0u);
            for (const sim::Payload& reply : Deliver(payload)) replies.push_back(reply);
        }
        return replies;
    }

    std::vector<sim::Payload> Deliver(const sim::Payload& payload) {
        const std::size_t before = sink.inputs.size();
        m_Controller.OnOutputReport(payload, sink);
        ++reportsSent;
        return std::vector<sim::Payload>(sink.inputs.begin() + static_cast<std::ptrdiff_t>(before),
                                         sink.inputs.end());
    }

    sim::StreamController& m_Controller;
};

sim::Payload ExpectedInput(const Bytes& frame) {
    sim::Payload payload{};
    payload[0] = static_cast<std::uint8_t>(frame.size());
    std::copy(frame.begin(), frame.end(), payload.begin() + 1);
    return payload;
}

const sim::Payload kDataRequest = ExpectedInput({0x00, 0x16, 0x01, 0x00, 0x14});

TEST(StreamController, AnswersTheVersionQuery) {
    sim::StreamController controller;
    Host host(controller);
    const auto replies = host.SendCommand(GET_FIRMWARE_VERSION);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0],
              ExpectedInput({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x00, 0x00}));
}

TEST(StreamController, AnswersStartWithItsDescription) {
    sim::StreamControllerConfig config;
    config.hardwareRevision = 2;
    config.productCode = 0x9234;
    sim::StreamController controller(config);
    Host host(controller);
    const auto replies = host.SendShort(MSG_START);
    ASSERT_EQ(replies.size(), 1u);
    Bytes frame(44, 0x00);
    frame[1] = 0x19;
    frame[2] = 40;
    frame[40] = 0x01;
    frame[41] = 0x02;
    frame[42] = 0x34;
    frame[43] = 0x92;
    EXPECT_EQ(replies[0], ExpectedInput(frame));
}

TEST(StreamController, TakesNoNoticeOfReadFailedOrStrayBytes) {
    sim::StreamController controller;
    Host host(controller);
    EXPECT_TRUE(host.SendShort(MSG_READ_FAILED).empty());
    EXPECT_TRUE(host.SendRaw({0x01, 0x16, 0x01, 0x00, 0x04}).empty());  // lead byte not 0x00
    EXPECT_TRUE(host.SendRaw({}).empty());                              // count 0
    EXPECT_EQ(controller.ReadFailedCount(), 1u);
    // Nothing above left half a frame behind: a whole query is still answered at once.
    EXPECT_EQ(host.SendCommand(GET_FIRMWARE_VERSION).size(), 1u);
}

// ---- A whole update, driven as the host drives it ----------------------------------------------

struct UpdateTrace {
    std::size_t dataMessages = 0;
    std::size_t requests = 0;
    bool otherReply = false;
    Bytes sent;
};

// Answers each request with the next 32 file bytes (fewer at the end), and the first request
// after the completing chunk with SET_FIRMWARE_END. The completion test is skipped for the first
// chunk, as the host skips it.
UpdateTrace RunUpdate(Host& host, const FirmwareDescription& description, const Bytes& file) {
    UpdateTrace trace;
    std::vector<sim::Payload> replies = host.SendInfo(description);
    std::size_t position = 0;
    bool imageSent = false;
    constexpr std::size_t kRequestBound = 100;  // far above any image in these tests
    while (trace.requests < kRequestBound) {
        if (replies.size() != 1 || replies[0] != kDataRequest) {
            trace.otherReply = !replies.empty();
            return trace;
        }
        ++trace.requests;
        if (imageSent) {
            replies = host.SendCommand(SET_FIRMWARE_END);
            continue;
        }
        const std::size_t n = std::min(kFirmwareChunkSize, file.size() - position);
        const Bytes chunk(file.begin() + static_cast<std::ptrdiff_t>(position),
                          file.begin() + static_cast<std::ptrdiff_t>(position + n));
        position += n;
        trace.sent.insert(trace.sent.end(), chunk.begin(), chunk.end());
        ++trace.dataMessages;
        imageSent = trace.dataMessages > 1 && trace.sent.size() >= description.size;
        replies = host.SendCommand(SET_FIRMWARE_DATA, chunk);
    }
    return trace;
}

struct UpdateCase {
    std::string name;
    std::uint32_t imageSize;
    std::size_t fileBytes;  // image data available, from the image's first byte on
    std::size_t expectedDataMessages;
};

const UpdateCase kUpdates[] = {
    {"Image20FileEndsWithIt", 20, 20, 2},
    {"Image20FileRunsOn", 20, 80, 2},
    {"Image32", 32, 32, 2},
    {"Image100", 100, 128, 4},
    {"Image100FileEndsWithIt", 100, 100, 4},
};

class StreamUpdateTest : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(StreamUpdateTest, StoresTheImageAndAdoptsTheVersion) {
    const UpdateCase& c = GetParam();
    sim::StreamController controller;
    Host host(controller);
    const FirmwareDescription description{0x00020142, 0x08004000, c.imageSize};
    const Bytes file = Pattern(c.fileBytes, 0x11);

    const UpdateTrace trace = RunUpdate(host, description, file);

    EXPECT_FALSE(trace.otherReply);
    EXPECT_EQ(trace.dataMessages, c.expectedDataMessages);
    // One request per data message, and the one the host answers with SET_FIRMWARE_END.
    EXPECT_EQ(trace.requests, c.expectedDataMessages + 1);
    EXPECT_EQ(controller.DataRequestCount(), c.expectedDataMessages + 1);
    EXPECT_EQ(controller.DataMessageCount(), c.expectedDataMessages);
    EXPECT_EQ(controller.Announced(), description);
    EXPECT_EQ(controller.Stored(), trace.sent);
    EXPECT_EQ(controller.StoredImage(), Bytes(file.begin(), file.begin() + c.imageSize));
    EXPECT_TRUE(controller.EndReceived());
    EXPECT_TRUE(controller.UpdateComplete());
    EXPECT_EQ(controller.CurrentVersion(), description.version);

    // The new version word is what the next query reports.
    const auto replies = host.SendCommand(GET_FIRMWARE_VERSION);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0],
              ExpectedInput({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x42, 0x01, 0x02, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(StreamController, StreamUpdateTest, ::testing::ValuesIn(kUpdates),
                         [](const auto& test) { return test.param.name; });

// A data message of any size, cut into pieces: one request after its last piece, none before.
class PieceJoinTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PieceJoinTest, JoinsPiecesIntoOneDataMessage) {
    const std::size_t payloadSize = GetParam();
    sim::StreamController controller;
    Host host(controller);
    ASSERT_EQ(host.SendInfo({1, 2, 1000}).size(), 1u);
    const Bytes payload = Pattern(payloadSize, 0x03);

    const std::size_t reportsBefore = host.reportsSent;
    const auto replies = host.SendCommand(SET_FIRMWARE_DATA, payload);

    EXPECT_EQ(host.reportsSent - reportsBefore, (payloadSize + 7 + kMaxPiece - 1) / kMaxPiece);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], kDataRequest);
    EXPECT_EQ(host.sink.inputs.size(), 2u);  // nothing was answered between the pieces
    EXPECT_EQ(controller.Stored(), payload);
    EXPECT_EQ(controller.DataMessageCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(StreamController, PieceJoinTest,
                         ::testing::Values(1, 32, 33, 72, 73, 200, kMaxCommandPayload));

TEST(StreamController, EmptyDataMessageStoresNothingAndAsksAgain) {
    sim::StreamController controller;
    Host host(controller);
    host.SendInfo({1, 2, 64});
    const auto replies = host.SendCommand(SET_FIRMWARE_DATA);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], kDataRequest);
    EXPECT_TRUE(controller.Stored().empty());
    EXPECT_EQ(controller.DataMessageCount(), 1u);
}

TEST(StreamController, NewDescriptionStartsTheTransferAfresh) {
    sim::StreamController controller;
    Host host(controller);
    host.SendInfo({1, 2, 64});
    host.SendCommand(SET_FIRMWARE_DATA, Pattern(32, 0x01));
    const FirmwareDescription second{3, 4, 32};
    const auto replies = host.SendInfo(second);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], kDataRequest);
    EXPECT_EQ(controller.Announced(), second);
    EXPECT_TRUE(controller.Stored().empty());
    EXPECT_EQ(controller.DataRequestCount(), 1u);
    EXPECT_EQ(controller.DataMessageCount(), 0u);
}

// ---- SET_FIRMWARE_END that does not complete an update -----------------------------------------

struct EndCase {
    std::string name;
    bool announce;
    std::size_t bytesBeforeEnd;
};

const EndCase kEnds[] = {
    {"NoTransfer", false, 0},
    {"ImageShortByOne", true, 63},
};

class EndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(EndTest, KeepsTheOldVersion) {
    const EndCase& c = GetParam();
    sim::StreamController controller;
    Host host(controller);
    if (c.announce) host.SendInfo({0x0200, 0, 64});
    if (c.bytesBeforeEnd != 0) host.SendCommand(SET_FIRMWARE_DATA, Pattern(c.bytesBeforeEnd, 1));
    EXPECT_TRUE(host.SendCommand(SET_FIRMWARE_END).empty());
    EXPECT_TRUE(controller.EndReceived());
    EXPECT_FALSE(controller.UpdateComplete());
    EXPECT_EQ(controller.CurrentVersion(), 137u);
}

INSTANTIATE_TEST_SUITE_P(StreamController, EndTest, ::testing::ValuesIn(kEnds),
                         [](const auto& test) { return test.param.name; });

// ---- Faults ------------------------------------------------------------------------------------

struct FaultCase {
    std::string name;
    sim::StreamFaults faults;
    std::size_t expectedDataMessages;  // sent before the update stopped
    std::optional<Bytes> stopReply;    // the frame in place of a request; nullopt: none at all
    int expectedUnplugs;
    bool answersLater;  // a version query after the stop is still answered
};

sim::StreamFaults FailAt(std::size_t chunk, std::uint8_t command) {
    sim::StreamFaults faults;
    faults.failAtChunk = chunk;
    faults.failCommand = command;
    return faults;
}

sim::StreamFaults SilentFrom(std::size_t chunk) {
    sim::StreamFaults faults;
    faults.silentFromChunk = chunk;
    return faults;
}

sim::StreamFaults UnplugAt(std::size_t chunk) {
    sim::StreamFaults faults;
    faults.unplugAtChunk = chunk;
    return faults;
}

const FaultCase kFaults[] = {
    {"FailAtFirstRequest", FailAt(0, FIRMWARE_FAIL), 0, Bytes{0x00, 0x16, 0x01, 0x00, 0x15}, 0,
     true},
    {"ErrorAtThirdChunk", FailAt(2, FIRMWARE_ERROR), 2, Bytes{0x00, 0x16, 0x01, 0x00, 0x18}, 0,
     true},
    {"FailInPlaceOfTheFinalRequest", FailAt(4, FIRMWARE_FAIL), 4,
     Bytes{0x00, 0x16, 0x01, 0x00, 0x15}, 0, true},
    {"SilentFromSecondChunk", SilentFrom(1), 1, std::nullopt, 0, false},
    {"UnplugAtThirdChunk", UnplugAt(2), 2, std::nullopt, 1, false},
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, StopsTheTransferWhereTold) {
    const FaultCase& c = GetParam();
    sim::StreamController controller;
    controller.SetFaults(c.faults);
    Host host(controller);
    const Bytes file = Pattern(128, 0x40);

    const UpdateTrace trace = RunUpdate(host, {0x0200, 0, 100}, file);

    EXPECT_EQ(trace.dataMessages, c.expectedDataMessages);
    EXPECT_EQ(trace.requests, c.expectedDataMessages);
    EXPECT_EQ(controller.Stored(), trace.sent);
    EXPECT_EQ(host.sink.unplugs, c.expectedUnplugs);
    EXPECT_EQ(controller.Unplugged(), c.expectedUnplugs != 0);
    ASSERT_FALSE(host.sink.inputs.empty() && c.stopReply);
    if (c.stopReply) {
        EXPECT_TRUE(trace.otherReply);
        EXPECT_EQ(host.sink.inputs.back(), ExpectedInput(*c.stopReply));
    } else {
        EXPECT_FALSE(trace.otherReply);
    }

    // Whatever the host sends next, the stopped transfer does not complete.
    host.SendCommand(SET_FIRMWARE_DATA, Pattern(32, 0x90));
    host.SendCommand(SET_FIRMWARE_END);
    EXPECT_FALSE(controller.UpdateComplete());
    EXPECT_EQ(controller.CurrentVersion(), 137u);
    EXPECT_EQ(host.SendCommand(GET_FIRMWARE_VERSION).size(), c.answersLater ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(StreamController, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& test) { return test.param.name; });

TEST(StreamController, SilentFromTheStartNeverAnswers) {
    sim::StreamController controller;
    sim::StreamFaults faults;
    faults.silent = true;
    controller.SetFaults(faults);
    Host host(controller);
    host.SendCommand(GET_FIRMWARE_VERSION);
    host.SendShort(MSG_START);
    host.SendInfo({1, 0, 32});
    EXPECT_TRUE(host.sink.inputs.empty());
    EXPECT_EQ(host.sink.unplugs, 0);
}

TEST(StreamController, ReportsAnotherFirmwareTypeWhenTold) {
    sim::StreamController controller;
    sim::StreamFaults faults;
    faults.reportedFirmwareType = 0;
    controller.SetFaults(faults);
    Host host(controller);
    const auto replies = host.SendShort(MSG_START);
    ASSERT_EQ(replies.size(), 1u);
    const ReceivedFrame received = ParseReceivedFrame(MessageInReport(replies[0]));
    ASSERT_EQ(received.kind, ReceivedKind::DeviceInfo);
    EXPECT_EQ(received.description, (ControllerDescription{0, 1, 0x0105}));
}

}  // namespace
