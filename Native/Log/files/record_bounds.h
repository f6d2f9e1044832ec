// Where one record of an activity log ends. A record ends at a CR LF that is
// followed by the end of the log or by what can be the start of a record line
// (the stamp "YYYY/MM/DD  hh:mm:ss - ", year blank-padded); a CR LF inside a
// message is not a boundary. The rebuild, the append's tail repair and the
// tool's check all use this one rule. Depends on nothing but the language, so
// the tool compiles it in as it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace actlog {

// Characters of the stamp that opens every record line.
inline constexpr std::size_t kStampChars = 23;
// Bytes after a CR LF that decide whether it is a boundary.
inline constexpr std::size_t kBoundaryLookahead = 2 * kStampChars;

inline unsigned UnitAt(const unsigned char* bytes) noexcept {
    return bytes[0] | static_cast<unsigned>(bytes[1]) << 8;
}

// Whether the `units` UTF-16LE code units at `bytes` (at most kStampChars are
// looked at) match the opening of a record line as far as they go.
inline bool CouldStartRecord(const unsigned char* bytes, std::size_t units) noexcept {
    constexpr char kPattern[] = "9999/99/99  99:99:99 - ";
    if (units > kStampChars) units = kStampChars;
    for (std::size_t i = 0; i < units; ++i) {
        unsigned c = UnitAt(bytes + 2 * i);
        char p = kPattern[i];
        bool digit = c >= u'0' && c <= u'9';
        bool ok = p == '9' ? digit || (i < 3 && c == u' ') : c == static_cast<unsigned char>(p);
        if (!ok) return false;
    }
    return true;
}

// Whether a CR LF whose line feed ends right before `next` is a record
// boundary. `toEnd` counts the bytes from `next` to the end of the log; the
// first min(toEnd, kBoundaryLookahead) of them must be readable. A log that
// ends within a torn record start (or on an odd byte) still ends the record
// before it.
inline bool IsBoundary(const unsigned char* next, std::uint64_t toEnd) noexcept {
    std::uint64_t units = toEnd / 2;
    return units == 0 || CouldStartRecord(next, units > kStampChars ? kStampChars : static_cast<std::size_t>(units));
}

// Whether the bytes [at, at + 4) of a buffer are CR LF.
inline bool IsLineEnd(const unsigned char* at) noexcept {
    return UnitAt(at) == 0x0D && UnitAt(at + 2) == 0x0A;
}

}  // namespace actlog
