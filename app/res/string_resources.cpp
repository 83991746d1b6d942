// The program's string resources: the Chinese table (identifiers 129 to 147) and the English
// table (238 to 256), both stored under resource language 2052.
#include "app/res/string_resources.h"

#include <iterator>

#include "app/res/text_index.h"

namespace {

struct StringResource {
    int id;
    const char* text;
};

// clang-format off
constexpr StringResource kStrings[] = {
    {kChineseStringBase + TXT_SEARCH, "搜索"},
    {kChineseStringBase + TXT_UPDATE, "更新"},
    {kChineseStringBase + TXT_UPDATING, "正在更新固件,是否立即停止？"},
    {kChineseStringBase + TXT_FILE_TYPE, "文件类型中显示的内容"},
    {kChineseStringBase + TXT_UPGRADED, "升级成功。"},
    {kChineseStringBase + TXT_NEW_FIRMWARE, "升级新固件"},
    {kChineseStringBase + TXT_TITLE, "Zentrel Update v2.31"},
    {kChineseStringBase + TXT_UPDATE_FAILED, "固件更新失败"},
    {kChineseStringBase + TXT_SEARCHING, "正在搜索蓝牙设备"},
    {kChineseStringBase + TXT_WARNING, "警告"},
    {kChineseStringBase + TXT_OPEN_ERROR, "打开蓝牙设备错误"},
    {kChineseStringBase + TXT_BOOT_MODE, "固件更新失败,请将手柄工作在 BOOT 模式"},
    {kChineseStringBase + TXT_USB_UPDATE, "USB 升级"},
    {kChineseStringBase + TXT_UPGRADE_LATEST, "请升级到最新版本"},
    {kChineseStringBase + TXT_INSTRUCTIONS, "1. 按住 LB+RB，然后插入 USB 线，配置指示灯闪烁。\r\n\r\n2. 点击 \"USB 升级\" 按钮，选择升级文件。"},
    {kChineseStringBase + TXT_CURRENT_IS, "当前版本为"},
    {kChineseStringBase + TXT_RESET_HINT, "* If anything wrong. Hold START 8 seconds can reset controller. You can try to update firmware again"},
    {kChineseStringBase + TXT_NOT_RECOGNIZED, "固件不匹配！"},
    {kChineseStringBase + TXT_FW_VERSION, "固件版本: "},
    {kEnglishStringBase + TXT_SEARCH, "Search"},
    {kEnglishStringBase + TXT_UPDATE, "Update"},
    {kEnglishStringBase + TXT_UPDATING, "The new firmware is updating,and it is turned off"},
    {kEnglishStringBase + TXT_FILE_TYPE, "File type"},
    {kEnglishStringBase + TXT_UPGRADED, "Firmware upgraded!"},
    {kEnglishStringBase + TXT_NEW_FIRMWARE, "New firmware"},
    {kEnglishStringBase + TXT_TITLE, "Zentrel Update v2.31"},
    {kEnglishStringBase + TXT_UPDATE_FAILED, "Firmware update failure"},
    {kEnglishStringBase + TXT_SEARCHING, "Searching for Bluetooth devices"},
    {kEnglishStringBase + TXT_WARNING, "warning"},
    {kEnglishStringBase + TXT_OPEN_ERROR, "Open bluetooth error"},
    {kEnglishStringBase + TXT_BOOT_MODE, "Firmware update failure, please handle work in BOOT mode"},
    {kEnglishStringBase + TXT_USB_UPDATE, "USB Update"},
    {kEnglishStringBase + TXT_UPGRADE_LATEST, "1. Press and hold the LB+RB buttons of controller.\r\n\r\n2. Then connect to PC via USB cable, config LEDS     will blink in white..\r\n\r\n3. Click \"USB Update\" button and select firmware     file."},
    {kEnglishStringBase + TXT_INSTRUCTIONS, "1. Press and hold the LB+RB buttons of controller.\r\n\r\n2. Then connect to PC via USB cable, config LEDS     will blink in white..\r\n\r\n3. Click \"USB Update\" button and select firmware     file."},
    {kEnglishStringBase + TXT_CURRENT_IS, "and current is"},
    {kEnglishStringBase + TXT_RESET_HINT, "* If anything wrong. Hold START 8 seconds can reset controller. You can try to update firmware again"},
    {kEnglishStringBase + TXT_NOT_RECOGNIZED, "The Firmware not recognized!"},
    {kEnglishStringBase + TXT_FW_VERSION, "Firmware Version: "},
};
// clang-format on

}  // namespace

std::string LoadStringResource(int id) {
    for (const StringResource& s : kStrings) {
        if (s.id == id) return s.text;
    }
    return {};
}
