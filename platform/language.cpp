#include "platform/language.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>

namespace platform {

namespace {

// 0 = no override.
std::atomic<std::uint32_t> g_Override{0};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

std::uint16_t LanguageIdFromLocale(const std::string& locale) {
    // Drop the encoding and modifier: "zh_CN.UTF-8@x" -> "zh_cn".
    std::string name = Lower(locale.substr(0, locale.find_first_of(".@")));
    std::replace(name.begin(), name.end(), '-', '_');
    if (name.rfind("zh", 0) == 0) {
        const bool traditional =
            name.find("_tw") != std::string::npos || name.find("_hk") != std::string::npos ||
            name.find("_mo") != std::string::npos || name.find("hant") != std::string::npos;
        if (traditional) return kLangChineseTaiwan;
        // zh, zh_CN, zh_Hans, zh_Hans_CN, zh_SG: simplified Chinese.
        return kLangChinesePrc;
    }
    return kLangEnglishUs;
}

std::uint16_t GetUserDefaultUILanguage() {
    const std::uint32_t forced = g_Override.load();
    if (forced != 0) return static_cast<std::uint16_t>(forced);
    // LANGUAGE is a colon-separated priority list and counts only when a locale is set at all.
    const char* lcAll = std::getenv("LC_ALL");
    const char* lcMessages = std::getenv("LC_MESSAGES");
    const char* lang = std::getenv("LANG");
    const char* effective = (lcAll && *lcAll)             ? lcAll
                            : (lcMessages && *lcMessages) ? lcMessages
                                                          : lang;
    const char* language = std::getenv("LANGUAGE");
    const bool cLocale = effective == nullptr || *effective == '\0' ||
                         std::string(effective) == "C" || std::string(effective) == "POSIX";
    if (language && *language && !cLocale) {
        std::string first(language);
        first = first.substr(0, first.find(':'));
        if (!first.empty()) return LanguageIdFromLocale(first);
    }
    if (effective == nullptr || *effective == '\0') return kLangEnglishUs;
    return LanguageIdFromLocale(effective);
}

void SetUILanguageOverride(std::optional<std::uint16_t> lang) {
    g_Override.store(lang ? *lang : 0);
}

}  // namespace platform
