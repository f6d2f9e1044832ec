// Wide printf-style formatting with the Windows wide-function conventions.
// One table for every target; on Windows the rows that do not depend on the
// C runtime's floating-point style are also run through the runtime's own
// _vsnwprintf, which must give the same text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <numbers>
#include <string>

#include "format/wide_printf.h"
#include "platform/guarded_page.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace actlog::format {
namespace {

using Formatter = int (*)(char16_t*, std::size_t, const char16_t*, ...);

int Ours(char16_t* out, std::size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatWidePrintf(out, capacity, format, args);
    va_end(args);
    return n;
}

#ifdef _WIN32
// msvcrt's own wide formatting, whatever the build's stdio settings.
int Runtime(char16_t* out, std::size_t capacity, const char16_t* format, ...) {
    using Vsnwprintf = int(__cdecl*)(wchar_t*, std::size_t, const wchar_t*, va_list);
    static const auto runtime = reinterpret_cast<Vsnwprintf>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("msvcrt.dll"), "_vsnwprintf")));
    va_list args;
    va_start(args, format);
    int n = runtime(reinterpret_cast<wchar_t*>(out), capacity - 1, reinterpret_cast<const wchar_t*>(format), args);
    va_end(args);
    out[capacity - 1] = 0;
    return n;
}
#endif

struct Row {
    const char16_t* expected;
    const char* call;
    bool sameAsRuntime;  // false: where msvcrt keeps its older style
    int (*run)(Formatter, char16_t*, std::size_t);
};

#define ROW(expected, ...) \
    {expected, #__VA_ARGS__, true, [](Formatter f, char16_t* o, std::size_t n) { return f(o, n, __VA_ARGS__); }}
#define FLOAT_ROW(expected, ...) \
    {expected, #__VA_ARGS__, false, [](Formatter f, char16_t* o, std::size_t n) { return f(o, n, __VA_ARGS__); }}

const char16_t* const kNullWide = nullptr;
const char* const kNullNarrow = nullptr;

TEST(WidePrintf, Table) {
    const Row rows[] = {
        ROW(u"copied 3 files", u"copied %d files", 3),
        ROW(u"100%|x", u"100%%|%s", u"x"),
        // strings and characters: wide by s and c, 8-bit by S, C, hs, hc
        ROW(u"ab|cd|ef|gh", u"%s|%ls|%S|%hs", u"ab", u"cd", "ef", "gh"),
        ROW(u"x|y|z|w", u"%c|%C|%hc|%lc", u'x', 'y', 'z', u'w'),
        ROW(u"(null)|(null)", u"%s|%S", kNullWide, kNullNarrow),
        ROW(u"   ab|ab   |a|   a|0000x", u"%5s|%-5s|%.1s|%*.*s|%05s", u"ab", u"ab", u"ab", 4, 1, u"ab", u"x"),
        ROW(u"  c|c  ", u"%3c|%-3c", u'c', u'c'),
        // integers: 32 bits by default and with l, 64 with ll, I64, I
        ROW(u"-5|4294967291|fffffffb|FFFFFFFB|37777777773", u"%d|%u|%x|%X|%o", -5, -5, -5, -5, -5),
        ROW(u"-5|-5|7|-1", u"%i|%ld|%I32d|%hd", -5, -5, 7, 0xFFFF),
        // hh is a char, as in the current runtime (msvcrt reads it as h)
        {u"18|-1", "%hhu|%hhd", false,
         [](Formatter f, char16_t* o, std::size_t n) { return f(o, n, u"%hhu|%hhd", 0x112, 0xFF); }},
        ROW(u"-9000000000|18446744073709551615|-1|ffffffffff", u"%I64d|%llu|%lld|%I64x", -9000000000LL, ~0ULL,
            -1LL, 0xFFFFFFFFFFULL),
        ROW(u"1099511627775", u"%Iu", static_cast<std::size_t>(0xFFFFFFFFFFULL)),
        // flags, width, precision, '*'
        ROW(u"  42|42  |00042|+42| 42|0x2a|052|0X2A", u"%4d|%-4d|%05d|%+d|% d|%#x|%#o|%#X", 42, 42, 42, 42, 42, 42,
            42, 42),
        ROW(u"  007|-007|   |0|0", u"%5.3d|%.3d|%3.0d|%#o|%#x", 7, -7, 0, 0, 0),
        ROW(u"-0042|-42  |+0", u"%05d|%-05d|%+d", -42, -42, 0),
        ROW(u"   17|17   |", u"%*d|%*d|", 5, 17, -5, 17),
        ROW(u"00000000DEADBEEF", u"%p", reinterpret_cast<void*>(std::uintptr_t{0xDEADBEEF})),
        // floating point
        FLOAT_ROW(u"3.141593|3.14|  3.1|3|3.", u"%f|%.2f|%5.1f|%.0f|%#.0f", std::numbers::pi, std::numbers::pi, std::numbers::pi, std::numbers::pi, std::numbers::pi),
        FLOAT_ROW(u"3.141593e+00|3.14E+00|1.000000e-300", u"%e|%.2E|%e", std::numbers::pi, std::numbers::pi, 1e-300),
        FLOAT_ROW(u"3.14159|100000|1e+06|0.0001|1e-05|1E+10", u"%g|%g|%g|%g|%g|%G", std::numbers::pi, 100000.0, 1e6, 1e-4,
                  1e-5, 1e10),
        FLOAT_ROW(u"-0.50|+1.5| 1.5|001.5|inf|-inf|nan", u"%.2f|%+.1f|% 4.1f|%05.1f|%f|%f|%f", -0.5, 1.5, 1.5, 1.5,
                  HUGE_VAL, -HUGE_VAL, std::nan("")),
        FLOAT_ROW(u"0x1.8p+1|0x2p+1", u"%a|%.0a", 3.0, 3.0),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        char16_t out[256];
        int n = row.run(&Ours, out, 256);
        EXPECT_EQ(std::u16string(out), row.expected);
        EXPECT_EQ(n, static_cast<int>(std::u16string(row.expected).size()));
#ifdef _WIN32
        if (row.sameAsRuntime) {
            char16_t runtime[256];
            row.run(&Runtime, runtime, 256);
            EXPECT_EQ(std::u16string(runtime), std::u16string(out)) << "msvcrt _vsnwprintf";
        }
#endif
    }
}

TEST(WidePrintf, CutsAtCapacity) {
    char16_t out[8];
    EXPECT_EQ(Ours(out, 8, u"%s and %d", u"apples", 12345), 7);
    EXPECT_EQ(std::u16string(out), u"apples ");
    EXPECT_EQ(Ours(out, 8, u"%*d", 100000, 1), 7);
    EXPECT_EQ(std::u16string(out), u"       ");
    EXPECT_EQ(Ours(out, 1, u"abc"), 0);
    EXPECT_EQ(out[0], u'\0');
}

TEST(WidePrintf, FailuresKeepWhatCameBefore) {
    testsupport::GuardedPage page;
    char* unterminated = page.Readable() + page.Size() - 4;
    for (int i = 0; i < 4; ++i) unterminated[i] = 'a';
    struct Case {
        const char16_t* format;
        const void* arg;
    };
    const Case cases[] = {
        {u"x=%s", page.Unreadable()},
        {u"x=%S", page.Unreadable()},
        {u"x=%S", unterminated},
        {u"x=%n", page.Readable()},
        {u"x=%Z", page.Readable()},
        {u"x=%y", page.Readable()},
    };
    for (const Case& c : cases) {
        char16_t out[32];
        EXPECT_EQ(Ours(out, 32, c.format, c.arg), -1) << testing::PrintToString(std::u16string(c.format));
        EXPECT_EQ(std::u16string(out), u"x=");
    }
    // A precision keeps the read inside the readable part.
    char16_t out[32];
    EXPECT_EQ(Ours(out, 32, u"%.4S", unterminated), 4);
    EXPECT_EQ(std::u16string(out), u"aaaa");
}

}  // namespace
}  // namespace actlog::format
