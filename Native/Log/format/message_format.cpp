#include "format/message_format.h"

#include <cstdint>
#include <type_traits>

#include "format/printf_conversion.h"

namespace actlog::format {
namespace {

// A printf format between '!' may hold at most this many characters.
constexpr std::size_t kMaxInsertFormat = 30;
// 99 inserts, plus the two slots that `*` widths may read past the last one.
constexpr int kMaxSlots = 101;

// The inserts, read from the caller's list as pointer-sized slots. The first
// use of slot N reads every unread slot up to N in order; a slot once read is
// kept, so inserts may come in any order and repeat.
class InsertSlots {
public:
    explicit InsertSlots(va_list args) noexcept { va_copy(list_, args); }
    ~InsertSlots() { va_end(list_); }
    InsertSlots(const InsertSlots&) = delete;
    InsertSlots& operator=(const InsertSlots&) = delete;

    // `number` -1 means the slot after the last one read.
    bool Get(int number, std::uint64_t* value) noexcept {
        if (number == -1) number = last_ + 1;
        if (number < 1 || number > kMaxSlots) return false;
        while (number > last_) slots_[last_++] = va_arg(list_, std::uintptr_t);
        *value = slots_[number - 1];
        return true;
    }

    // A format with `*` gives back its last slot, which the value then reads
    // again from the list: the platform's own (documented) way of counting.
    void DropLast() noexcept {
        if (last_ > 0) --last_;
    }

private:
    va_list list_;
    std::uint64_t slots_[kMaxSlots];  // read only up to last_
    int last_ = 0;
};

template <typename CharT>
constexpr bool kWideTemplate = std::is_same_v<CharT, char16_t>;

template <typename CharT>
char16_t Unit(CharT c) noexcept {
    return static_cast<char16_t>(static_cast<std::make_unsigned_t<CharT>>(c));
}

template <typename CharT>
void PutLiteral(TextSink& sink, CharT c) noexcept {
    if constexpr (kWideTemplate<CharT>) {
        sink.PutUnit(c);
    } else {
        sink.PutBytes(&c, 1);
    }
}

bool IsFormatFlagChar(char16_t c) noexcept {
    return (c >= u'0' && c <= u'9') || c == u' ' || c == u'+' || c == u'-' || c == u'*' || c == u'#' ||
           c == u'.';
}

// Formats the insert `number` whose template text continues at `text`.
// *next receives where the template goes on.
template <typename CharT>
FormatOutcome FormatInsert(TextSink& sink, InsertSlots& slots, int number, const CharT* text,
                           const CharT** next) noexcept {
    if (*text != CharT('!')) {
        // No format: a string of the template's own width.
        *next = text;
        std::uint64_t value = 0;
        if (!slots.Get(number, &value)) return FormatOutcome::Fault;
        const void* string = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value));
        return RenderString(sink, ConversionSpec{}, string, kWideTemplate<CharT>)
                   ? FormatOutcome::Text
                   : FormatOutcome::Fault;
    }

    const CharT* start = text + 1;
    const CharT* end = start;
    while (*end != 0 && *end != CharT('!')) ++end;
    if (*end == 0 || static_cast<std::size_t>(end - start) > kMaxInsertFormat) return FormatOutcome::NoText;
    *next = end + 1;

    char16_t format[kMaxInsertFormat];
    std::size_t length = static_cast<std::size_t>(end - start);
    for (std::size_t i = 0; i < length; ++i) format[i] = Unit(start[i]);

    std::size_t lead = 0;
    int stars = 0;
    while (lead < length && IsFormatFlagChar(format[lead])) {
        if (format[lead] == u'*') ++stars;
        ++lead;
    }
    if (stars > 2) return FormatOutcome::NoText;
    // An 8-bit template means 8-bit strings and characters by s and c, wide
    // ones by S and C; h, l and w keep their meaning.
    if (!kWideTemplate<CharT> && lead < length) {
        char16_t& c = format[lead];
        if (c == u's' || c == u'S' || c == u'c' || c == u'C') c = static_cast<char16_t>(c ^ (u's' - u'S'));
    }

    ConversionSpec conv;
    std::size_t used = ParseConversion(format, length, &conv);
    if (used == 0) return FormatOutcome::Fault;
    for (std::size_t i = used; i < length; ++i) {
        if (format[i] == u'%') return FormatOutcome::Fault;
    }
    ArgKind kind = KindOf(conv);
    if (kind == ArgKind::Invalid || kind == ArgKind::Float) return FormatOutcome::Fault;

    std::uint64_t value = 0;
    if (conv.widthStar) {
        if (!slots.Get(number, &value)) return FormatOutcome::Fault;
        ApplyStarWidth(&conv, static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
        number = -1;
    }
    if (conv.precisionStar) {
        if (!slots.Get(number, &value)) return FormatOutcome::Fault;
        ApplyStarPrecision(&conv, static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
        number = -1;
    }
    if (number == -1) slots.DropLast();
    if (!slots.Get(number, &value)) return FormatOutcome::Fault;

    switch (kind) {
        case ArgKind::SignedInt:
        case ArgKind::UnsignedInt:
            RenderInteger(sink, conv, value);
            break;
        case ArgKind::Pointer:
            RenderPointer(sink, conv, value);
            break;
        case ArgKind::WideChar:
            RenderChar(sink, conv, static_cast<char16_t>(value & 0xFFFFu));
            break;
        case ArgKind::NarrowChar:
            RenderChar(sink, conv, WidenByte(static_cast<unsigned char>(value & 0xFFu)));
            break;
        case ArgKind::WideString:
        case ArgKind::NarrowString: {
            const void* string = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value));
            if (!RenderString(sink, conv, string, kind == ArgKind::WideString))
                return FormatOutcome::Fault;
            break;
        }
        default:
            return FormatOutcome::Fault;
    }
    // Text after the conversion inside the '!' pair is printed as it stands.
    sink.PutUnits(format + used, length - used);
    return FormatOutcome::Text;
}

template <typename CharT>
FormatOutcome FormatTemplate(TextSink& sink, InsertSlots& slots, const CharT* pattern) noexcept {
    static constexpr char16_t kLineEnd[] = {u'\r', u'\n'};
    const CharT* p = pattern;
    while (*p != 0) {
        CharT c = *p++;
        if (c == CharT('\r') || c == CharT('\n')) {
            // LF, CR and CR LF all come out as CR LF.
            if (c == CharT('\r') && *p == CharT('\n')) ++p;
            sink.PutUnits(kLineEnd, 2);
            continue;
        }
        if (c != CharT('%')) {
            PutLiteral(sink, c);
            continue;
        }
        CharT escape = *p++;
        switch (escape) {
            case 0:
                return FormatOutcome::NoText;  // a lone '%' ends the template
            case CharT('0'):
                return FormatOutcome::Text;  // the output ends here
            case CharT('n'):
                sink.PutUnits(kLineEnd, 2);
                break;
            case CharT('r'):
                sink.PutUnit(u'\r');
                break;
            case CharT('t'):
                sink.PutUnit(u'\t');
                break;
            default:
                if (escape >= CharT('1') && escape <= CharT('9')) {
                    int number = escape - CharT('0');
                    if (*p >= CharT('0') && *p <= CharT('9')) number = number * 10 + (*p++ - CharT('0'));
                    FormatOutcome outcome = FormatInsert(sink, slots, number, p, &p);
                    if (outcome != FormatOutcome::Text) return outcome;
                } else {
                    // "%%", "%.", "%!", "% " and '%' before anything else: the character itself.
                    PutLiteral(sink, escape);
                }
                break;
        }
    }
    return FormatOutcome::Text;
}

template <typename CharT>
FormatOutcome FormatMessageT(const CharT* pattern, va_list args, CharT* out, std::size_t capacity,
                             std::size_t* length, SharedProbe* shared) noexcept {
    TextSink sink(out, capacity);
    sink.ShareProbe(shared);
    FormatOutcome outcome = FormatOutcome::NoText;
    if (pattern != nullptr) {
        InsertSlots slots(args);
        outcome = FormatTemplate(sink, slots, pattern);
    }
    if (outcome == FormatOutcome::Text && !sink.Produced()) outcome = FormatOutcome::NoText;
    if (outcome != FormatOutcome::Text) sink.Clear();
    std::size_t written = sink.Finish();
    if (length != nullptr) *length = written;
    return outcome;
}

}  // namespace

FormatOutcome FormatMessageWide(const char16_t* pattern, va_list args, char16_t* out, std::size_t capacity,
                                std::size_t* length, SharedProbe* shared) noexcept {
    return FormatMessageT(pattern, args, out, capacity, length, shared);
}

FormatOutcome FormatMessageNarrow(const char* pattern, va_list args, char* out, std::size_t capacity,
                                  std::size_t* length) noexcept {
    return FormatMessageT(pattern, args, out, capacity, length, nullptr);
}

}  // namespace actlog::format
