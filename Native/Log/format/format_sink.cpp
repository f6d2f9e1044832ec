// The bounded output of the formatting functions, wide or 8-bit.
#include <cstring>

#include "format/printf_conversion.h"
#include "platform/platform.h"

namespace actlog::format {
namespace {

bool IsHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

// Length of the UTF-8 sequence that `lead` starts, 0 for a continuation byte.
std::size_t Utf8SequenceLength(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}
}  // namespace

TextSink::TextSink(char16_t* out, std::size_t capacity) noexcept : wide_(out), capacity_(out ? capacity : 0) {}
TextSink::TextSink(char* out, std::size_t capacity) noexcept : narrow_(out), capacity_(out ? capacity : 0) {}

std::size_t TextSink::Room() const noexcept { return capacity_ == 0 ? 0 : capacity_ - 1 - length_; }

void TextSink::PutUnits(const char16_t* units, std::size_t count) noexcept {
    if (count == 0) return;
    produced_ = true;
    if (wide_ != nullptr) {
        std::size_t room = Room();
        std::size_t n = count < room ? count : room;
        std::memcpy(wide_ + length_, units, n * sizeof(char16_t));
        length_ += n;
        if (n < count) full_ = true;
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        char16_t u = units[i];
        if (pendingHigh_ != 0) {
            char16_t pair[2] = {pendingHigh_, u};
            pendingHigh_ = 0;
            if (IsLowSurrogate(u)) {
                EncodeNarrow(pair, 2);
                continue;
            }
            EncodeNarrow(pair, 1);
        }
        if (IsHighSurrogate(u)) {
            pendingHigh_ = u;
        } else if (u < 0x80) {
            char byte = static_cast<char>(u);
            AppendBytes(&byte, 1);
        } else {
            EncodeNarrow(&u, 1);
        }
    }
}

void TextSink::PutRepeat(char16_t unit, std::size_t count) noexcept {
    char16_t block[32];
    for (char16_t& u : block) u = unit;
    while (count > 0 && !full_) {
        std::size_t n = count < 32 ? count : 32;
        PutUnits(block, n);
        count -= n;
    }
    if (count > 0) produced_ = true;
}

void TextSink::PutBytes(const char* bytes, std::size_t count) noexcept {
    if (narrow_ == nullptr || count == 0) return;
    produced_ = true;
    if (pendingHigh_ != 0) {
        EncodeNarrow(&pendingHigh_, 1);
        pendingHigh_ = 0;
    }
    AppendBytes(bytes, count);
}

void TextSink::AppendBytes(const char* bytes, std::size_t count) noexcept {
    std::size_t room = Room();
    std::size_t n = count < room ? count : room;
    std::memcpy(narrow_ + length_, bytes, n);
    length_ += n;
    if (n == count) return;
    if (!full_ && platform::kNarrowIsUtf8) {
        // Do not leave the start of a character that was cut.
        std::size_t back = 0;
        while (back < 3 && back < length_ &&
               Utf8SequenceLength(static_cast<unsigned char>(narrow_[length_ - 1 - back])) == 0)
            ++back;
        if (back < length_) {
            std::size_t lead = length_ - 1 - back;
            if (Utf8SequenceLength(static_cast<unsigned char>(narrow_[lead])) > back + 1) length_ = lead;
        }
    }
    full_ = true;
}

// Encodes one character (one unit or a surrogate pair) to the code page;
// when it does not fit whole, it is left out and the sink is full.
void TextSink::EncodeNarrow(const char16_t* units, std::size_t count) noexcept {
    char16_t text[3] = {units[0], count > 1 ? units[1] : char16_t(0), 0};
    char bytes[16];
    std::size_t n = platform::Current().NarrowFromWide(text, bytes, sizeof bytes);
    if (n > Room()) {
        full_ = true;
        return;
    }
    std::memcpy(narrow_ + length_, bytes, n);
    length_ += n;
}

std::size_t TextSink::Finish() noexcept {
    if (pendingHigh_ != 0 && narrow_ != nullptr) {
        EncodeNarrow(&pendingHigh_, 1);
        pendingHigh_ = 0;
    }
    if (capacity_ == 0) return 0;
    if (wide_ != nullptr) wide_[length_] = 0;
    if (narrow_ != nullptr) narrow_[length_] = 0;
    return length_;
}

void TextSink::Clear() noexcept {
    length_ = 0;
    pendingHigh_ = 0;
    produced_ = false;
    full_ = false;
}

}  // namespace actlog::format
