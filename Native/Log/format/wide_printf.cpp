#include "format/wide_printf.h"

#include <climits>
#include <cstdint>

#include "format/printf_conversion.h"

namespace actlog::format {

int FormatWidePrintf(char16_t* out, std::size_t capacity, const char16_t* format, va_list args) noexcept {
    TextSink sink(out, capacity);
    bool failed = format == nullptr;
    va_list list;
    va_copy(list, args);
    for (const char16_t* p = format; !failed && *p != 0;) {
        // Plain text up to the next '%' in one piece.
        const char16_t* run = p;
        while (*p != 0 && *p != u'%') ++p;
        sink.PutUnits(run, static_cast<std::size_t>(p - run));
        if (*p == 0) break;
        ++p;
        if (*p == u'%') {
            sink.PutUnit(u'%');
            ++p;
            continue;
        }
        ConversionSpec conv;
        // The conversion parser stops at the first character that cannot
        // belong to it, so it never reads past the terminator.
        std::size_t used = ParseConversion(p, SIZE_MAX, &conv);
        ArgKind kind = used == 0 ? ArgKind::Invalid : KindOf(conv);
        if (kind == ArgKind::Invalid) {
            failed = true;
            break;
        }
        p += used;
        if (conv.widthStar) ApplyStarWidth(&conv, va_arg(list, int));
        if (conv.precisionStar) ApplyStarPrecision(&conv, va_arg(list, int));
        switch (kind) {
            case ArgKind::SignedInt:
            case ArgKind::UnsignedInt:
                RenderInteger(sink, conv,
                                             Is64Bit(conv) ? va_arg(list, unsigned long long)
                                                                          : va_arg(list, unsigned int));
                break;
            case ArgKind::Pointer:
                RenderPointer(sink, conv, reinterpret_cast<std::uintptr_t>(va_arg(list, void*)));
                break;
            case ArgKind::WideChar:
                RenderChar(sink, conv, static_cast<char16_t>(va_arg(list, int)));
                break;
            case ArgKind::NarrowChar:
                RenderChar(sink, conv,
                                          WidenByte(static_cast<unsigned char>(va_arg(list, int))));
                break;
            case ArgKind::WideString:
            case ArgKind::NarrowString:
                failed = !RenderString(sink, conv, va_arg(list, const void*),
                                                      kind == ArgKind::WideString);
                break;
            case ArgKind::Float:
                RenderFloat(sink, conv,
                                           conv.size == ArgSize::LongDouble
                                               ? static_cast<double>(va_arg(list, long double))
                                               : va_arg(list, double));
                break;
            default:
                failed = true;
                break;
        }
    }
    va_end(list);
    std::size_t written = sink.Finish();
    if (failed) return -1;
    return written > INT_MAX ? INT_MAX : static_cast<int>(written);
}

}  // namespace actlog::format
