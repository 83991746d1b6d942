// The two text tables and the choice of language.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/update_dlg.h"
#include "platform/language.h"
#include "support/app_harness.h"

namespace {

const char* const kEnglishInstructions =
    "1. Press and hold the LB+RB buttons of controller.\r\n\r\n2. Then connect to PC via USB "
    "cable, "
    "config LEDS     will blink in white..\r\n\r\n3. Click \"USB Update\" button and select "
    "firmware     file.";
const char* const kChineseInstructions =
    "1. 按住 LB+RB，然后插入 USB 线，配置指示灯闪烁。\r\n\r\n2. 点击 \"USB 升级\" "
    "按钮，选择升级文件。";

struct TextCase {
    std::uint16_t language;
    int index;
    const char* text;
};

class TextTable : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextTable, GivesTheTextOfItsLanguage) {
    const TextCase& c = GetParam();
    test::AppHarness harness(c.language);
    CUpdateDlg dlg;
    EXPECT_EQ(dlg.LoadLocalString(c.index), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    BothLanguages, TextTable,
    ::testing::Values(TextCase{0x0804, TXT_UPGRADED, "升级成功。"},
                      TextCase{0x0804, TXT_TITLE, "Zentrel Update v2.31"},
                      TextCase{0x0804, TXT_FW_VERSION, "固件版本: "},
                      TextCase{0x0804, TXT_UPGRADE_LATEST, "请升级到最新版本"},
                      TextCase{0x0804, TXT_INSTRUCTIONS, kChineseInstructions},
                      TextCase{0x0804, TXT_RESET_HINT,
                               "* If anything wrong. Hold START 8 seconds can reset controller. "
                               "You can try to update firmware again"},
                      TextCase{0x0804, TXT_BOOT_MODE, "固件更新失败,请将手柄工作在 BOOT 模式"},
                      TextCase{0x0804, TXT_UPDATING, "正在更新固件,是否立即停止？"},
                      TextCase{0x0804, TXT_FILE_TYPE, "文件类型中显示的内容"},
                      TextCase{0x0804, TXT_NOT_RECOGNIZED, "固件不匹配！"},
                      TextCase{0x0409, TXT_UPGRADED, "Firmware upgraded!"},
                      TextCase{0x0404, TXT_UPGRADED, "Firmware upgraded!"},
                      TextCase{0x0409, TXT_UPGRADE_LATEST, kEnglishInstructions},
                      TextCase{0x0409, TXT_INSTRUCTIONS, kEnglishInstructions},
                      TextCase{0x0409, TXT_FW_VERSION, "Firmware Version: "},
                      TextCase{0x0409, TXT_USB_UPDATE, "USB Update"},
                      TextCase{0x0804, TXT_USB_UPDATE, "USB 升级"},
                      TextCase{0x0409, TXT_UPDATE_FAILED, "Firmware update failure"},
                      TextCase{0x0409, 19, ""}, TextCase{0x0804, 19, ""},
                      TextCase{0x0409, -1, ""}));

TEST(TextTables, EveryIndexHasATextInBothTables) {
    for (std::uint16_t lang : {std::uint16_t{0x0804}, std::uint16_t{0x0409}}) {
        test::AppHarness harness(lang);
        CUpdateDlg dlg;
        for (int i = 0; i <= 18; ++i) EXPECT_FALSE(dlg.LoadLocalString(i).empty()) << i;
    }
}

struct LocaleCase {
    const char* locale;
    std::uint16_t id;
};

class LocaleNames : public ::testing::TestWithParam<LocaleCase> {};

TEST_P(LocaleNames, MapToLanguageIds) {
    EXPECT_EQ(platform::LanguageIdFromLocale(GetParam().locale), GetParam().id)
        << GetParam().locale;
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, LocaleNames,
    ::testing::Values(LocaleCase{"zh_CN.UTF-8", 0x0804}, LocaleCase{"zh_CN", 0x0804},
                      LocaleCase{"zh_Hans_CN", 0x0804}, LocaleCase{"zh_CN.GB18030@x", 0x0804},
                      LocaleCase{"zh-CN", 0x0804}, LocaleCase{"zh_TW.UTF-8", 0x0404},
                      LocaleCase{"zh_Hant_TW", 0x0404}, LocaleCase{"en_US.UTF-8", 0x0409},
                      LocaleCase{"de_DE", 0x0409}, LocaleCase{"C", 0x0409}));

// The environment is read in gettext's order on every call.
TEST(UserLanguage, FollowsTheEnvironmentInGettextOrder) {
    struct Env {
        const char* language;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        std::uint16_t expected;
    };
    const Env cases[] = {
        {nullptr, nullptr, nullptr, "zh_CN.UTF-8", 0x0804},
        {nullptr, nullptr, "en_US.UTF-8", "zh_CN.UTF-8", 0x0409},
        {nullptr, "zh_CN.UTF-8", "en_US.UTF-8", "en_US.UTF-8", 0x0804},
        {"zh_CN:en", nullptr, nullptr, "en_US.UTF-8", 0x0804},
        {"zh_CN", "C", nullptr, nullptr, 0x0409},  // LANGUAGE does not count in the C locale
        {nullptr, nullptr, nullptr, "zh_TW.UTF-8", 0x0404},
        {nullptr, nullptr, nullptr, nullptr, 0x0409},
    };
    const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (const Env& e : cases) {
        const char* values[] = {e.language, e.lcAll, e.lcMessages, e.lang};
        for (int i = 0; i < 4; ++i) {
            if (values[i])
                ::setenv(names[i], values[i], 1);
            else
                ::unsetenv(names[i]);
        }
        EXPECT_EQ(platform::GetUserDefaultUILanguage(), e.expected)
            << (e.lang ? e.lang : "-") << " " << (e.lcAll ? e.lcAll : "-");
    }
    for (const char* n : names) ::unsetenv(n);
}

}  // namespace
