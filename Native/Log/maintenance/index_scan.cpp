#include "maintenance/index_scan.h"

#include "files/log_files.h"
#include "files/pair_tail.h"

namespace actlog {

IndexScanner::IndexScanner(platform::FileHandle out) noexcept
    : out_(out), chunk_(kChunkBytes), entries_(std::size_t{kEntryBlock} * 4) {}

bool IndexScanner::Add(std::uint32_t entry) noexcept {
    StoreLe32(entry, entries_.bytes() + std::size_t{pending_} * 4);
    return ++pending_ < kEntryBlock || Flush();
}

bool IndexScanner::Flush() noexcept {
    if (pending_ == 0) return true;
    std::uint32_t bytes = pending_ * 4;
    pending_ = 0;
    if (!WriteAt(out_, written_, entries_.bytes(), bytes)) return false;
    written_ += bytes;
    return true;
}

bool IndexScanner::Scan(platform::FileHandle log, std::uint32_t end, ScanEnd scanEnd) noexcept {
    if (!ready()) return false;
    return ForEachRecordEnd(log, &position_, end, scanEnd, chunk_.bytes(), kChunkBytes,
                            [this](std::uint32_t recordEnd) { return Add(recordEnd); });
}

}  // namespace actlog
