// UTF-16 <-> UTF-8 conversion and case folding.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "text/bounded_text.h"
#include "text/text_convert.h"

namespace {

using namespace actlog::text;

TEST(TextConvert, StrictConversionsBothWays) {
    const struct {
        std::u16string utf16;
        std::string utf8;
    } pairs[] = {
        {u"", ""},
        {u"a\u00fc\u20ac", "a\xC3\xBC\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\U00010000", "\xF0\x90\x80\x80"},  // the lowest high surrogate
        {u"ab\u00e9defg", "ab\xC3\xA9"
                           "defg"},  // a run of four units that is not all ASCII
        // Sixteen-unit blocks: all ASCII, then one with a wide unit at its end.
        {u"0123456789abcdef0123456789abcde\u00e9xyz", "0123456789abcdef0123456789abcde\xC3\xA9xyz"},
    };
    for (const auto& pair : pairs) {
        char utf8[48] = {'#'};
        char16_t utf16[40] = {u'#'};
        std::size_t bytes = 99, units = 99;
        EXPECT_TRUE(Utf8FromUtf16(pair.utf16, utf8, sizeof utf8, &bytes));
        EXPECT_EQ(std::string(utf8), pair.utf8);
        EXPECT_EQ(bytes, pair.utf8.size());
        EXPECT_TRUE(Utf16FromUtf8(pair.utf8, utf16, 40, &units)) << pair.utf8;
        EXPECT_EQ(std::u16string(utf16), pair.utf16);
    }
    // A lone surrogate (at the end, before a letter) or a bad UTF-8 sequence
    // (overlong, encoded surrogate, above U+10FFFF, stray continuation) fails
    // and leaves the output empty.
    for (const std::u16string& bad : {std::u16string{u'a', char16_t(0xD800)}, std::u16string{char16_t(0xD800), u'a'}}) {
        char utf8[16] = {'#'};
        std::size_t bytes = 99;
        EXPECT_FALSE(Utf8FromUtf16(bad, utf8, sizeof utf8, &bytes));
        EXPECT_EQ(std::string(utf8), "");
    }
    for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80"}) {
        char16_t utf16[8] = {u'#'};
        std::size_t units = 99;
        EXPECT_FALSE(Utf16FromUtf8(bad, utf16, 8, &units)) << bad;
        EXPECT_EQ(std::u16string(utf16), u"");
    }
    char small[4];
    std::size_t written = 0;
    EXPECT_FALSE(Utf8FromUtf16(u"abcd", small, sizeof small, &written)) << "no room for the terminator";
    EXPECT_TRUE(Utf8FromUtf16(u"abc", small, sizeof small, &written));
    char eight[9];
    EXPECT_FALSE(Utf8FromUtf16(u"abcdefgh", eight, 8, &written));
    EXPECT_TRUE(Utf8FromUtf16(u"abcdefgh", eight, 9, &written));
    EXPECT_EQ(std::string(eight), "abcdefgh");
    char seventeen[18];
    EXPECT_FALSE(Utf8FromUtf16(u"0123456789abcdefg", seventeen, 17, &written));
    EXPECT_TRUE(Utf8FromUtf16(u"0123456789abcdefg", seventeen, 18, &written));
    EXPECT_EQ(std::string(seventeen), "0123456789abcdefg");
}

TEST(TextConvert, CutConversionKeepsWholeCharacters) {
    char out[6];
    // "a" + U+20AC (3 bytes) + U+00FC (2 bytes): 6 bytes, room for 5.
    EXPECT_EQ(4u, Utf8FromUtf16Cut(u"a\u20ac\u00fc", out, sizeof out));
    EXPECT_EQ(std::string("a\xE2\x82\xAC"), out);
    for (char16_t lone : {char16_t(0xD800), char16_t(0xDBFF), char16_t(0xDFFF)}) {
        EXPECT_EQ(3u, Utf8FromUtf16Cut(std::u16string{u'x', lone, u'y'}, out, sizeof out));
        EXPECT_EQ(std::string("x?y"), out);
    }
    EXPECT_EQ(0u, Utf8FromUtf16Cut(u"abc", out, 1));
    EXPECT_EQ(std::string(), out);
}

TEST(TextConvert, Utf16LengthAtEveryAlignment) {
    // Units with a zero byte are not terminators; the text starts anywhere in a block.
    alignas(16) char16_t units[64];
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t length = 0; length < 40; ++length) {
            std::fill(std::begin(units), std::end(units), char16_t(0x0100));
            units[start + length] = 0;
            ASSERT_EQ(length, actlog::TextLength(static_cast<const char16_t*>(units + start))) << start;
        }
    }
    EXPECT_EQ(0u, actlog::TextLength(static_cast<const char16_t*>(nullptr)));
}

// Wildcard matching is checked through the directory search (platform tests).
TEST(TextConvert, CaseFoldsAgree) {
    // The lower-case fold (mutex names) makes equal exactly what the comparison does.
    for (char32_t u = 0; u <= 0xFFFF; ++u) {
        const auto c = static_cast<char16_t>(u);
        ASSERT_EQ(FoldCase(FoldLower(c)), FoldCase(c)) << static_cast<unsigned>(u);
        ASSERT_EQ(FoldLower(FoldCase(c)), FoldLower(c)) << static_cast<unsigned>(u);
    }
}

}  // namespace
