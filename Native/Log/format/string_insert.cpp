// String arguments of the formatting functions: read through the memory probe
// and turned into UTF-16 units, whatever their width.
#include <cstdint>
#include <cstring>

#include "format/printf_conversion.h"
#include "platform/platform.h"
#include "text/bounded_text.h"

namespace actlog::format {
namespace {

constexpr std::size_t kPageSize = 4096;

std::size_t SaturatingAdd(std::size_t a, std::size_t b) noexcept {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

// Reads bytes of a caller's memory front to back, checking each page with the
// memory probe before the first byte of it is read.
class ProbedReader {
public:
    // `shared`: a probe the first one here takes along (null: none).
    ProbedReader(const void* start, SharedProbe* shared) noexcept
        : next_(reinterpret_cast<std::uintptr_t>(start)), shared_(shared) {}

    bool Fetch(void* out, std::size_t count) noexcept {
        if (next_ > UINTPTR_MAX - count) return false;
        while (next_ + count > probedEnd_) {
            std::uintptr_t from = probedEnd_ > next_ ? probedEnd_ : next_;
            std::uintptr_t pageEnd = (from | (kPageSize - 1)) + 1;
            if (pageEnd == 0) return false;
            if (!CanReadSharing(shared_, reinterpret_cast<const void*>(from), pageEnd - from)) return false;
            probedEnd_ = pageEnd;
        }
        std::memcpy(out, reinterpret_cast<const void*>(next_), count);
        next_ += count;
        return true;
    }

    // The bytes from the next one on that were probed already, and where they are.
    std::size_t Probed() const noexcept { return probedEnd_ > next_ ? probedEnd_ - next_ : 0; }
    const unsigned char* Next() const noexcept { return reinterpret_cast<const unsigned char*>(next_); }
    void Skip(std::size_t count) noexcept { next_ += count; }

private:
    std::uintptr_t next_;
    std::uintptr_t probedEnd_ = 0;
    SharedProbe* shared_;
};
// Decodes 8-bit text of the code page to UTF-16 units, one byte at a time.
// Linux: UTF-8, a bad sequence giving U+FFFD. Windows: the ANSI code page,
// double-byte characters kept together.
class NarrowDecoder {
public:
    template <typename Emit>
    bool Feed(unsigned char byte, Emit& emit) noexcept {
#ifdef _WIN32
        if (lead_ != 0) {
            char pair[2] = {static_cast<char>(lead_), static_cast<char>(byte)};
            lead_ = 0;
            return Convert(pair, 2, emit);
        }
        if (platform::Current().NarrowLeadByte(byte)) {
            lead_ = byte;
            return true;
        }
        char single = static_cast<char>(byte);
        return Convert(&single, 1, emit);
#else
        if (need_ == 0) {
            if (byte < 0x80) return EmitCodePoint(byte, emit);
            if (byte >= 0xC2 && byte <= 0xDF) {
                Start(byte & 0x1Fu, 1, 0x80, 0xBF);
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                Start(byte & 0x0Fu, 2, byte == 0xE0 ? 0xA0 : 0x80, byte == 0xED ? 0x9F : 0xBF);
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                Start(byte & 0x07u, 3, byte == 0xF0 ? 0x90 : 0x80, byte == 0xF4 ? 0x8F : 0xBF);
            } else {
                return EmitCodePoint(0xFFFD, emit);
            }
            return true;
        }
        if (byte >= low_ && byte <= high_) {
            codePoint_ = (codePoint_ << 6) | (byte & 0x3Fu);
            low_ = 0x80;
            high_ = 0xBF;
            if (--need_ == 0) return EmitCodePoint(codePoint_, emit);
            return true;
        }
        need_ = 0;
        if (!EmitCodePoint(0xFFFD, emit)) return false;
        return Feed(byte, emit);
#endif
    }

    // Ends the text: an unfinished character gives the replacement.
    template <typename Emit>
    bool Finish(Emit& emit) noexcept {
#ifdef _WIN32
        if (lead_ == 0) return true;
        char single = static_cast<char>(lead_);
        lead_ = 0;
        return Convert(&single, 1, emit);
#else
        if (need_ == 0) return true;
        need_ = 0;
        return EmitCodePoint(0xFFFD, emit);
#endif
    }

private:
#ifdef _WIN32
    template <typename Emit>
    static bool Convert(const char* bytes, int count, Emit& emit) noexcept {
        char16_t units[4];
        std::size_t n = platform::Current().WideFromNarrow(bytes, static_cast<std::size_t>(count), units, 4);
        for (std::size_t i = 0; i < n; ++i) {
            if (!emit(units[i])) return false;
        }
        return true;
    }
    unsigned char lead_ = 0;
#else
    void Start(std::uint32_t bits, int need, unsigned char low, unsigned char high) noexcept {
        codePoint_ = bits;
        need_ = need;
        low_ = low;
        high_ = high;
    }
    template <typename Emit>
    static bool EmitCodePoint(std::uint32_t cp, Emit& emit) noexcept {
        if (cp < 0x10000) return emit(static_cast<char16_t>(cp));
        cp -= 0x10000;
        if (!emit(static_cast<char16_t>(0xD800 + (cp >> 10)))) return false;
        return emit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
    std::uint32_t codePoint_ = 0;
    int need_ = 0;
    unsigned char low_ = 0x80;
    unsigned char high_ = 0xBF;
#endif
};
// Walks the first `bytes` bytes of an 8-bit string already checked readable
// as UTF-16 units, calling emit(unit) until `maxUnits` units went out. Gives
// the units emitted.
template <typename Emit>
std::size_t WalkUnits(const void* text, std::size_t bytes, std::size_t maxUnits, Emit emit) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(text);
    std::size_t done = 0;
    auto counted = [&](char16_t unit) noexcept {
        if (done >= maxUnits) return false;
        ++done;
        emit(unit);
        return true;
    };
    NarrowDecoder decoder;
    bool open = true;
    for (std::size_t i = 0; i < bytes && open; ++i) open = decoder.Feed(p[i], counted);
    if (open) decoder.Finish(counted);
    return done;
}
// The UTF-16 units at `at` before the first zero one, at most `limit`; the
// units up to the limit lie in readable pages, and so do the aligned blocks
// that hold them.
std::size_t UnitsBeforeZero(const unsigned char* at, std::size_t limit) noexcept {
    std::size_t n = 0;
#if defined(ACTLOG_ALIGNED_SCAN)
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    if ((address & 1u) == 0 && limit != 0) {
        n = detail::AlignedUnitsBeforeZero(address, address + 2 * limit);
        return n < limit ? n : limit;
    }
#endif
    for (; n < limit; ++n) {
        char16_t unit = 0;
        std::memcpy(&unit, at + n * sizeof unit, sizeof unit);  // need not be aligned
        if (unit == 0) break;
    }
    return n;
}
// Finds how many bytes of the terminated string at `text` to use: up to its
// terminator, or up to the end of the character that makes `maxUnits` UTF-16
// units, whichever comes first. false when a page of it cannot be read.
bool MeasureString(const void* text, bool wide, std::size_t maxUnits, std::size_t* bytes,
                   SharedProbe* shared) noexcept {
    ProbedReader reader(text, shared);
    std::size_t used = 0;
    std::size_t units = 0;
    if (wide) {
        while (units < maxUnits) {
            // A fetch probes the next page; the rest of the probed stretch is
            // then scanned in place.
            char16_t unit = 0;
            if (!reader.Fetch(&unit, sizeof unit)) return false;
            if (unit == 0) break;
            ++units;
            std::size_t stretch = reader.Probed() / sizeof unit;
            if (stretch > maxUnits - units) stretch = maxUnits - units;
            std::size_t n = UnitsBeforeZero(reader.Next(), stretch);
            units += n;
            reader.Skip(n * sizeof unit);
            if (n < stretch) break;
        }
        *bytes = units * sizeof(char16_t);
        return true;
    }
    NarrowDecoder decoder;
    auto count = [&](char16_t) noexcept {
        ++units;
        return true;
    };
    while (units < maxUnits) {
        unsigned char byte = 0;
        if (!reader.Fetch(&byte, 1)) return false;
        if (byte == 0) break;
        ++used;
        decoder.Feed(byte, count);
    }
    *bytes = used;
    return true;
}
}  // namespace

bool RenderString(TextSink& sink, const ConversionSpec& conv, const void* text, bool wide) noexcept {
    static constexpr char16_t kNull[] = u"(null)";
    if (text == nullptr) {
        text = kNull;
        wide = true;
    }
    std::size_t width = conv.width > 0 ? static_cast<std::size_t>(conv.width) : 0;
    // Beyond what can still be shown (plus one, so no padding is due) the
    // string need not be read.
    std::size_t maxUnits = conv.precision >= 0 ? static_cast<std::size_t>(conv.precision)
                                               : SaturatingAdd(SaturatingAdd(sink.Room(), width), 1);
    std::size_t bytes = 0;
    if (!MeasureString(text, wide, maxUnits, &bytes, sink.SharedProbeToTake())) return false;

    // A wide string measured within maxUnits is its units as they lie.
    std::size_t units = wide ? bytes / sizeof(char16_t) : WalkUnits(text, bytes, maxUnits, [](char16_t) noexcept {});
    std::size_t pad = width > units ? width - units : 0;
    if (!conv.left) sink.PutRepeat(conv.zero ? u'0' : u' ', pad);
    char16_t block[64];
    if (wide) {
        // Copied a block at a time: the caller's string need not be aligned.
        const auto* from = static_cast<const unsigned char*>(text);
        for (std::size_t done = 0; done < units;) {
            std::size_t n = units - done < 64 ? units - done : 64;
            std::memcpy(block, from + done * sizeof(char16_t), n * sizeof(char16_t));
            sink.PutUnits(block, n);
            done += n;
        }
    } else {
        std::size_t filled = 0;
        WalkUnits(text, bytes, units, [&](char16_t unit) noexcept {
            block[filled++] = unit;
            if (filled == 64) {
                sink.PutUnits(block, filled);
                filled = 0;
            }
        });
        sink.PutUnits(block, filled);
    }
    if (conv.left) sink.PutRepeat(u' ', pad);
    return true;
}
char16_t WidenByte(unsigned char byte) noexcept {
#ifdef _WIN32
    char single = static_cast<char>(byte);
    char16_t unit = 0;
    if (platform::Current().WideFromNarrow(&single, 1, &unit, 1) != 1) return u'?';
    return unit;
#else
    return byte < 0x80 ? static_cast<char16_t>(byte) : char16_t(0xFFFD);
#endif
}
}  // namespace actlog::format
