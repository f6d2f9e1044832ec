// Activity logs, indexes and times made directly for tests: logs the append
// would never write (fixed stamps, damaged indexes) and their line views.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Log.h"
#include "support/sandbox.h"

namespace testsupport {

// Text as the exports take it (LOG_WCHAR is wchar_t on Windows).
inline const LOG_WCHAR* W(const char16_t* text) { return reinterpret_cast<const LOG_WCHAR*>(text); }

LogSystemTime At(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

// A record line exactly as the append builds it.
std::u16string RecordLine(const LogSystemTime& time, std::uint32_t severity, std::uint32_t job,
                          std::u16string_view message);

// Writes the lines as a log (behind FF FE when `mark`) and their end offsets
// as its index. Gives the index entries written.
std::vector<std::uint32_t> WriteLogPair(const fs::path& log, const fs::path& index,
                                        const std::vector<std::u16string>& lines, bool mark = true);
void WriteIndex(const fs::path& index, const std::vector<std::uint32_t>& entries);

// The lines of a log (byte-order mark left out), each with its CR LF; a last
// line without one is kept as it is. A missing log has none.
std::vector<std::u16string> LogLines(const fs::path& log);

}  // namespace testsupport
