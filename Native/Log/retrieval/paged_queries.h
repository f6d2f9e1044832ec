// Paged queries over a read snapshot, and the record splitting they share with
// other readers of whole logs.
#pragma once

#include <cstdint>

#include "Log.h"
#include "platform/platform.h"

namespace actlog {

struct RecordParts {
    std::uint32_t severity = 0;
    std::uint32_t jobNumber = 0;
    char16_t* timeText = nullptr;     // the line buffer itself
    char16_t* messageText = nullptr;  // inside it, at the blank before the message
};

// The severities of the label parts seen, for one reader's run over a log:
// records repeat a few label parts, and the labels do not change meanwhile.
// A small open-addressed table keyed by the part's length and three of its
// characters; only the keys start out set (an empty key marks a free slot).
struct SeverityMemo {
    static constexpr std::size_t kSlots = 16;  // a power of two
    static constexpr std::size_t kChars = 24;  // longer parts are searched every time
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    struct Slot {
        std::uint32_t severity;
        char16_t part[kChars];
    };
    std::uint64_t keys[kSlots] = {kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty,
                                  kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty};
    Slot slots[kSlots];

    // The label parts of lines as the append writes them (ten characters at a
    // fixed place, none of them NUL), keyed by their whole text: a few word
    // compares decide.
    static constexpr std::size_t kUsualSlots = 16;
    struct UsualSlot {
        std::uint32_t tail = 0;  // characters 8-9; 0 marks a free slot
        std::uint32_t severity;
        std::uint64_t head, middle;  // characters 0-3, 4-7
    };
    UsualSlot usual[kUsualSlots];
};

// Splits a record's line (RecordWalk) in place the way GetLog does (the severity
// label is looked for only in the label part). False when the line has no "-",
// or no ":" after it: such a record is dropped, not a failure.
// `line` and `bytes` are a RecordWalk's text and bytes (it is scanned 16 bytes
// at a time; a line of the usual shape, within its bytes, all at once).
bool SplitRecordLine(char16_t* line, std::uint32_t bytes, RecordParts& parts, SeverityMemo* memo = nullptr) noexcept;
// The same split by a search over the line, whatever its shape: what
// SplitRecordLine does for lines the append did not write.
bool SplitAnyRecordLine(char16_t* line, RecordParts& parts, SeverityMemo* memo = nullptr) noexcept;

// The queries behind the exports GetLog, GetJobLog and FreeLog.
std::int32_t QueryLog(std::uint32_t start, std::uint32_t count, ActivityEntry** entries,
                      std::uint32_t* returned, std::uint32_t* total, const char16_t* owner) noexcept;
std::int32_t QueryJobLog(std::uint32_t job, std::uint32_t start, std::uint32_t count, ActivityEntry** entries,
                         std::uint32_t* returned, std::uint32_t* total, const char16_t* owner) noexcept;
void FreeEntries(ActivityEntry* entries) noexcept;

}  // namespace actlog
