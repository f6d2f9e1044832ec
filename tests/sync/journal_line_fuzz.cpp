// libFuzzer target: the in-place parse of a journal line on arbitrary text.
// The input becomes the line's characters with CR LF added (so the parse gets
// past the line-end check), in a block of exactly that size: any text handed
// out must start inside the block and end at a terminator inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sync/journal_reader.h"

namespace {

void CheckText(const LOG_WCHAR* text, const char16_t* block, std::size_t chars) {
    if (text == nullptr) return;
    const auto* at = reinterpret_cast<const char16_t*>(text);
    if (at < block || at >= block + chars) std::abort();
    while (*at != 0) {
        ++at;
        if (at >= block + chars) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t chars = size / 2 + 2;
    // Exactly the line's size, so that the sanitizer sees any step past it.
    std::vector<char16_t> block(chars);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        block[i / 2] = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
    block[chars - 2] = u'\r';
    block[chars - 1] = u'\n';
    SyncLogEntry entry{};
    int outcome = actlog::ParseJournalLine(block.data(), static_cast<std::uint32_t>(chars), entry);
    if (outcome != 1) return 0;
    if (reinterpret_cast<const char16_t*>(entry.kindText) != block.data()) std::abort();
    for (const LOG_WCHAR* text : {entry.kindText, entry.ownerName, entry.timeText, entry.messageText}) {
        CheckText(text, block.data(), chars);
    }
    return 0;
}
