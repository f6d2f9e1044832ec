// Shared pieces of the benchmark programs: synthetic logs, timing, peak
// memory, and running one step of a benchmark in a fresh process.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Log.h"
#include "bench_os.h"

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The time stamp of record `second`: one a second from 2001 on (30-day months).
LogSystemTime StampOf(std::uint64_t second);
double Seconds(Clock::time_point since);

// Creates <work>/bin and <work>/Logs, copies the English message library from
// `artifacts` when given (so that severities read back), and starts the module
// as if it were <work>/bin/libLog.so.
void Start(const fs::path& work, const fs::path& artifacts = {});

// Writes <logs>/[owner.]activity.log and its index: records `first` up to
// `records` of `message`, record k stamped StampOf(k) with the severity and
// job number the functions give for k.
bool WriteLog(const fs::path& logs, const std::string& owner, std::uint64_t records, const char16_t* message,
              std::uint32_t (*severity)(std::uint64_t), std::uint32_t (*job)(std::uint64_t), std::uint64_t first = 0);

// Prints one machine-readable result line for scripts/bench, tab-separated:
//   RESULT <work> <figure> <unit> <reference name> <reference> <target>
// `reference` is in the same unit, measured in the same run (negative: none).
// `target` is "ratio<=X" (figure / reference at most X), "ratio>=X", "figure<=X",
// "figure>=X" or "-" (reported only).
void Report(const std::string& work, double figure, const std::string& unit, const std::string& referenceName,
            double reference, const std::string& target);

// The median of some measurements.
double MedianOf(std::vector<double> values);

// Reads a whole file with large sequential reads; gives the bytes read
// (-1 on failure). Run once first, it leaves the file in the page cache.
long long ReadSequentially(const fs::path& file);

}  // namespace bench
