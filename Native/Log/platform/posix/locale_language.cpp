#include "platform/posix/locale_language.h"

namespace actlog::platform::posix {
namespace {

struct LocaleRow {
    const char* name;  // "ll_CC", or "ll" for a language without a country
    std::uint16_t id;
};

// Windows language ids of the locales a system is likely to run with.
constexpr LocaleRow kLocales[] = {
    {"af_ZA", 1078},  {"ar_SA", 1025},  {"bg_BG", 1026},  {"ca_ES", 1027}, {"cs_CZ", 1029},  {"cy_GB", 1106},
    {"da_DK", 1030},  {"de_AT", 3079},  {"de_CH", 2055},  {"de_DE", 1031}, {"de_LI", 5127},  {"de_LU", 4103},
    {"el_GR", 1032},  {"en_AU", 3081},  {"en_CA", 4105},  {"en_GB", 2057}, {"en_IE", 6153},  {"en_NZ", 5129},
    {"en_US", 1033},  {"en_ZA", 7177},  {"es_AR", 11274}, {"es_ES", 3082}, {"es_MX", 2058},  {"et_EE", 1061},
    {"eu_ES", 1069},  {"fi_FI", 1035},  {"fr_BE", 2060},  {"fr_CA", 3084}, {"fr_CH", 4108},  {"fr_FR", 1036},
    {"fr_LU", 5132},  {"he_IL", 1037},  {"hr_HR", 1050},  {"hu_HU", 1038}, {"id_ID", 1057},  {"is_IS", 1039},
    {"it_CH", 2064},  {"it_IT", 1040},  {"ja_JP", 1041},  {"ko_KR", 1042}, {"lt_LT", 1063},  {"lv_LV", 1062},
    {"nb_NO", 1044},  {"nl_BE", 2067},  {"nl_NL", 1043},  {"nn_NO", 2068}, {"no_NO", 1044},  {"pl_PL", 1045},
    {"pt_BR", 1046},  {"pt_PT", 2070},  {"ro_RO", 1048},  {"ru_RU", 1049}, {"sk_SK", 1051},  {"sl_SI", 1060},
    {"sv_FI", 2077},  {"sv_SE", 1053},  {"th_TH", 1054},  {"tr_TR", 1055}, {"uk_UA", 1058},  {"vi_VN", 1066},
    {"zh_CN", 2052},  {"zh_HK", 3076},  {"zh_MO", 5124},  {"zh_SG", 4100}, {"zh_TW", 1028},
    // A language alone stands for its principal country.
    {"cs", 1029},     {"da", 1030},     {"de", 1031},     {"el", 1032},    {"en", 1033},     {"es", 3082},
    {"fi", 1035},     {"fr", 1036},     {"hu", 1038},     {"it", 1040},    {"ja", 1041},     {"ko", 1042},
    {"nb", 1044},     {"nl", 1043},     {"no", 1044},     {"pl", 1045},    {"pt", 1046},     {"ru", 1049},
    {"sv", 1053},     {"tr", 1055},     {"zh", 2052},
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view locale, const char* row) {
    std::size_t i = 0;
    for (; i < locale.size() && row[i] != 0; ++i) {
        char a = locale[i] == '-' ? '_' : Lower(locale[i]);
        if (a != Lower(row[i])) return false;
    }
    return i == locale.size() && row[i] == 0;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

}  // namespace

std::uint16_t LanguageIdFromLocale(std::string_view locale) noexcept {
    // Drop the code set and the modifier: "de_DE.UTF-8@euro" -> "de_DE".
    std::size_t end = locale.find_first_of(".@");
    if (end != std::string_view::npos) locale = locale.substr(0, end);
    for (const LocaleRow& row : kLocales) {
        if (SameName(locale, row.name)) return row.id;
    }
    return kEnglishUnitedStates;
}

std::string_view LangFromConfig(std::string_view text) noexcept {
    // The file is read like a shell script: the last assignment holds.
    std::string_view found;
    while (!text.empty()) {
        std::size_t eol = text.find('\n');
        std::string_view line = Trim(text.substr(0, eol));
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        if (line.substr(0, 7) == "export ") line = Trim(line.substr(7));
        if (line.substr(0, 5) != "LANG=") continue;
        std::string_view value = Trim(line.substr(5));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        found = value;
    }
    return found;
}

}  // namespace actlog::platform::posix
