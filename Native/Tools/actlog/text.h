// Text at the tool's edges: the tool works in UTF-8 internally and converts to
// and from the library's UTF-16 text (LOG_WCHAR) at each call.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Log.h"

namespace actlogtool {

using WideString = std::basic_string<LOG_WCHAR>;
using WideView = std::basic_string_view<LOG_WCHAR>;

// UTF-8 to UTF-16; malformed sequences become U+FFFD.
WideString Widen(std::string_view utf8);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD. A null pointer gives "".
std::string Narrow(WideView text);
std::string Narrow(const LOG_WCHAR* text);
// The system's 8-bit text for the library's 8-bit inserts: UTF-8 on Linux,
// the ANSI code page on Windows.
std::string ToSystem8Bit(std::string_view utf8);

// The program's arguments after the program name, as UTF-8.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Standard output and error. On a Windows console the text is written as
// UTF-16 so that the console shows it whatever its code page; elsewhere the
// bytes are UTF-8.
void Print(std::string_view utf8);
void PrintError(std::string_view utf8);
bool StdoutIsTerminal();

// JSON string literal (quotes included) for UTF-8 text.
std::string JsonString(std::string_view utf8);

}  // namespace actlogtool
