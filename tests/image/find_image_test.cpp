// The firmware file: header layout and the lookup of an image by device type.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/firmware_header.h"
#include "image/firmware_writer.h"

namespace {

class FindImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/zentrel-image-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_Dir = dir;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + m_Dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string Write(const std::vector<std::uint8_t>& bytes, const std::string& name = "f.dat") {
        const std::string path = m_Dir + "/" + name;
        EXPECT_TRUE(WriteFileBytes(path, bytes));
        return path;
    }
    static FirmwareRecord Record(std::uint32_t type, std::size_t size) {
        return MakeRecord(137, 0x08000000, type, PatternImage(size, type));
    }
    std::string m_Dir;
};

TEST(FirmwareHeaderLayout, SevenLittleEndianWords) {
    FirmwareHeader h{0x00020089, 0x08014000, 100, 0x6006, 0xAAAAAAAA, -3, 0x55555555};
    std::uint8_t bytes[kFirmwareHeaderSize];
    EncodeFirmwareHeader(h, bytes);
    const std::uint8_t expected[kFirmwareHeaderSize] = {
        0x89, 0x00, 0x02, 0x00, 0x00, 0x40, 0x01, 0x08, 100,  0,    0,    0,    0x06, 0x60,
        0,    0,    0xAA, 0xAA, 0xAA, 0xAA, 0xFD, 0xFF, 0xFF, 0xFF, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 28),
              std::vector<std::uint8_t>(expected, expected + 28));
    const FirmwareHeader back = DecodeFirmwareHeader(bytes);
    EXPECT_EQ(back.desVersion, h.desVersion);
    EXPECT_EQ(back.imageSize, 100u);
    EXPECT_EQ(back.revision, -3);
}

TEST_F(FindImageTest, WalksRecordsInFileOrder) {
    struct Case {
        std::vector<FirmwareRecord> records;
        std::size_t trailing;
        std::uint32_t code;
        std::int32_t expected;
    };
    const Case cases[] = {
        {{Record(0x3010, 64)}, 0, 0x3010, 0},
        {{Record(0x3010, 64)}, 0, 0x3011, -1},
        {{Record(0x5111, 100), Record(0x5112, 0), Record(0x9020, 50)}, 0, 0x5112, 128},
        {{Record(0x5111, 100), Record(0x5112, 0), Record(0x9020, 50)}, 0, 0x9020, 156},
        {{Record(0x6006, 10), Record(0x6006, 20)}, 0, 0x6006, 0},  // first wins
        {{Record(0x1, 10), Record(0x6006, 10), Record(0x6006, 20)}, 0, 0x6006, 38},
        {{Record(0x6006, 10)}, 10, 0x0000, -1},  // trailing bytes never match
        {{Record(0x6006, 10)}, 27, 0x0000, -1},  // nor a header cut short
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> bytes = BuildFirmwareFile(c.records);
        bytes.insert(bytes.end(), c.trailing, 0x00);
        EXPECT_EQ(FindImage(Write(bytes), c.code), c.expected) << std::hex << c.code;
    }
}

TEST_F(FindImageTest, SizesPastTheEndOrTheSignedLimitEndTheWalk) {
    // An imageSize past the end: the walk stops there.
    FirmwareRecord big = Record(0x5111, 10);
    big.header.imageSize = 1000;
    EXPECT_EQ(FindImage(Write(BuildFirmwareFile({big, Record(0x6006, 10)})), 0x6006), -1);

    // Sizes that would wrap the offset around 32 bits must not move it backwards.
    for (std::uint32_t size : {0xFFFFFFE4u, 0xFFFFFFFFu, 0x7FFFFFE4u, 0x7FFFFFFFu}) {
        FirmwareRecord wrap = Record(0x5111, 0);
        wrap.header.imageSize = size;
        std::vector<std::uint8_t> bytes = BuildFirmwareFile({wrap});
        // Behind it, a header that a wrapped offset would land on.
        const std::vector<std::uint8_t> again = BuildFirmwareFile({Record(0x6006, 0)});
        bytes.insert(bytes.end(), again.begin(), again.end());
        EXPECT_EQ(FindImage(Write(bytes), 0x6006), -1) << size;
    }
}

TEST_F(FindImageTest, FilesThatCannotBeReadGiveMinusOne) {
    EXPECT_EQ(FindImage(Write({}), 0), -1);
    EXPECT_EQ(FindImage(m_Dir + "/missing.dat", 0), -1);
    EXPECT_EQ(FindImage(m_Dir, 0), -1);  // a directory
    const std::string locked = Write(BuildFirmwareFile({Record(0x6006, 4)}), "locked.dat");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(FindImage(locked, 0x6006), -1);  // root reads it all the same
    }
}

TEST_F(FindImageTest, ThousandsOfEmptyRecordsAreWalkedToTheEnd) {
    std::vector<FirmwareRecord> records(5000, Record(0x5111, 0));
    records.push_back(Record(0x6006, 4));
    EXPECT_EQ(FindImage(Write(BuildFirmwareFile(records)), 0x6006), 5000 * 28);
}

TEST_F(FindImageTest, FilesOfTwoGigabytesOrMoreAreOutsideTheFormat) {
    const std::string path = Write(BuildFirmwareFile({Record(0x6006, 4)}), "sparse.dat");
    ASSERT_EQ(::truncate(path.c_str(), 0x80000000LL), 0);  // sparse: costs no disk
    EXPECT_EQ(FindImage(path, 0x6006), -1);
    ASSERT_EQ(::truncate(path.c_str(), 0x7FFFFFFFLL), 0);
    EXPECT_EQ(FindImage(path, 0x6006), 0);
}

}  // namespace
