#include "text.h"

#include <cstdio>
#include <iterator>

#include "text/text_convert.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace actlogtool {

namespace {

using actlog::text::Utf16FromUtf8;
using actlog::text::Utf8FromUtf16;

char16_t* Units(WideString& text) { return reinterpret_cast<char16_t*>(text.data()); }

std::u16string_view Units(WideView text) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

// Converts `text` piece by piece with the strict converter `convert`: each
// piece is the shortest run of up to `longest` units that converts; a unit that
// starts no such run becomes `replacement`.
template <typename Text, typename Out, typename Convert>
void ConvertLeniently(Text text, std::size_t longest, Out& out, std::basic_string_view<typename Out::value_type> replacement,
                      Convert convert) {
    for (std::size_t i = 0; i < text.size();) {
        typename Out::value_type piece[8];
        std::size_t written = 0;
        std::size_t length = 1;
        while (length <= longest && i + length <= text.size() &&
               !convert(text.substr(i, length), piece, std::size(piece), &written)) {
            ++length;
        }
        if (length > longest || i + length > text.size()) {
            out.append(replacement);
            ++i;
        } else {
            out.append(piece, written);
            i += length;
        }
    }
}

#ifdef _WIN32
std::wstring ToWindows(std::string_view utf8) {
    WideString wide = Widen(utf8);
    return std::wstring(wide.begin(), wide.end());
}

void WriteTo(DWORD which, FILE* stream, std::string_view utf8) {
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        std::fflush(stream);
        std::wstring wide = ToWindows(utf8);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
}
#endif

}  // namespace

WideString Widen(std::string_view utf8) {
    WideString out(utf8.size() + 1, 0);
    std::size_t written = 0;
    if (Utf16FromUtf8(utf8, Units(out), out.size(), &written)) {
        out.resize(written);
        return out;
    }
    std::u16string lenient;
    ConvertLeniently(utf8, 4, lenient, u"\uFFFD", Utf16FromUtf8);
    return WideString(lenient.begin(), lenient.end());
}

std::string Narrow(WideView text) {
    // A UTF-16 unit takes at most 3 bytes (a surrogate pair 4 for 2 units).
    std::string out(text.size() * 3 + 1, '\0');
    std::size_t written = 0;
    if (Utf8FromUtf16(Units(text), out.data(), out.size(), &written)) {
        out.resize(written);
        return out;
    }
    out.clear();
    ConvertLeniently(Units(text), 2, out, "\xEF\xBF\xBD", Utf8FromUtf16);
    return out;
}

std::string Narrow(const LOG_WCHAR* text) {
    if (text == nullptr) return {};
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return Narrow(WideView(text, length));
}

std::string ToSystem8Bit(std::string_view utf8) {
#ifdef _WIN32
    std::wstring wide = ToWindows(utf8);
    if (wide.empty()) return {};
    int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr, nullptr);
    }
    return out;
#else
    return std::string(utf8);
#endif
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> args;
#ifdef _WIN32
    // The wide command line keeps every character, whatever the code page.
    (void)argc;
    (void)argv;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide != nullptr) {
        for (int i = 1; i < count; ++i) {
            std::wstring_view arg(wide[i]);
            args.push_back(Narrow(WideView(arg.data(), arg.size())));
        }
        LocalFree(wide);
    }
#else
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
    return args;
}

void Print(std::string_view utf8) {
#ifdef _WIN32
    WriteTo(STD_OUTPUT_HANDLE, stdout, utf8);
#else
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
#endif
}

void PrintError(std::string_view utf8) {
    std::fflush(stdout);
#ifdef _WIN32
    WriteTo(STD_ERROR_HANDLE, stderr, utf8);
#else
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
#endif
}

bool StdoutIsTerminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    out += "\\u00";
                    out.push_back(kHex[byte >> 4]);
                    out.push_back(kHex[byte & 0xF]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace actlogtool
