#include "stream/message_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Reports = std::vector<Bytes>;  // each: count byte, then the message bytes

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Distinct, non-repeating bytes so that a shifted or reordered copy shows.
Bytes Pattern(std::size_t length, std::uint8_t first) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

Bytes ComposeOne(std::span<const std::uint8_t> message) {
    std::array<std::uint8_t, kReportMessageSize> area{};
    const std::size_t length = ComposeReportMessage(message, area);
    return Bytes(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(length));
}

// The report messages a host sender puts out: a data frame in pieces, anything else whole.
Reports CommandReports(std::uint8_t command, const Bytes& payload) {
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    const std::size_t length = BuildCommandFrame(command, payload, frame);
    const std::span<const std::uint8_t> built(frame.data(), length);
    Reports reports;
    if (command != SET_FIRMWARE_DATA) {
        reports.push_back(ComposeOne(built));
        return reports;
    }
    for (std::span<const std::uint8_t> piece : CutIntoPieces(built)) {
        reports.push_back(ComposeOne(piece));
    }
    return reports;
}

Reports ShortReports(std::uint8_t type) {
    std::array<std::uint8_t, kShortFrameSize> frame{};
    const std::size_t length = BuildShortFrame(type, 0x00, frame);
    return {ComposeOne(std::span<const std::uint8_t>(frame.data(), length))};
}

const FirmwareDescription kDescription = {0x44332211, 0x88776655, 0xCCBBAA99};

struct HostMessageCase {
    std::string name;
    Reports (*build)();
    Reports expected;
};

const Bytes kChunk32 = Pattern(32, 0xA0);
const Bytes kPayload40 = Pattern(40, 0x30);

const HostMessageCase kHostMessages[] = {
    {"Start", [] { return ShortReports(MSG_START); }, {{0x05, 0x00, 0x1A, 0x01, 0x00, 0x00}}},
    {"ReadFailed",
     [] { return ShortReports(MSG_READ_FAILED); },
     {{0x05, 0x00, 0x1D, 0x01, 0x00, 0x00}}},
    {"GetVersion",
     [] { return CommandReports(GET_FIRMWARE_VERSION, {}); },
     {{0x05, 0x00, 0x16, 0x01, 0x00, 0x04}}},
    {"End",
     [] { return CommandReports(SET_FIRMWARE_END, {}); },
     {{0x05, 0x00, 0x16, 0x01, 0x00, 0x02}}},
    {"Info",
     [] {
         const auto description = BuildFirmwareDescription(kDescription);
         return CommandReports(SET_FIRMWARE_INFO, Bytes(description.begin(), description.end()));
     },
     {Concat({0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00, 0x11, 0x22,
              0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC},
             Bytes(16, 0x00))}},
    {"DataEmpty",
     [] { return CommandReports(SET_FIRMWARE_DATA, {}); },
     {{0x05, 0x00, 0x16, 0x01, 0x00, 0x00}}},
    {"DataFullChunkIsOnePiece",
     [] { return CommandReports(SET_FIRMWARE_DATA, kChunk32); },
     {Concat({0x27, 0x00, 0x16, 0x23, 0x00, 0x00, 0x20, 0x00}, kChunk32)}},
    {"Data40IsTwoPieces",
     [] { return CommandReports(SET_FIRMWARE_DATA, kPayload40); },
     {Concat({39, 0x00, 0x16, 43, 0x00, 0x00, 40, 0x00},
             Bytes(kPayload40.begin(), kPayload40.begin() + 32)),
      Concat({8}, Bytes(kPayload40.begin() + 32, kPayload40.end()))}},
};

class HostMessageTest : public ::testing::TestWithParam<HostMessageCase> {};

TEST_P(HostMessageTest, ReportBytesAreExact) {
    EXPECT_EQ(GetParam().build(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, HostMessageTest, ::testing::ValuesIn(kHostMessages),
                         [](const auto& test) { return test.param.name; });

// Partial chunks, 1 to 31 bytes: (P+7) 00 16 (P+3) 00 00 P 00, then the P bytes, one report.
class PartialChunkTest : public ::testing::TestWithParam<int> {};

TEST_P(PartialChunkTest, OneReportWithBothLengthFields) {
    const auto p = static_cast<std::uint8_t>(GetParam());
    const Bytes data = Pattern(p, 0x51);
    const Bytes expected = Concat({static_cast<std::uint8_t>(p + 7), 0x00, 0x16,
                                   static_cast<std::uint8_t>(p + 3), 0x00, 0x00, p, 0x00},
                                  data);
    EXPECT_EQ(CommandReports(SET_FIRMWARE_DATA, data), Reports{expected});
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, PartialChunkTest, ::testing::Range(1, 32));

struct LimitCase {
    std::string name;
    std::size_t payloadSize;
    std::size_t outSize;
    std::size_t expectedLength;  // 0: refused
};

const LimitCase kLimits[] = {
    {"LargestPayload", kMaxCommandPayload, kFrameBufferSize, kFrameBufferSize},
    {"PayloadOneTooMany", kMaxCommandPayload + 1, kFrameBufferSize + 8, 0},
    {"OutExactlyFits", 32, 39, 39},
    {"OutOneShort", 32, 38, 0},
    {"ShortFormOutOneShort", 0, 4, 0},
};

class CommandLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(CommandLimitTest, RefusesWhatDoesNotFitAndLeavesOutAlone) {
    const LimitCase& c = GetParam();
    const Bytes payload(c.payloadSize, 0x5A);
    Bytes out(c.outSize, 0xEE);
    EXPECT_EQ(BuildCommandFrame(SET_FIRMWARE_DATA, payload, out), c.expectedLength);
    if (c.expectedLength == 0) {
        EXPECT_EQ(out, Bytes(c.outSize, 0xEE));
    }
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, CommandLimitTest, ::testing::ValuesIn(kLimits),
                         [](const auto& test) { return test.param.name; });

TEST(MessageCodec, ShortFrameRefusesAShortBuffer) {
    Bytes out(4, 0xEE);
    EXPECT_EQ(BuildShortFrame(MSG_START, 0, out), 0u);
    EXPECT_EQ(out, Bytes(4, 0xEE));
}

struct ComposeCase {
    std::string name;
    std::size_t messageSize;
    std::size_t expectedResult;  // 0: refused
};

const ComposeCase kComposeCases[] = {
    {"Empty", 0, 0},
    {"OneByte", 1, 2},
    {"Largest", kMaxReportMessage, kReportMessageSize},
    {"OneTooMany", kMaxReportMessage + 1, 0},
};

class ComposeTest : public ::testing::TestWithParam<ComposeCase> {};

TEST_P(ComposeTest, CountThenMessageAndTheRestUntouched) {
    const ComposeCase& c = GetParam();
    const Bytes message = Pattern(c.messageSize, 0x10);
    std::array<std::uint8_t, kReportMessageSize + 1> area;
    area.fill(0xEE);
    ASSERT_EQ(ComposeReportMessage(message, area), c.expectedResult);
    const std::size_t written = c.expectedResult;
    if (written != 0) {
        EXPECT_EQ(area[0], c.messageSize);
        EXPECT_EQ(Bytes(area.begin() + 1, area.begin() + static_cast<std::ptrdiff_t>(written)),
                  message);
    }
    for (std::size_t i = written; i < area.size(); ++i) EXPECT_EQ(area[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, ComposeTest, ::testing::ValuesIn(kComposeCases),
                         [](const auto& test) { return test.param.name; });

struct PieceCase {
    std::size_t frameLength;
    std::vector<std::size_t> pieceLengths;
};

const PieceCase kPieceCases[] = {
    {0, {}}, {5, {5}}, {39, {39}}, {40, {39, 1}}, {47, {39, 8}}, {78, {39, 39}}, {79, {39, 39, 1}},
};

class PieceTest : public ::testing::TestWithParam<PieceCase> {};

TEST_P(PieceTest, PiecesAreTheFrameInOrder) {
    const PieceCase& c = GetParam();
    const Bytes frame = Pattern(c.frameLength, 0x01);
    std::vector<std::size_t> lengths;
    Bytes joined;
    for (std::span<const std::uint8_t> piece : CutIntoPieces(frame)) {
        lengths.push_back(piece.size());
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(lengths, c.pieceLengths);
    EXPECT_EQ(joined, frame);
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, PieceTest, ::testing::ValuesIn(kPieceCases));

// ---- The host's readers ------------------------------------------------------------------------

Bytes DeviceInfoFrame(std::uint8_t lead, std::size_t length, const Bytes& word) {
    Bytes frame(length, 0x00);
    frame[0] = lead;
    frame[1] = MSG_DEVICE_INFO;
    frame[2] = 0x28;
    for (std::size_t i = 0; i < word.size() && kDescriptionOffset + i < length; ++i) {
        frame[kDescriptionOffset + i] = word[i];
    }
    return frame;
}

struct ReceivedCase {
    std::string name;
    Bytes frame;
    ReceivedKind kind;
    std::uint8_t command;
    std::uint32_t version;
    ControllerDescription description;
};

const ReceivedCase kReceivedCases[] = {
    {"VersionReply",
     {0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x00, 0x00},
     ReceivedKind::Command,
     GET_FIRMWARE_VERSION,
     137,
     {}},
    {"VersionWordLittleEndian",
     {0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x78, 0x56, 0x34, 0x12},
     ReceivedKind::Command,
     GET_FIRMWARE_VERSION,
     0x12345678,
     {}},
    // Fields stand at fixed offsets: the length fields are not consulted.
    {"VersionReadDespiteLengthField",
     {0x00, 0x16, 0x01, 0x00, 0x04, 0x00, 0x00, 0x89, 0x00, 0x00, 0x00},
     ReceivedKind::Command,
     GET_FIRMWARE_VERSION,
     137,
     {}},
    {"VersionReplyTooShort",
     {0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x00},
     ReceivedKind::Ignored,
     0,
     0,
     {}},
    {"DataRequest",
     {0x00, 0x16, 0x01, 0x00, 0x14},
     ReceivedKind::Command,
     FIRMWARE_DATA_REQ,
     0,
     {}},
    {"CommandLeadByteOne",
     {0x01, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x00, 0x00},
     ReceivedKind::Ignored,
     0,
     0,
     {}},
    {"DeviceInfo",
     DeviceInfoFrame(0x00, 63, {0x01, 0x02, 0x05, 0x01}),
     ReceivedKind::DeviceInfo,
     0,
     0,
     {1, 2, 0x0105}},
    {"DeviceInfoAllFieldsHigh",
     DeviceInfoFrame(0x00, 44, {0xC8, 0xFE, 0x34, 0x92}),
     ReceivedKind::DeviceInfo,
     0,
     0,
     {200, 0xFE, 0x9234}},
    {"DeviceInfoLeadByteOne",
     DeviceInfoFrame(0x01, 63, {0x01, 0x02, 0x05, 0x01}),
     ReceivedKind::Ignored,
     0,
     0,
     {}},
    {"DeviceInfoTooShort",
     DeviceInfoFrame(0x00, 43, {0x01, 0x02, 0x05}),
     ReceivedKind::Ignored,
     0,
     0,
     {}},
    {"TypeWithoutReader", {0x00, 0x1A, 0x01, 0x00, 0x00}, ReceivedKind::Ignored, 0, 0, {}},
    {"Empty", {}, ReceivedKind::Ignored, 0, 0, {}},
};

class ReceivedTest : public ::testing::TestWithParam<ReceivedCase> {};

TEST_P(ReceivedTest, ReadsFieldsAtTheirOffsets) {
    const ReceivedCase& c = GetParam();
    const ReceivedFrame received = ParseReceivedFrame(c.frame);
    ASSERT_EQ(received.kind, c.kind);
    if (c.kind == ReceivedKind::Command) {
        EXPECT_EQ(received.command.command, c.command);
        EXPECT_EQ(received.command.version, c.version);
    }
    if (c.kind == ReceivedKind::DeviceInfo) {
        EXPECT_EQ(received.description, c.description);
    }
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, ReceivedTest, ::testing::ValuesIn(kReceivedCases),
                         [](const auto& test) { return test.param.name; });

// ---- The controller's readers ------------------------------------------------------------------

TEST(MessageCodec, BuiltCommandFramesDecodeBack) {
    const Bytes payloads[] = {{}, {0x42}, Pattern(32, 0x80), Pattern(kMaxCommandPayload, 0x00)};
    for (const Bytes& payload : payloads) {
        std::array<std::uint8_t, kFrameBufferSize> frame{};
        const std::size_t length = BuildCommandFrame(SET_FIRMWARE_DATA, payload, frame);
        const std::span<const std::uint8_t> built(frame.data(), length);
        ASSERT_EQ(ExpectedFrameLength(built), length);
        const std::optional<DecodedFrame> decoded = DecodeFrame(built);
        ASSERT_TRUE(decoded) << payload.size();
        EXPECT_EQ(decoded->type, MSG_COMMAND);
        const std::optional<DecodedCommand> command = DecodeCommandBody(decoded->body);
        ASSERT_TRUE(command) << payload.size();
        EXPECT_EQ(command->command, SET_FIRMWARE_DATA);
        EXPECT_EQ(Bytes(command->payload.begin(), command->payload.end()), payload);
        // One byte short of the header's promise is not a frame.
        EXPECT_FALSE(DecodeFrame(built.first(length - 1))) << payload.size();
    }
}

struct MalformedCase {
    std::string name;
    Bytes bytes;
};

const MalformedCase kMalformedFrames[] = {
    {"HeaderOnlyThreeBytes", {0x00, 0x16, 0x01}},
    {"LeadByteNotZero", {0x01, 0x16, 0x01, 0x00, 0x04}},
};

const MalformedCase kMalformedBodies[] = {
    {"Empty", {}},
    {"TwoBytes", {0x00, 0x01}},
    {"ZeroPayloadLength", {0x00, 0x00, 0x00}},
    {"PayloadLengthTooLong", {0x00, 0x03, 0x00, 0xAA, 0xBB}},
    {"PayloadLengthTooShort", {0x00, 0x01, 0x00, 0xAA, 0xBB}},
};

class MalformedFrameTest : public ::testing::TestWithParam<MalformedCase> {};
TEST_P(MalformedFrameTest, IsRefused) {
    EXPECT_FALSE(DecodeFrame(GetParam().bytes));
}
INSTANTIATE_TEST_SUITE_P(MessageCodec, MalformedFrameTest, ::testing::ValuesIn(kMalformedFrames),
                         [](const auto& test) { return test.param.name; });

class MalformedBodyTest : public ::testing::TestWithParam<MalformedCase> {};
TEST_P(MalformedBodyTest, IsRefused) {
    EXPECT_FALSE(DecodeCommandBody(GetParam().bytes));
}
INSTANTIATE_TEST_SUITE_P(MessageCodec, MalformedBodyTest, ::testing::ValuesIn(kMalformedBodies),
                         [](const auto& test) { return test.param.name; });

TEST(MessageCodec, FirmwareDescriptionDecodesBackAndNeeds28Bytes) {
    const auto bytes = BuildFirmwareDescription(kDescription);
    EXPECT_EQ(DecodeFirmwareDescription(bytes), kDescription);
    EXPECT_FALSE(DecodeFirmwareDescription(std::span<const std::uint8_t>(bytes).first(27)));
}

struct ReportCase {
    std::string name;
    std::size_t count;
    std::size_t expectedSize;
};

const ReportCase kReportCases[] = {
    {"Zero", 0, 0},
    {"One", 1, 1},
    {"Largest", kMaxReportMessage, kMaxReportMessage},
    {"BeyondPayload", kMaxReportMessage + 1, 0},
};

class MessageInReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(MessageInReportTest, TakesCountBytesFromByteOne) {
    std::array<std::uint8_t, kReportMessageSize> payload{};
    for (std::size_t i = 1; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    payload[0] = static_cast<std::uint8_t>(GetParam().count);
    const std::span<const std::uint8_t> message = MessageInReport(payload);
    ASSERT_EQ(message.size(), GetParam().expectedSize);
    if (!message.empty()) {
        EXPECT_EQ(message.front(), 1);
        EXPECT_EQ(message.back(), GetParam().expectedSize);
    }
}

INSTANTIATE_TEST_SUITE_P(MessageCodec, MessageInReportTest, ::testing::ValuesIn(kReportCases),
                         [](const auto& test) { return test.param.name; });

}  // namespace
