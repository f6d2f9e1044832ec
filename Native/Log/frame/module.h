// Module-wide values, computed once at start-up from the library's own path and
// read-only afterwards.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "text/bounded_text.h"

namespace actlog {

// Severity label slots, in the order the labels are loaded (ids 256, 257, 258, 262, 263, 264).
inline constexpr int kLabelCount = 6;
inline constexpr std::uint32_t kLabelIds[kLabelCount] = {256, 257, 258, 262, 263, 264};

struct ModuleValues {
    PathText logsDirectory;       // ends with the separator unless empty
    PathText dataSyncDirectory;   // ends with the separator unless empty
    BoundedText<kUtilityPathChars> utilityLogPath;
    platform::LibraryHandle messageLibrary;
    PathText labels[kLabelCount];  // indexed by slot: severity 0, 1, 2, 3, 4, 5
};

const ModuleValues& Module() noexcept;

// The label a severity selects: 1..5 their own, anything else severity 0's.
const PathText& SeverityLabel(std::uint32_t severity) noexcept;

// Start-up from the library's real path. Gives 1 when a message library is
// loaded, 0 when none could be.
int InitializeLogModule() noexcept;
// Start-up as if the library were the file `modulePath` (null or empty: no
// module path). Tests use it to point the library at a sandbox.
int InitializeLogModuleAt(const char16_t* modulePath) noexcept;
// Forgets every module value (for tests, before a new InitializeLogModuleAt).
void ResetLogModule() noexcept;

// Writes the message library file name for the system default language; gives 1.
int SelectMessageLibraryName(PathText& buffer) noexcept;
// The file name for a given language id (the table behind SelectMessageLibraryName).
const char16_t* MessageLibraryNameFor(std::uint16_t languageId) noexcept;

}  // namespace actlog
