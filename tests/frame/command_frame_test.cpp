#include "frame/command_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Names each instantiated case after its table row (the macro's own lambda parameter is called
// info, so a lambda of ours with that name would shadow it).
struct ByName {
    template <class Param>
    std::string operator()(const testing::TestParamInfo<Param>& row) const {
        return row.param.name;
    }
};

using Frame = std::array<std::uint8_t, kCommandFrameSize>;

// Payload bytes with no two neighbours equal, so a shifted or reordered copy shows.
std::vector<std::uint8_t> Pattern(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
    }
    return bytes;
}

std::uint16_t Le16At(const Frame& f, std::size_t at) {
    return static_cast<std::uint16_t>(f[at] | (f[at + 1] << 8));
}

std::uint32_t Le32At(const Frame& f, std::size_t at) {
    return static_cast<std::uint32_t>(f[at]) | (static_cast<std::uint32_t>(f[at + 1]) << 8) |
           (static_cast<std::uint32_t>(f[at + 2]) << 16) |
           (static_cast<std::uint32_t>(f[at + 3]) << 24);
}

// --- CRC -------------------------------------------------------------------------------------

struct CrcCase {
    const char* name;
    const char* bytes;  // nullptr: no buffer at all
    std::int32_t count;
    std::uint16_t expected;  // from an independent bytewise implementation
};

class Crc16ModbusTest : public testing::TestWithParam<CrcCase> {};

TEST_P(Crc16ModbusTest, MatchesReference) {
    const CrcCase& c = GetParam();
    EXPECT_EQ(Crc16Modbus(reinterpret_cast<const std::uint8_t*>(c.bytes), c.count), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, Crc16ModbusTest,
                         testing::Values(CrcCase{"CheckValue", "123456789", 9, 0x4B37},
                                         CrcCase{"Prefix", "123456789", 4, 0x30BA},
                                         CrcCase{"SingleZeroByte", "\0", 1, 0x40BF},
                                         CrcCase{"ZeroCountIsInitialValue", "123456789", 0, 0xFFFF},
                                         CrcCase{"NegativeCountIsInitialValue", "123456789", -5,
                                                 0xFFFF},
                                         CrcCase{"NullBufferIsInitialValue", nullptr, 9, 0xFFFF}),
                         ByName());

// The CRC over every single byte value, and over blocks of many lengths, against the bit-serial
// definition written out here.
TEST(Crc16Modbus, AgreesWithTheBitSerialDefinition) {
    const auto reference = [](const std::uint8_t* bytes, std::size_t count) {
        std::uint16_t crc = 0xFFFF;
        for (std::size_t i = 0; i < count; ++i) {
            crc = static_cast<std::uint16_t>(crc ^ bytes[i]);
            for (int bit = 0; bit < 8; ++bit) {
                crc = static_cast<std::uint16_t>((crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1);
            }
        }
        return crc;
    };
    for (int value = 0; value < 256; ++value) {
        const std::uint8_t byte = static_cast<std::uint8_t>(value);
        EXPECT_EQ(Crc16Modbus(&byte, 1), reference(&byte, 1)) << value;
    }
    std::vector<std::uint8_t> bytes(4096);
    std::uint32_t state = 12345;
    for (std::uint8_t& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 16);
    }
    for (std::size_t count = 1; count <= bytes.size(); count += count < 64 ? 1 : 97) {
        EXPECT_EQ(Crc16Modbus(bytes.data(), static_cast<std::int32_t>(count)),
                  reference(bytes.data(), count))
            << count;
    }
}

// --- Request frames --------------------------------------------------------------------------

struct FrameCase {
    const char* name;
    std::uint16_t command;
    std::size_t payloadBytes;  // 0: a request without payload
    std::uint32_t length;      // as given, before the cut
    std::uint32_t address;
    std::uint32_t size;
    bool withCrc;
    std::uint16_t expectedLength;
    std::uint16_t expectedCrc;  // from an independent implementation over Pattern()
    std::uint8_t expectedSent;
};

class RequestFrameTest : public testing::TestWithParam<FrameCase> {};

TEST_P(RequestFrameTest, EncodesEveryField) {
    const FrameCase& c = GetParam();
    const std::vector<std::uint8_t> payload = Pattern(c.payloadBytes);
    Frame frame;
    frame.fill(0xEE);  // every byte must be written

    const std::uint8_t sent =
        EncodeRequestFrame(frame, payload, c.length, c.address, c.size, c.command, c.withCrc);

    EXPECT_EQ(sent, c.expectedSent);
    EXPECT_EQ(frame[0], 0x05);
    EXPECT_EQ(Le16At(frame, 1), c.command);
    EXPECT_EQ(Le16At(frame, 3), 0);
    EXPECT_EQ(Le16At(frame, 5), c.expectedLength);
    EXPECT_EQ(Le16At(frame, 7), c.expectedCrc);
    EXPECT_EQ(Le32At(frame, 9), c.size);
    EXPECT_EQ(Le32At(frame, 13), c.address);
    const std::size_t carried = std::min<std::size_t>(c.expectedLength, c.payloadBytes);
    for (std::size_t i = 0; i < carried; ++i) {
        EXPECT_EQ(frame[17 + i], payload[i]) << "payload byte " << i;
    }
    for (std::size_t i = 17 + carried; i < frame.size(); ++i) {
        EXPECT_EQ(frame[i], 0) << "frame byte " << i;
    }
}

TEST_P(RequestFrameTest, DecodesWhatWasEncoded) {
    const FrameCase& c = GetParam();
    const std::vector<std::uint8_t> payload = Pattern(c.payloadBytes);
    Frame frame;
    EncodeRequestFrame(frame, payload, c.length, c.address, c.size, c.command, c.withCrc);

    const std::optional<RequestFrameView> view = DecodeRequestFrame(frame);

    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->command, c.command);
    EXPECT_EQ(view->answer, 0);
    EXPECT_EQ(view->length, c.expectedLength);
    EXPECT_EQ(view->crc, c.expectedCrc);
    EXPECT_EQ(view->size, c.size);
    EXPECT_EQ(view->address, c.address);
    ASSERT_EQ(view->payload.size(), c.expectedLength);
    EXPECT_EQ(view->payload.data(), frame.data() + 17);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RequestFrameTest,
    testing::Values(
        FrameCase{"ReadMemoryVersionWord", CMD_READ_MEMORY, 0, 4, 0x08014034, 4, false, 4, 0, 17},
        FrameCase{"ReadMemoryCutTo46", CMD_READ_MEMORY, 0, 100, 0x01017040, 100, false, 46, 0, 17},
        FrameCase{"GetDeviceType", CMD_GET_DEVICE_TYPE, 0, 4, 0, 4, false, 4, 0, 17},
        FrameCase{"Prepare", CMD_PREPARE, 0, 0, 0x01018000, 0x00019C40, false, 0, 0, 17},
        FrameCase{"PrepareCrcAskedWithoutPayload", CMD_PREPARE, 0, 0, 0x01017040, 32, true, 0, 0,
                  17},
        FrameCase{"WriteDataFullBlock", CMD_WRITE_DATA, 46, 46, 0x0101802E, 100, true, 46, 0x73A8,
                  63},
        FrameCase{"WriteDataFullBlockNoCrc", CMD_WRITE_DATA, 46, 46, 0x0800345C, 100, false, 46, 0,
                  63},
        FrameCase{"WriteData50CutTo46", CMD_WRITE_DATA, 50, 50, 0x08014000, 0x12345678, true, 46,
                  0x73A8, 63},
        FrameCase{"WriteDataLastShortBlock", CMD_WRITE_DATA, 8, 8, 0x0801405C, 100, false, 8, 0,
                  25},
        FrameCase{"WriteDataPayloadShorterThanLength", CMD_WRITE_DATA, 3, 10, 0x08014000, 10, true,
                  10, 0x683E, 27},
        FrameCase{"WriteInfoWithCrc", CMD_WRITE_INFO, 4, 4, 0x01017040, 4, true, 4, 0x382C, 21},
        FrameCase{"WriteInfoNoCrc", CMD_WRITE_INFO, 4, 4, 0x08003434, 4, false, 4, 0, 21},
        FrameCase{"Finish", CMD_FINISH, 0, 0, 0, 0, false, 0, 0, 17}),
    ByName());

TEST(CommandFrameRequest, CrcTravelsLowByteFirst) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    Frame frame;
    EncodeRequestFrame(frame, digits, sizeof digits, 0, sizeof digits, CMD_WRITE_DATA, true);
    EXPECT_EQ(frame[7], 0x37);
    EXPECT_EQ(frame[8], 0x4B);
}

struct MalformedCase {
    const char* name;
    std::size_t at;
    std::uint8_t value;
    bool decodes;
};

class DecodeBoundsTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(DecodeBoundsTest, RejectsMarkerAndOverlongLength) {
    const MalformedCase& c = GetParam();
    Frame frame;
    EncodeRequestFrame(frame, {}, 4, 0x08014034, 4, CMD_READ_MEMORY, false);
    frame[c.at] = c.value;
    EXPECT_EQ(DecodeRequestFrame(frame).has_value(), c.decodes);
}

INSTANTIATE_TEST_SUITE_P(Fields, DecodeBoundsTest,
                         testing::Values(MalformedCase{"MarkerZero", 0, 0x00, false},
                                         MalformedCase{"MarkerSix", 0, 0x06, false},
                                         MalformedCase{"Length46", 5, 46, true},
                                         MalformedCase{"Length47", 5, 47, false},
                                         MalformedCase{"LengthHighByte", 6, 0x01, false}),
                         ByName());

TEST(DecodeRequestFrame, CrcMatchFollowsPayload) {
    const std::vector<std::uint8_t> payload = Pattern(46);
    Frame frame;
    EncodeRequestFrame(frame, payload, 46, 0x01018000, 46, CMD_WRITE_DATA, true);
    ASSERT_TRUE(PayloadCrcMatches(*DecodeRequestFrame(frame)));
    frame[40] ^= 0x01;
    EXPECT_FALSE(PayloadCrcMatches(*DecodeRequestFrame(frame)));
}

// --- Replies ---------------------------------------------------------------------------------

struct AckCase {
    const char* name;
    std::vector<std::pair<std::size_t, std::uint8_t>> changes;  // applied to a PREPARE reply
    std::uint16_t asked;
    bool acknowledges;
};

class AcknowledgementTest : public testing::TestWithParam<AckCase> {};

TEST_P(AcknowledgementTest, JudgesTheFourHeaderFields) {
    const AckCase& c = GetParam();
    Frame reply{};
    reply[1] = 0x05;
    reply[4] = CMD_PREPARE;
    for (const auto& [at, value] : c.changes) {
        reply[at] = value;
    }
    EXPECT_EQ(IsAcknowledgement(reply, c.asked), c.acknowledges);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AcknowledgementTest,
    testing::Values(
        AckCase{"Matching", {}, CMD_PREPARE, true},
        AckCase{"OtherCommand", {}, CMD_WRITE_DATA, false},
        AckCase{"StartsLikeARequest", {{0, 0x05}, {1, 0x00}}, CMD_PREPARE, false},
        AckCase{"FirstByteNonZero", {{0, 0x01}}, CMD_PREPARE, false},
        AckCase{"MarkerWrong", {{1, 0x04}}, CMD_PREPARE, false},
        AckCase{"CommandWordLowSet", {{2, 0x04}}, CMD_PREPARE, false},
        AckCase{"CommandWordHighSet", {{3, 0x01}}, CMD_PREPARE, false},
        AckCase{"AnswerHighByteSet", {{5, 0x01}}, CMD_PREPARE, false},
        AckCase{"UnexaminedBytesIgnored", {{6, 0xAA}, {17, 0x55}, {63, 0x11}}, CMD_PREPARE, true}),
    ByName());

TEST(CommandFrameReply, EncodeReplyLaysOutAcknowledgementAndData) {
    const std::vector<std::uint8_t> data = Pattern(64);
    Frame reply;
    reply.fill(0xEE);
    EncodeReply(reply, CMD_READ_MEMORY, data);
    EXPECT_EQ(reply[0], 0x00);
    EXPECT_EQ(reply[1], 0x05);
    EXPECT_EQ(Le16At(reply, 2), 0);
    EXPECT_EQ(Le16At(reply, 4), CMD_READ_MEMORY);
    for (std::size_t i = 0; i < 46; ++i) {
        EXPECT_EQ(reply[18 + i], data[i]) << "data byte " << i;
    }
}

struct ReplyDataCase {
    std::uint32_t count;
    std::size_t expectedSize;
};

class ReplyDataTest : public testing::TestWithParam<ReplyDataCase> {};

TEST_P(ReplyDataTest, StartsAtByte18AndStopsAt46) {
    Frame reply{};
    for (std::size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<std::uint8_t>(i);
    }
    const std::span<const std::uint8_t> data = ReplyData(reply, GetParam().count);
    ASSERT_EQ(data.size(), GetParam().expectedSize);
    for (std::size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i], 18 + i);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ReplyDataTest,
                         testing::Values(ReplyDataCase{0, 0}, ReplyDataCase{4, 4},
                                         ReplyDataCase{46, 46}, ReplyDataCase{47, 46},
                                         ReplyDataCase{0xFFFFFFFF, 46}));

TEST(CommandFrameReply, ReplyWordIsLittleEndianAtByte18) {
    Frame reply{};
    reply[18] = 0x89;
    reply[19] = 0x00;
    reply[20] = 0x02;
    reply[21] = 0x00;
    reply[22] = 0x77;  // outside the word
    EXPECT_EQ(ReplyWord(reply), 0x00020089u);
}

// --- Device types ----------------------------------------------------------------------------

struct TypeCase {
    std::uint32_t code;
    bool inSet;
};

class CrcDeviceTypeTest : public testing::TestWithParam<TypeCase> {};

TEST_P(CrcDeviceTypeTest, Membership) {
    EXPECT_EQ(IsCrcDeviceTypeCode(GetParam().code), GetParam().inSet);
}

INSTANTIATE_TEST_SUITE_P(Codes, CrcDeviceTypeTest,
                         testing::Values(TypeCase{0x3010, true}, TypeCase{0x3011, true},
                                         TypeCase{0x5111, true}, TypeCase{0x5112, true},
                                         TypeCase{0x6006, true}, TypeCase{0x6007, true},
                                         TypeCase{0x9020, true}, TypeCase{0x3009, false},
                                         TypeCase{0x0000, false}, TypeCase{0x3012, false},
                                         TypeCase{0x9021, false}, TypeCase{0x00013010, false},
                                         TypeCase{0xFFFFFFFF, false}));

}  // namespace
