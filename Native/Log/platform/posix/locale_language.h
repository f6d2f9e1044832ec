// The system locale as a Windows language id, for choosing the message library.
#pragma once

#include <cstdint>
#include <string_view>

namespace actlog::platform::posix {

inline constexpr std::uint16_t kEnglishUnitedStates = 1033;

// "de_DE.UTF-8", "pt_BR", "zh-TW", "fr" ... as a Windows language id;
// an unknown or empty name (and "C", "POSIX") is English (1033).
std::uint16_t LanguageIdFromLocale(std::string_view locale) noexcept;

// The value of the LANG= line of a locale configuration file's text
// (the last one; quotes removed; a leading "export " allowed); empty when
// there is none.
std::string_view LangFromConfig(std::string_view text) noexcept;

}  // namespace actlog::platform::posix
