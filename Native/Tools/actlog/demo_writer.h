// The demo's writer processes: `actlog demo-writer` appends records for one
// log owner and reports how many appends succeeded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace actlogtool {

struct WriterReport {
    std::uint32_t appended = 0;   // appends that gave 0
    std::uint32_t journaled = 0;  // of those, records of a severity that the sync journal takes
};

// Severity of record i: cycles through 1, 2, 3, 4, 5, 0, so that some records
// (severity 0 and 3) stay out of the sync journal.
std::uint32_t DemoSeverity(std::uint32_t i);
bool Journaled(std::uint32_t severity);

bool WriteReport(const std::filesystem::path& path, const WriterReport& report);
std::optional<WriterReport> ReadReport(const std::filesystem::path& path);

}  // namespace actlogtool
