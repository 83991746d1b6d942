// Text indices: every text the user sees is named by one of these.
#pragma once

enum TextIndex : int {
    TXT_SEARCH = 0,
    TXT_UPDATE = 1,
    TXT_UPDATING = 2,
    TXT_FILE_TYPE = 3,
    TXT_UPGRADED = 4,
    TXT_NEW_FIRMWARE = 5,
    TXT_TITLE = 6,
    TXT_UPDATE_FAILED = 7,
    TXT_SEARCHING = 8,
    TXT_WARNING = 9,
    TXT_OPEN_ERROR = 10,
    TXT_BOOT_MODE = 11,
    TXT_USB_UPDATE = 12,
    TXT_UPGRADE_LATEST = 13,
    TXT_INSTRUCTIONS = 14,
    TXT_CURRENT_IS = 15,
    TXT_RESET_HINT = 16,
    TXT_NOT_RECOGNIZED = 17,
    TXT_FW_VERSION = 18,
};

// String identifiers of the two tables: Chinese from 129, English from 238.
inline constexpr int kChineseStringBase = 129;
inline constexpr int kEnglishStringBase = 238;
