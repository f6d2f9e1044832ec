#include "log_check.h"

namespace actlogtool {

namespace {

constexpr std::size_t kMaxReported = 10;

std::uint32_t LoadLe32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

char16_t CharAt(const std::vector<std::uint8_t>& log, std::uint64_t offset) {
    return static_cast<char16_t>(log[offset] | (log[offset + 1] << 8));
}

// The stamp that opens every record: "YYYY/MM/DD  hh:mm:ss - " (year blank-padded).
bool StartsWithStamp(const std::vector<std::uint8_t>& log, std::uint64_t start, std::uint64_t end) {
    static constexpr char kPattern[] = "9999/99/99  99:99:99 - ";
    constexpr std::size_t kLength = sizeof kPattern - 1;
    if (end - start < kLength * 2) return false;
    for (std::size_t i = 0; i < kLength; ++i) {
        char16_t c = CharAt(log, start + 2 * i);
        char p = kPattern[i];
        bool ok = p == '9' ? (c >= '0' && c <= '9') || (i < 3 && c == ' ') : c == static_cast<char16_t>(p);
        if (!ok) return false;
    }
    return true;
}

}  // namespace

LogCheck CheckLog(const std::vector<std::uint8_t>& log, const std::vector<std::uint8_t>& index) {
    LogCheck check;
    std::size_t problems = 0;
    auto report = [&](std::string text) {
        if (++problems <= kMaxReported) check.damage.push_back(std::move(text));
    };
    if (index.size() % 4 != 0) {
        report("index size " + std::to_string(index.size()) + " is not a multiple of 4");
    }
    check.records = static_cast<std::uint32_t>(index.size() / 4);
    const std::uint64_t size = log.size();
    const std::uint64_t first = size >= 2 && log[0] == 0xFF && log[1] == 0xFE ? 2 : 0;
    std::uint64_t start = first;
    bool ordered = true;
    for (std::uint32_t k = 0; k < check.records; ++k) {
        const std::uint64_t end = LoadLe32(index, std::size_t{k} * 4);
        const std::string where = "entry " + std::to_string(k) + " (offset " + std::to_string(end) + ")";
        if (end < start + 4) {
            report(where + " lies before the end of the previous record or leaves it under 4 bytes");
            ordered = false;
            continue;
        }
        if (end > size) {
            report(where + " lies beyond the end of the log (" + std::to_string(size) + " bytes)");
            ordered = false;
            continue;
        }
        if ((end - start) % 2 != 0) {
            report(where + " does not end a record: odd length");
        } else if (CharAt(log, end - 4) != u'\r' || CharAt(log, end - 2) != u'\n') {
            report(where + " does not end a record: no CR LF before it");
        } else if (!StartsWithStamp(log, start, end)) {
            report("record " + std::to_string(k) + " at offset " + std::to_string(start) +
                   " does not begin with a time stamp (the entry before it points into a record)");
        }
        start = end;
    }
    if (ordered && start < size) {
        report(std::to_string(size - start) + " bytes after offset " + std::to_string(start) +
               " are not indexed");
    }
    if (problems > kMaxReported) {
        check.damage.push_back("... and " + std::to_string(problems - kMaxReported) + " more");
    }
    return check;
}

}  // namespace actlogtool
