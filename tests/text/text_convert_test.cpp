// UTF-16 <-> UTF-8 conversion, wildcard matching and (on Linux) the mapping
// of the system locale to a language id.
#include <gtest/gtest.h>

#include <string>

#include "text/text_convert.h"
#ifndef _WIN32
#include "platform/posix/locale_language.h"
#endif

namespace {

using namespace actlog::platform;

TEST(TextConvert, Utf16ToUtf8IsStrict) {
    struct Row {
        std::u16string in;
        bool ok;
        std::string out;
    };
    const Row rows[] = {
        {u"", true, ""},
        {u"\u00fc\u20ac", true, "\xC3\xBC\xE2\x82\xAC"},
        {u"\U0001F600", true, "\xF0\x9F\x98\x80"},
        {std::u16string{u'a', char16_t(0xD800)}, false, ""},        // high surrogate at the end
        {std::u16string{char16_t(0xD800), u'a'}, false, ""},        // high surrogate before a letter
    };
    for (const Row& row : rows) {
        char out[16] = {'#'};
        std::size_t written = 99;
        EXPECT_EQ(row.ok, Utf8FromUtf16(row.in, out, sizeof out, &written));
        EXPECT_EQ(row.out, std::string(out));
        EXPECT_EQ(row.out.size(), written);
    }
    char small[4];
    std::size_t written = 0;
    EXPECT_FALSE(Utf8FromUtf16(u"abcd", small, sizeof small, &written)) << "no room for the terminator";
    EXPECT_TRUE(Utf8FromUtf16(u"abc", small, sizeof small, &written));
}

TEST(TextConvert, Utf8ToUtf16IsStrict) {
    struct Row {
        std::string in;
        bool ok;
        std::u16string out;
    };
    const Row rows[] = {
        {"", true, u""},
        {"a\xC3\xBC", true, u"a\u00fc"},
        {"\xF0\x9F\x98\x80", true, u"\U0001F600"},
        {"\xC0\xAF", false, u""},          // overlong
        {"\xED\xA0\x80", false, u""},      // encoded surrogate
        {"\xF4\x90\x80\x80", false, u""},  // above U+10FFFF
        {"a\x80", false, u""},             // stray continuation
    };
    for (const Row& row : rows) {
        char16_t out[8] = {u'#'};
        std::size_t written = 99;
        EXPECT_EQ(row.ok, Utf16FromUtf8(row.in, out, 8, &written)) << row.in;
        EXPECT_EQ(row.out, std::u16string(out));
    }
}

TEST(TextConvert, CutConversionKeepsWholeCharacters) {
    char out[6];
    // "a" + U+20AC (3 bytes) + U+00FC (2 bytes): 6 bytes, room for 5.
    EXPECT_EQ(4u, Utf8FromUtf16Cut(u"a\u20ac\u00fc", out, sizeof out));
    EXPECT_EQ(std::string("a\xE2\x82\xAC"), out);
    EXPECT_EQ(3u, Utf8FromUtf16Cut(std::u16string{u'x', char16_t(0xDBFF), u'y'}, out, sizeof out));
    EXPECT_EQ(std::string("x?y"), out);
    EXPECT_EQ(0u, Utf8FromUtf16Cut(u"abc", out, 1));
    EXPECT_EQ(std::string(), out);
}

TEST(TextConvert, WildcardsMatchWithoutRegardToCase) {
    struct Row {
        const char16_t* pattern;
        const char16_t* name;
        bool match;
    };
    const Row rows[] = {
        {u"*", u"anything", true},
        {u"*vm01.activity.log", u"VM01.Activity.LOG", true},
        {u"*vm01.activity.log", u"vm01.activity.log.new", false},
        {u"a?c", u"abc", true},
        {u"a*b*c", u"aXbYbZc", true},
        {u"\u0444\u0430\u0439\u043b", u"\u0424\u0410\u0419\u041b", true},
        {u"", u"", true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.match, WildcardMatch(row.pattern, row.name));
    }
    // The lower-case fold (mutex names) makes equal exactly what the comparison does.
    for (char32_t u = 0; u <= 0xFFFF; ++u) {
        const auto c = static_cast<char16_t>(u);
        ASSERT_EQ(FoldCase(FoldLower(c)), FoldCase(c)) << static_cast<unsigned>(u);
        ASSERT_EQ(FoldLower(FoldCase(c)), FoldLower(c)) << static_cast<unsigned>(u);
    }
}

#ifndef _WIN32
TEST(LocaleLanguage, LocaleNamesMapToWindowsLanguageIds) {
    using actlog::platform::posix::LanguageIdFromLocale;
    struct Row {
        const char* locale;
        std::uint16_t id;
    };
    const Row rows[] = {
        {"de_DE.UTF-8", 1031}, {"de_AT.UTF-8", 3079}, {"zh_CN.GB18030", 2052}, {"fr_FR@euro", 1036},
        {"DE-de", 1031},       {"en_GB.UTF-8", 2057}, {"POSIX", 1033},         {"de_DEX", 1033},
    };
    for (const Row& row : rows) EXPECT_EQ(row.id, LanguageIdFromLocale(row.locale)) << row.locale;
}

TEST(LocaleLanguage, LangLineOfAConfigurationFile) {
    using actlog::platform::posix::LangFromConfig;
    struct Row {
        const char* text;
        const char* lang;
    };
    const Row rows[] = {
        {"LANG=de_DE.UTF-8\n", "de_DE.UTF-8"},
        {"# comment\nLC_TIME=en_GB.UTF-8\nLANG=\"fr_FR.UTF-8\"\n", "fr_FR.UTF-8"},
        {"LANG=C\nLANG=ja_JP.UTF-8", "ja_JP.UTF-8"},
        {"LANGUAGE=de_DE:en\n", ""},
        {"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(std::string(row.lang), std::string(LangFromConfig(row.text))) << row.text;
}
#endif

}  // namespace
