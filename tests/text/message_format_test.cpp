// Message formatting: one table per template width. On Windows every row that
// must not fault is also run through the real FormatMessageW / FormatMessageA
// with the same va_list, and the outputs must be identical.
#include <gtest/gtest.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

#include "format/message_format.h"
#include "platform/guarded_page.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace actlog::format {
namespace {

using Args = std::array<std::uintptr_t, 10>;

std::uintptr_t P(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
std::uintptr_t N(std::int64_t v) { return static_cast<std::uintptr_t>(v); }

template <typename CharT>
struct Result {
    FormatOutcome outcome;
    std::basic_string<CharT> text;
};

FormatOutcome Format(const char16_t* pattern, va_list args, char16_t* out, std::size_t capacity, std::size_t* length) {
    return FormatMessageWide(pattern, args, out, capacity, length);
}
FormatOutcome Format(const char* pattern, va_list args, char* out, std::size_t capacity, std::size_t* length) {
    return FormatMessageNarrow(pattern, args, out, capacity, length);
}

template <typename CharT>
Result<CharT> Ours(std::size_t capacity, const CharT* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    CharT out[600];
    std::size_t length = 99;
    FormatOutcome outcome = Format(pattern, args, out, capacity, &length);
    va_end(args);
    EXPECT_EQ(out[length], CharT{0});
    return {outcome, std::basic_string<CharT>(out, length)};
}

template <typename CharT>
Result<CharT> Call(const CharT* pattern, const Args& a, std::size_t capacity = 600) {
    return Ours(capacity, pattern, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
}

#ifdef _WIN32
constexpr DWORD kRealFlags = FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER;

DWORD RealFormat(const char16_t* pattern, va_list* args, char16_t** text) {
    return FormatMessageW(kRealFlags, pattern, 0, 0, reinterpret_cast<LPWSTR>(text), 0, args);
}
DWORD RealFormat(const char* pattern, va_list* args, char** text) {
    return FormatMessageA(kRealFlags, pattern, 0, 0, reinterpret_cast<LPSTR>(text), 0, args);
}

// The system's FormatMessageW / FormatMessageA on the same template and inserts.
template <typename CharT>
Result<CharT> Real(const CharT* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    CharT* text = nullptr;
    DWORD n = RealFormat(pattern, &args, &text);
    va_end(args);
    Result<CharT> r{n == 0 ? FormatOutcome::NoText : FormatOutcome::Text, {}};
    if (n != 0) r.text.assign(text, n);
    LocalFree(text);
    return r;
}
#endif

template <typename CharT>
struct Row {
    const CharT* pattern;
    Args args;
    FormatOutcome outcome;
    const CharT* expected;
};

// Each row through our formatting and, on Windows, unless it must fault,
// through the system's: both must give the row's text.
template <typename CharT, std::size_t N>
void CheckRows(const Row<CharT> (&rows)[N]) {
    for (const Row<CharT>& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::basic_string<CharT>(row.pattern)));
        Result<CharT> ours = Call(row.pattern, row.args);
        EXPECT_EQ(ours.outcome, row.outcome);
        EXPECT_EQ(ours.text, row.expected);
#ifdef _WIN32
        if (row.outcome != FormatOutcome::Fault) {
            const Args& a = row.args;
            Result<CharT> real = Real(row.pattern, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
            EXPECT_EQ(real.outcome, ours.outcome) << "real FormatMessage";
            EXPECT_EQ(real.text, ours.text) << "real FormatMessage";
        }
#endif
    }
}

constexpr FormatOutcome kText = FormatOutcome::Text;
constexpr FormatOutcome kNoText = FormatOutcome::NoText;
constexpr FormatOutcome kFault = FormatOutcome::Fault;

TEST(MessageFormat, WideTemplates) {
    const Row<char16_t> rows[] = {
        {u"test", {}, kText, u"test"},
        // inserts: any order, repeated from the cache, a skipped one still read
        {u"%1", {P(u"test")}, kText, u"test"},
        {u"%1%3%2%1", {P(u"t"), P(u"s"), P(u"e")}, kText, u"test"},
        {u"%2 %1", {P(u"a"), P(u"b")}, kText, u"b a"},
        {u"%1 %3", {P(u"x"), P(u"y"), P(u"z")}, kText, u"x z"},
        {u"%10%1", {P(u"1"), 0, 0, 0, 0, 0, 0, 0, 0, P(u"ten")}, kText, u"ten1"},
        {u"%100", {0, 0, 0, 0, 0, 0, 0, 0, 0, P(u"x")}, kText, u"x0"},
        {u"%1", {0}, kText, u"(null)"},
        // string formats: s, ls, ws wide; S, hs 8-bit
        {u"%1!s!", {P(u"test")}, kText, u"test"},
        {u"%1!ls!|%2!ws!", {P(u"ab"), P(u"cd")}, kText, u"ab|cd"},
        {u"%1!S!|%2!hs!", {P("ab"), P("cd")}, kText, u"ab|cd"},
        {u"%1!S!", {0}, kText, u"(null)"},
        {u"%1!3s!|%1!-3s!|%1!.1s!", {P(u"ab")}, kText, u" ab|ab |a"},
        {u"%1!*s!", {4, P(u"t")}, kText, u"   t"},
        // longer than the 64 units copied at a time
        {u"%1!-72s!|%1!.65s!", {P(u"0123456789012345678901234567890123456789012345678901234567890123456789")}, kText, u"0123456789012345678901234567890123456789012345678901234567890123456789  |01234567890123456789012345678901234567890123456789012345678901234"},
        // characters: c wide, C 8-bit
        {u"%1!c!%2!c!%3!c!%1!c!", {'t', 'e', 's'}, kText, u"test"},
        {u"%1!C!%2!lc!%3!wc!", {'a', 'b', 'c'}, kText, u"abc"},
        // integers: 32 bits unless asked for 64
        {u"%1!4d!|%1!-4d!|%2!4d!", {1, 11}, kText, u"   1|1   |  11"},
        {u"%1!4x!|%1!4X!|%1!-4X!|%2!4X!", {11, 0x1ab}, kText, u"   b|   B|B   | 1AB"},
        {u"%1!d!|%1!u!|%1!x!", {N(-5)}, kText, u"-5|4294967291|fffffffb"},
        {u"%1!u!", {N(0x100000001)}, kText, u"1"},
        {u"%1!I64d!|%1!lld!", {N(-5)}, kText, u"-5|-5"},
        {u"%1!I64u!|%1!llu!|%1!I64x!", {N(0x10000000A)}, kText, u"4294967306|4294967306|10000000a"},
        {u"%1!hd!|%2!hd!|%1!ld!", {0x12345, 0xFFFF}, kText, u"9029|-1|74565"},
        {u"%1!+d!|%1! d!|%2!05d!|%2!-5d!|", {5, N(-42)}, kText, u"+5| 5|-0042|-42  |"},
        {u"%1!#x!|%1!#X!|%2!#o!|%3!#x!", {255, 8, 0}, kText, u"0xff|0XFF|010|0"},
        {u"%1!4.2u!|%1!.0u!|%2!.0u!|", {3, 0}, kText, u"  03|3||"},
        {u"%1!d! items", {5}, kText, u"5 items"},
        {u"%1!d items!", {5}, kText, u"5 items"},
        // '*' widths take the next slots, and the value the one after that
        {u"%1!*.*u!", {5, 3, 1}, kText, u"  001"},
        {u"%1!*.*u!,%1!*.*u!", {5, 3, 1, 4, 2}, kText, u"  001, 0002"},
        {u"%1!*.*u!,%3!*.*u!", {5, 3, 1, 6, 4, 2}, kText, u"  001,  0002"},
        {u"%1!*d!|%2", {N(-4), 7, P(u"x")}, kText, u"7   |x"},
        // a printf format of 30 characters is the longest taken
        {u"%1!00000000000000000000000000010d!", {5}, kText, u"0000000005"},
        {u"%1!000000000000000000000000000010d!", {5}, kNoText, u""},
        {u"%1!***d!", {1, 2, 3, 4}, kNoText, u""},
        {u"%1!d", {5}, kNoText, u""},
        // escapes
        {u" %%%% ", {}, kText, u" %% "},
        {u" %.%.  %1!d!", {0x1ab}, kText, u" ..  427"},
        {u"yah%!%0   ", {}, kText, u"yah!"},
        {u"% %   ", {}, kText, u"    "},
        {u"%n%r%t", {}, kText, u"\r\n\r\t"},
        {u"%b%q%%1", {}, kText, u"bq%1"},
        {u"test%0test", {}, kText, u"test"},
        {u"%0test", {}, kNoText, u""},
        {u"", {}, kNoText, u""},
        {u"%", {}, kNoText, u""},
        {u"test%", {}, kNoText, u""},
        // line breaks in the template
        {u"hi\n", {}, kText, u"hi\r\n"},
        {u"hi\r\n", {}, kText, u"hi\r\n"},
        {u"\r", {}, kText, u"\r\n"},
        {u"\r\r\na\n\nb", {}, kText, u"\r\n\r\na\r\n\r\nb"},
        {u"%1", {P(u"a\nb")}, kText, u"a\nb"},
        {u"caf\u00e9 %1", {P(u"\u00fcber")}, kText, u"caf\u00e9 \u00fcber"},
        // unsupported conversions are faults, not guesses
        {u"%1!f!", {0}, kFault, u""},
        {u"%1!n!", {0}, kFault, u""},
        {u"%1!k!", {0}, kFault, u""},
    };
    CheckRows(rows);
}

TEST(MessageFormat, NarrowTemplates) {
    const Row<char> rows[] = {
        {"test", {}, kText, "test"},
        // the plain insert, s and c are 8-bit here; S and C wide; h, l, w keep their meaning
        {"%1", {P("test")}, kText, "test"},
        {"%2%1", {P("st"), P("te")}, kText, "test"},
        {"%1!s!|%2!S!", {P("ab"), P(u"cd")}, kText, "ab|cd"},
        {"%1!hs!|%2!ls!|%3!ws!", {P("ab"), P(u"cd"), P(u"ef")}, kText, "ab|cd|ef"},
        {"%1!c!%2!C!%3!hc!%4!lc!", {'a', 'b', 'c', 'd'}, kText, "abcd"},
        {"%1", {0}, kText, "(null)"},
        {"%1!S!", {0}, kText, "(null)"},
        {"%1!-4s!|%2!3S!", {P("a"), P(u"b")}, kText, "a   |  b"},
        {"%1!*.*u!,%1!*.*u!", {5, 3, 1, 4, 2}, kText, "  001, 0002"},
        {"%1!d!|%1!I64d!|%2!X!", {N(-7), 0xBEEF}, kText, "-7|-7|BEEF"},
        {" %%%% %.%! %n%r%t|%0x", {}, kText, " %% .! \r\n\r\t|"},
        {"a\nb\rc\r\n", {}, kText, "a\r\nb\r\nc\r\n"},
        {"", {}, kNoText, ""},
        {"%", {}, kNoText, ""},
        {"%0", {}, kNoText, ""},
        {"%1!e!", {0}, kFault, ""},
    };
    CheckRows(rows);
}

// Bad string inserts: the probe must stop every read of unreadable memory.
TEST(MessageFormat, UnreadableStringsFault) {
    testsupport::GuardedPage page;
    // Strings whose last character lies just before the guard page, without a
    // terminator, and one that is terminated right there. Every byte of the
    // page is 0x77, so it reads as wide and as 8-bit text.
    const std::size_t units = page.Size() / sizeof(char16_t);
    char16_t* wide = reinterpret_cast<char16_t*>(page.Readable());
    for (std::size_t i = 0; i < units; ++i) wide[i] = u'\u7777';
    char* narrow = page.Readable();
    const void* bad = page.Unreadable();

    const Row<char16_t> faults[] = {
        {u"%1", {P(bad)}, kFault, u""},
        {u"%1!s!", {P(bad)}, kFault, u""},
        {u"%1!S!", {P(bad)}, kFault, u""},
        {u"%1!10s!", {P(bad)}, kFault, u""},
        {u"%1", {P(wide + units - 3)}, kFault, u""},
        {u"%1!S!", {P(narrow + page.Size() - 5)}, kFault, u""},
    };
    CheckRows(faults);
    const Row<char> narrowFaults[] = {{"x%1", {P(bad)}, kFault, ""}};
    CheckRows(narrowFaults);

    wide[units - 1] = 0;
    Result<char16_t> endsAtGuard = Ours(600, u"[%1]", P(wide + units - 3));
    EXPECT_EQ(endsAtGuard.outcome, kText);
    EXPECT_EQ(endsAtGuard.text, u"[\u7777\u7777]");
    // A precision stops the read before the unreadable page is reached.
    EXPECT_EQ(Ours(600, u"%1!.2s!", P(wide + units - 3)).text, u"\u7777\u7777");
}

TEST(MessageFormat, OutputIsCutToCapacity) {
    EXPECT_EQ(Call(u"abcdef%1", {P(u"ghij")}, 5).text, u"abcd");
    EXPECT_EQ(Call(u"%1!*d!", {1000000, 7}, 8).text, u"       ");
    EXPECT_EQ(Call("%1!s!xyz", {P("abcdef")}, 4).text, "abc");
    // Nothing fits, but the template did format: still text, an empty one.
    Result<char16_t> none = Call(u"abc", {}, 1);
    EXPECT_EQ(none.outcome, kText);
    EXPECT_EQ(none.text, u"");
}

#ifndef _WIN32
// The 8-bit code page is UTF-8 here: wide inserts are encoded, 8-bit ones
// decoded (a bad sequence gives one U+FFFD for its longest valid start, then
// decoding goes on), and a cut never leaves half a character.
TEST(MessageFormat, Utf8Conversions) {
    const Row<char16_t> decoded[] = {
        {u"%1!S!", {P("\xC3\xA9\xF0\x9F\x98\x80")}, kText, u"\u00e9\U0001F600"},
        {u"%1!S!", {P("a\xFF" "b\xC3")}, kText, u"a\uFFFDb\uFFFD"},
        {u"%1!S!", {P("\xED\x9F\xBF|")}, kText, u"\uD7FF|"},
        {u"%1!S!", {P("\xED\xA0\x80|")}, kText, u"\uFFFD\uFFFD\uFFFD|"},
        {u"%1!S!", {P("\xF0\x90\x80\x80|")}, kText, u"\U00010000|"},
        {u"%1!S!", {P("\xF0\x8F\xBF\xBF|")}, kText, u"\uFFFD\uFFFD\uFFFD\uFFFD|"},
        {u"%1!S!", {P("\xF4\x90\x80\x80|")}, kText, u"\uFFFD\uFFFD\uFFFD\uFFFD|"},
        {u"%1!S!", {P("\xE2\x82|")}, kText, u"\uFFFD|"},
        {u"%1!S!", {P("\xC3x")}, kText, u"\uFFFDx"},
    };
    CheckRows(decoded);
    const Row<char> encoded[] = {
        {"%1!S!", {P(u"\u00e9\U0001F600")}, kText, "\xC3\xA9\xF0\x9F\x98\x80"},
        // Width and precision count UTF-16 units, not bytes.
        {"%1!3s!|%1!.1s!", {P("\xC3\xA9")}, kText, "  \xC3\xA9|\xC3\xA9"},
    };
    CheckRows(encoded);
    EXPECT_EQ(Call("a\xC3\xA9", {}, 3).text, "a");
    EXPECT_EQ(Call("a%1!S!", {P(u"\u00e9")}, 3).text, "a");
}
#endif

}  // namespace
}  // namespace actlog::format
