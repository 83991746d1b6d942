// Firmware selection on the headless toolkit: the file dialog, the rules, the confirmation
// texts, the refusals and the order of acceptance.
#include <gtest/gtest.h>
#include <unistd.h>

#include "image/firmware_writer.h"
#include "platform/file.h"
#include "sim/scripted_device.h"
#include "support/app_harness.h"

namespace {

class SelectFirmwareTest : public ::testing::Test {
protected:
    std::unique_ptr<test::AppHarness> h;
    std::shared_ptr<sim::ScriptedDevice> device;

    // A controller that answers nothing, of the given kind; the window is running.
    void StartWith(sim::DeviceIds ids, std::uint16_t language = 0x0409) {
        h = std::make_unique<test::AppHarness>(language);
        device = std::make_shared<sim::ScriptedDevice>();
        h->bus.Plug(ids, device, {}, false);
        h->Start();
        h->ClearLines();
        h->toolkit.ClearEvents();
    }
    void UseFile(const std::vector<FirmwareRecord>& records) {
        h->firmwarePath = h->TempFile("fw.dat", BuildFirmwareFile(records));
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : h->toolkit.Boxes()) out.push_back(b.text);
        return out;
    }
    CUpdateDlg& Dlg() { return h->Dlg(); }
};

TEST_F(SelectFirmwareTest, AsksForADatFileInTheCurrentDirectory) {
    StartWith(test::kStreamIds);
    h->firmwarePath.reset();
    EXPECT_FALSE(Dlg().SelectFirmware());
    const auto dialogs = h->toolkit.FileDialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].filter, "File type(*.dat)|*.dat||");
    EXPECT_EQ(dialogs[0].defaultExtension, "*.*");
    EXPECT_EQ(dialogs[0].initialDirectory, platform::CurrentDirectory());
    EXPECT_EQ(dialogs[0].flags, platform::kOfnHideReadOnly | platform::kOfnOverwritePrompt);
    EXPECT_TRUE(h->toolkit.Boxes().empty());
}

TEST_F(SelectFirmwareTest, ATypedNameOfAMissingFileIsRefusedSilently) {
    StartWith(test::kStreamIds);
    h->firmwarePath = "/nonexistent/typed-name.dat";
    EXPECT_FALSE(Dlg().SelectFirmware());
    EXPECT_EQ(Dlg().m_FilePath, "/nonexistent/typed-name.dat");
    EXPECT_TRUE(h->toolkit.Boxes().empty());
}

struct MinimumCase {
    std::uint8_t revision;
    std::uint32_t desVersion;
    bool passes;
};

TEST_F(SelectFirmwareTest, MinimumVersionRuleForProduct0x105) {
    const MinimumCase cases[] = {
        {1, 137, true},         {1, 0x00010089, false}, {1, 136, false}, {1, 0x0003008A, true},
        {0, 136, false},        {0, 137, true},         {2, 501, false}, {2, 502, true},
        {2, 0x000101F6, false}, {2, 503, true},         {3, 1, true},    {3, 0x00050000, true},
    };
    StartWith(test::kStreamIds);
    for (const MinimumCase& c : cases) {
        h->toolkit.ClearEvents();
        Dlg().m_DeviceInfo = {0x105, c.revision};
        UseFile({MakeRecord(c.desVersion, 0, 0, PatternImage(40, 1))});
        const std::size_t boxesBefore = h->toolkit.Boxes().size();
        EXPECT_EQ(Dlg().SelectFirmware(), c.passes) << int(c.revision) << " " << c.desVersion;
        // A refusal shows nothing; a pass shows the confirmation.
        EXPECT_EQ(h->toolkit.Boxes().size() - boxesBefore, c.passes ? 1u : 0u);
    }
    // Other products and command-frame controllers have no minimum.
    Dlg().m_DeviceInfo = {0x106, 1};
    UseFile({MakeRecord(1, 0, 0, PatternImage(40, 1))});
    EXPECT_TRUE(Dlg().SelectFirmware());
}

struct ConfirmCase {
    std::uint16_t language;
    std::uint32_t deviceVersion;
    std::int32_t revision;
    const char* text;
};

TEST_F(SelectFirmwareTest, ConfirmationTextsInBothLanguages) {
    const ConfirmCase cases[] = {
        {0x0409, 137, 0, "Firmware Version:  1.37\n"},
        {0x0409, 0x00020089, 0, "Firmware Version:  1.37 beta2\n"},
        {0x0409, 137, 5, "Firmware Version:  1.37 r5\n"},
        {0x0409, 0x00020089, 3, "Firmware Version:  1.37 beta2 r3\n"},
        {0x0409, 0xFFFFFFFF, 0, "Firmware Version:  655.35 beta65535\n"},
        {0x0409, 137, -1, "Firmware Version:  1.37 r-1\n"},
        {0x0804, 137, 0, "固件版本:  1.37\n"},
        {0x0804, 0x00020089, 3, "固件版本:  1.37 beta2 r3\n"},
    };
    for (const ConfirmCase& c : cases) {
        StartWith(test::kStreamIds, c.language);
        Dlg().m_DeviceInfo = {0x200, 1};
        g_DeviceVersion = c.deviceVersion;
        UseFile({MakeRecord(0x00070200, 0, 0, PatternImage(40, 1), c.revision)});
        EXPECT_TRUE(Dlg().SelectFirmware());
        ASSERT_EQ(h->toolkit.Boxes().size(), 1u);
        EXPECT_EQ(h->toolkit.Boxes()[0].text, c.text);
        EXPECT_EQ(h->toolkit.Boxes()[0].type, platform::kMbOkCancel);
        EXPECT_EQ(h->toolkit.Boxes()[0].caption, "Zentrel Update v2.31");
        h.reset();
    }
}

TEST_F(SelectFirmwareTest, CancelChangesNothingAndSaysSo) {
    StartWith(test::kStreamIds);
    Dlg().m_DeviceInfo = {0x200, 1};
    Dlg().m_FileVersion = 42;
    h->confirmAnswer = platform::kIdCancel;
    UseFile({MakeRecord(138, 0x100, 0, PatternImage(40, 1))});
    EXPECT_FALSE(Dlg().SelectFirmware());
    EXPECT_EQ(h->Lines(), std::vector<std::string>{"MessageBox == IDCANCEL\n"});
    EXPECT_EQ(Dlg().m_FileVersion, 42u);
    EXPECT_EQ(g_TransferState.load(), STATE_IDLE);
    EXPECT_EQ(Dlg().m_ImageSize, 40u);  // the header was read before the confirmation
}

TEST_F(SelectFirmwareTest, AcceptanceOnAMessageStreamControllerAnnouncesTheImage) {
    StartWith(test::kStreamIds);
    Dlg().m_DeviceInfo = {0x200, 1};
    Dlg().m_DeviceType = 0x6006;  // left by an earlier command-frame controller: not used here
    UseFile({MakeRecord(0x0001008A, 0x08004000, 0x1234, PatternImage(40, 1))});
    std::uint32_t stateAtInfo = 0;
    h->bus.SetTraceSink([&](const sim::TraceRecord& r) {
        if (r.out && r.report[2] == 0x00 && r.report[3] == 0x16 && r.report[6] == 0x01)
            stateAtInfo = g_TransferState.load();
    });
    EXPECT_TRUE(Dlg().SelectFirmware());
    EXPECT_EQ(stateAtInfo, STATE_INFO_SENT);
    EXPECT_EQ(Dlg().m_Hid.m_ReadTimeout.load(), 10u);
    EXPECT_EQ(Dlg().m_FileVersion, 0x0001008Au);
    EXPECT_EQ(Dlg().m_HeaderOffset, 0);
    EXPECT_EQ(h->Lines(),
              (std::vector<std::string>{"SendFirmwarePacket cmd 1\n", "desVersion is 65674\n"}));
    h->bus.Settle();
    const auto received = device->Received();
    ASSERT_FALSE(received.empty());
    const sim::Payload& info = received.back();
    const std::uint8_t expected[] = {0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00, 0x8A, 0x00,
                                     0x01, 0x00, 0x00, 0x40, 0x00, 0x08, 40,   0,    0,    0};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), info.begin()));
}

TEST_F(SelectFirmwareTest, CommandFrameControllersOfCrcTypesGetTheirOwnImage) {
    StartWith(test::kFrameIds);
    Dlg().m_DeviceType = 0x6006;
    UseFile({MakeRecord(1, 0, 0x3009, PatternImage(100, 1)),
             MakeRecord(2, 0, 0x5111, PatternImage(10, 2)),
             MakeRecord(3, 0x01018000, 0x6006, PatternImage(50, 3))});
    EXPECT_TRUE(Dlg().SelectFirmware());
    EXPECT_EQ(Dlg().m_HeaderOffset, 128 + 38);
    EXPECT_EQ(Dlg().m_ImageSize, 50u);
    EXPECT_EQ(Dlg().m_FileVersion, 3u);
    EXPECT_EQ(Dlg().m_Hid.m_ReadTimeout.load(), 10u);
    EXPECT_TRUE(h->Lines().empty());  // nothing is sent for a command-frame controller

    // A file without an image of the controller's type: refused without a box.
    h->toolkit.ClearEvents();
    UseFile({MakeRecord(1, 0, 0x3009, PatternImage(100, 1))});
    const std::size_t boxes = h->toolkit.Boxes().size();
    EXPECT_FALSE(Dlg().SelectFirmware());
    EXPECT_EQ(h->toolkit.Boxes().size(), boxes);

    // Other types take the first record, whatever its type.
    Dlg().m_DeviceType = 0x3009;
    UseFile({MakeRecord(9, 0, 0x6006, PatternImage(100, 1)),
             MakeRecord(3, 0, 0x3009, PatternImage(50, 3))});
    EXPECT_TRUE(Dlg().SelectFirmware());
    EXPECT_EQ(Dlg().m_HeaderOffset, 0);
    EXPECT_EQ(Dlg().m_FileVersion, 9u);
}

TEST_F(SelectFirmwareTest, FilesThatCannotHoldTheirImageAreRefusedWithTheNotRecognizedBox) {
    StartWith(test::kStreamIds);
    Dlg().m_DeviceInfo = {0x200, 1};
    const std::vector<std::uint8_t> good =
        BuildFirmwareFile({MakeRecord(138, 0, 0, PatternImage(100, 1))});
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
    };
    FirmwareRecord empty = MakeRecord(138, 0, 0, {});
    FirmwareRecord huge = MakeRecord(138, 0, 0, PatternImage(10, 1));
    huge.header.imageSize = 0xFFFFFFF0;
    const Case cases[] = {
        {"empty", {}},
        {"27 bytes", std::vector<std::uint8_t>(good.begin(), good.begin() + 27)},
        {"header only", std::vector<std::uint8_t>(good.begin(), good.begin() + 28)},
        {"one byte short", std::vector<std::uint8_t>(good.begin(), good.end() - 1)},
        {"imageSize 0", BuildFirmwareFile({empty})},
        {"imageSize huge", BuildFirmwareFile({huge})},
    };
    for (const Case& c : cases) {
        h->toolkit.ClearEvents();
        h->ClearLines();
        const std::size_t before = h->toolkit.Boxes().size();
        h->firmwarePath = h->TempFile("bad.dat", c.bytes);
        EXPECT_FALSE(Dlg().SelectFirmware()) << c.name;
        ASSERT_EQ(h->toolkit.Boxes().size(), before + 1) << c.name;
        EXPECT_EQ(h->toolkit.Boxes().back().text, "The Firmware not recognized!\n") << c.name;
        EXPECT_EQ(h->toolkit.Boxes().back().type, platform::kMbOk);
        EXPECT_TRUE(h->Lines().empty()) << c.name;  // nothing was sent
    }
    h->firmwarePath = h->TempFile("good.dat", good);
    EXPECT_TRUE(Dlg().SelectFirmware());
}

}  // namespace
