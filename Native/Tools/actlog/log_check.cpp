#include "log_check.h"

#include "files/record_bounds.h"

namespace actlogtool {

namespace {

constexpr std::size_t kMaxReported = 10;

std::uint32_t LoadLe32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// Why `end` (inside the log, after `start`) is no record boundary.
std::string NotABoundary(const std::vector<std::uint8_t>& log, std::uint64_t start, std::uint64_t end) {
    if ((end - start) % 2 != 0) return "odd length";
    if (end - start < 4 || !actlog::IsLineEnd(log.data() + end - 4)) return "no CR LF before it";
    return "a CR LF inside a message (no record starts after it)";
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return out;
}

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The name without a discard ending ".old0" ... ".old9" (lower case); `discard` tells whether it had one.
std::string WithoutDiscardEnding(std::string_view name, bool& discard) {
    std::string lower = Lower(name);
    discard = lower.size() > 5 && EndsWith(std::string_view(lower).substr(0, lower.size() - 1), ".old") &&
              lower.back() >= '0' && lower.back() <= '9';
    if (discard) lower.resize(lower.size() - 5);
    return lower;
}

constexpr std::string_view kSetFiles[] = {"activity.log", "activity.idx", "activity.log.new", "activity.idx.new",
                                          "activity.idx.rex", "activity.idx.car"};

std::string Problem(std::string_view file, bool discard) {
    if (discard) return "left over from a discard or a prune swap";
    if (EndsWith(file, ".rex")) return "rebuild file: a rebuild is running or died";
    if (EndsWith(file, ".car")) return "carry mark: a dead prune's records are being carried back";
    return "new pair: a prune is running or died";
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

    // Every record end in the log, by the library's rule.
    std::vector<std::uint64_t> bounds;
    for (std::uint64_t at = first; at + 4 <= size; at += 2) {
        if (actlog::IsLineEnd(log.data() + at) && actlog::IsBoundary(log.data() + at + 4, size - at - 4)) {
            bounds.push_back(at + 4);
        }
    }
    const std::uint64_t opening = (size - first) / 2 < actlog::kStampChars ? (size - first) / 2 : actlog::kStampChars;
    if (size > first && !actlog::CouldStartRecord(log.data() + first, static_cast<std::size_t>(opening))) {
        report("record 0 at offset " + std::to_string(first) + " does not begin with a time stamp");
    }

    std::uint64_t start = first;
    std::size_t next = 0;  // the first boundary not yet matched with an entry
    for (std::uint32_t k = 0; k < check.records; ++k) {
        const std::uint64_t end = LoadLe32(index, std::size_t{k} * 4);
        const std::string where = "entry " + std::to_string(k) + " (offset " + std::to_string(end) + ")";
        if (end <= start) {
            report(where + " lies at or before the end of the previous record");
            continue;
        }
        if (end > size) {
            report(where + " lies beyond the end of the log (" + std::to_string(size) + " bytes)");
            continue;
        }
        for (; next < bounds.size() && bounds[next] < end; ++next) {
            report("record ending at offset " + std::to_string(bounds[next]) + " has no index entry (" + where +
                   " spans it)");
        }
        if (next < bounds.size() && bounds[next] == end) {
            ++next;
        } else {
            report(where + " does not end a record: " + NotABoundary(log, start, end));
        }
        start = end;
    }
    if (next < bounds.size() && bounds[next] > start) {
        const std::uint64_t from = start;
        report(std::to_string(bounds.back() - from) + " bytes after offset " + std::to_string(from) + " (" +
               std::to_string(bounds.size() - next) + " records) are not indexed");
    }
    const std::uint64_t whole = bounds.empty() ? first : bounds.back();
    if (whole < size) {
        report("torn tail: " + std::to_string(size - whole) + " bytes after offset " + std::to_string(whole) +
               " are no whole record");
    }
    if (problems > kMaxReported) {
        check.damage.push_back("... and " + std::to_string(problems - kMaxReported) + " more");
    }
    return check;
}

bool IsStrayFile(std::string_view name) {
    bool discard = false;
    std::string file = WithoutDiscardEnding(name, discard);
    for (std::string_view set : kSetFiles) {
        std::string_view whole(file);
        bool named = whole == set || (whole.size() > set.size() && EndsWith(whole, set) &&
                                      whole[whole.size() - set.size() - 1] == '.');
        if (named && (discard || EndsWith(set, ".new") || EndsWith(set, ".rex") || EndsWith(set, ".car"))) return true;
    }
    return false;
}

std::vector<std::string> StrayFiles(const std::vector<std::string>& names, std::string_view owner,
                                    std::string_view logName) {
    const std::string stem = owner.empty() ? std::string() : Lower(owner) + ".";
    std::vector<std::string> found;
    for (const std::string& name : names) {
        if (!IsStrayFile(name)) continue;
        bool discard = false;
        std::string file = WithoutDiscardEnding(name, discard);
        bool mine = discard && file == Lower(logName);
        for (std::string_view set : kSetFiles) mine = mine || file == stem + std::string(set);
        if (mine) found.push_back(name + ": " + Problem(file, discard));
    }
    return found;
}

}  // namespace actlogtool
