// The user's interface language, as a 16-bit language id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

inline constexpr std::uint16_t kLangChinesePrc = 0x0804;
inline constexpr std::uint16_t kLangChineseTaiwan = 0x0404;
inline constexpr std::uint16_t kLangEnglishUs = 0x0409;

// Learned from the locale the way gettext finds it: LANGUAGE, then LC_ALL, LC_MESSAGES, LANG.
// Asked afresh on every call.
std::uint16_t GetUserDefaultUILanguage();

// The id of one locale name such as "zh_CN.UTF-8", "zh_Hans_CN", "zh_TW" or "C".
std::uint16_t LanguageIdFromLocale(const std::string& locale);

// Tests fix the language; std::nullopt returns to the environment.
void SetUILanguageOverride(std::optional<std::uint16_t> lang);

}  // namespace platform
