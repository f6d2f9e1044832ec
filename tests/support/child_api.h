// What a log_child command sees: the exports the commands use (listed in
// child_exports.inc) of the loaded shared library,
// resolved by name at run time (null when the library lacks one).
#pragma once

#include <string>
#include <vector>

#include "Log.h"

namespace childapi {

struct LogApi {
#define LOG_CHILD_EXPORT(name) decltype(&::name) name = nullptr;
#include "support/child_exports.inc"
#undef LOG_CHILD_EXPORT
};

using Command = int (*)(const LogApi& api, const std::vector<std::string>& args);

// Registers a command under a name; use at namespace scope:
//   static const bool registered = childapi::Register("append", &AppendCommand);
bool Register(const char* name, Command command);

// UTF-8 to the library's wide text (wchar_t on Windows, char16_t on Linux).
std::basic_string<LOG_WCHAR> Wide(const std::string& utf8);

}  // namespace childapi
