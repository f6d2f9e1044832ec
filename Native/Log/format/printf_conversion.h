// The printf conversions shared by message formatting and wide printf-style
// formatting, with the Windows wide-function conventions: %s and %ls are wide
// strings, %S and %hs 8-bit strings, %c a wide and %C an 8-bit character, %ld
// is 32 bits, %I64d / %lld 64 bits. Output goes into a bounded sink, wide or
// 8-bit; string arguments are read through the memory probe, never blindly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/probed_text.h"

namespace actlog::format {

// Bounded output, cut at capacity - 1 and always terminated by Finish().
// The content is UTF-16 units; an 8-bit sink encodes them to the 8-bit code
// page as they come (a character that would not fit whole is left out).
class TextSink {
public:
    TextSink(char16_t* out, std::size_t capacity) noexcept;
    TextSink(char* out, std::size_t capacity) noexcept;

    void PutUnits(const char16_t* units, std::size_t count) noexcept;
    void PutUnit(char16_t unit) noexcept { PutUnits(&unit, 1); }
    void PutRepeat(char16_t unit, std::size_t count) noexcept;
    // 8-bit text already in the code page (template text of an 8-bit
    // template); only valid on an 8-bit sink.
    void PutBytes(const char* bytes, std::size_t count) noexcept;

    // Terminates the output; gives its length.
    std::size_t Finish() noexcept;
    // Empties the output.
    void Clear() noexcept;

    // Whether anything was formatted, even if it was cut away.
    bool Produced() const noexcept { return produced_; }
    bool Full() const noexcept { return full_; }
    // Characters (wide) or bytes (8-bit) that still fit.
    std::size_t Room() const noexcept;

    // A probe that the first probe of a string insert takes along (null: none).
    void ShareProbe(SharedProbe* probe) noexcept { sharedProbe_ = probe; }
    SharedProbe* SharedProbeToTake() const noexcept { return sharedProbe_; }

private:
    void AppendBytes(const char* bytes, std::size_t count) noexcept;
    void EncodeNarrow(const char16_t* units, std::size_t count) noexcept;

    char16_t* wide_ = nullptr;
    char* narrow_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    char16_t pendingHigh_ = 0;  // 8-bit sink: a high surrogate waiting for its pair
    bool produced_ = false;
    bool full_ = false;
    SharedProbe* sharedProbe_ = nullptr;
};

enum class ArgSize {
    Default,
    Char8,   // hh
    Short,   // h
    Long32,  // l, I32 (Windows long is 32 bits)
    Long64,  // ll, I64, I, j, z, t (64-bit target)
    Wide,    // w
    LongDouble,  // L
};

enum class ArgKind {
    SignedInt,
    UnsignedInt,
    Pointer,
    WideChar,
    NarrowChar,
    WideString,
    NarrowString,
    Float,
    Invalid,  // %n, %Z and anything unknown
};

struct ConversionSpec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    bool widthStar = false;
    bool precisionStar = false;
    int width = 0;
    int precision = -1;  // -1: none given
    ArgSize size = ArgSize::Default;
    char16_t conversion = 0;
};

// Parses one conversion after its '%': flags, width, precision, size, type,
// in printf order. Gives the characters consumed, 0 when the text is not a
// complete conversion.
std::size_t ParseConversion(const char16_t* text, std::size_t available, ConversionSpec* conv) noexcept;
std::size_t ParseConversion(const char* text, std::size_t available, ConversionSpec* conv) noexcept;

// What the argument of a conversion is, by the wide-function conventions.
ArgKind KindOf(const ConversionSpec& conv) noexcept;
// Whether an integer conversion takes a 64-bit argument.
bool Is64Bit(const ConversionSpec& conv) noexcept;

// Applies a `*` value: a negative width left-justifies, a negative precision
// counts as none.
void ApplyStarWidth(ConversionSpec* conv, std::int32_t value) noexcept;
void ApplyStarPrecision(ConversionSpec* conv, std::int32_t value) noexcept;

void RenderInteger(TextSink& sink, const ConversionSpec& conv, std::uint64_t bits) noexcept;
void RenderPointer(TextSink& sink, const ConversionSpec& conv, std::uint64_t bits) noexcept;
void RenderChar(TextSink& sink, const ConversionSpec& conv, char16_t unit) noexcept;
void RenderFloat(TextSink& sink, const ConversionSpec& conv, double value) noexcept;
// Reads the terminated string at `text` through the memory probe (every page
// is checked before it is read). A null pointer prints "(null)". Gives false,
// with nothing written, when the string cannot be read.
bool RenderString(TextSink& sink, const ConversionSpec& conv, const void* text, bool wide) noexcept;

// One 8-bit character of the code page as a UTF-16 unit (%C).
char16_t WidenByte(unsigned char byte) noexcept;

}  // namespace actlog::format
