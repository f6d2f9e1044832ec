// Names: moves that never replace, removal, existence, one directory level,
// and the case-insensitive directory search.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <string_view>

#include "platform/posix/posix_platform.h"
#include "text/bounded_text.h"
#include "text/text_convert.h"

namespace actlog::platform::posix {

Status PosixPlatform::MoveNoReplace(const char16_t* from, const char16_t* to) {
    Utf8Path source(from);
    Utf8Path target(to);
    if (!source.ok() || !target.ok()) return Status::Fail(Code::InvalidArgument, Op::Move);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return Status::Ok();
    if (errno != EINVAL && errno != ENOSYS) return LastOsError(Op::Move);
    return MoveByLink(source.c_str(), target.c_str());
}

Status MoveByLink(const char* from, const char* to) noexcept {
    // A hard link fails when the target exists; then the old name goes.
    if (::link(from, to) != 0) return LastOsError(Op::Move);
    if (::unlink(from) != 0) {
        Status why = LastOsError(Op::Move);
        ::unlink(to);
        return why;
    }
    return Status::Ok();
}

Status PosixPlatform::RemoveFile(const char16_t* path) {
    Utf8Path native(path);
    if (!native.ok()) return Status::Fail(Code::InvalidArgument, Op::Remove);
    if (::unlink(native.c_str()) != 0) return LastOsError(Op::Remove);
    return Status::Ok();
}

Status PosixPlatform::Exists(const char16_t* path) {
    Utf8Path native(path);
    // A name that cannot be converted names no file.
    if (!native.ok()) return Status::Fail(Code::NotFound, Op::Probe);
    struct stat info {};
    return ::stat(native.c_str(), &info) == 0 ? Status::Ok() : LastOsError(Op::Probe);
}

Status PosixPlatform::MakeDirectory(const char16_t* path) {
    Utf8Path native(path);
    if (!native.ok()) return Status::Fail(Code::InvalidArgument, Op::MakeDirectory);
    if (::mkdir(native.c_str(), 0777) != 0) return LastOsError(Op::MakeDirectory);
    return Status::Ok();
}

namespace {

// A directory search without heap memory (owner appends search the Logs
// directory). The directory stays open; each refill reads it again and keeps
// the next kBatch matching names after the last one delivered, so a search of
// n names reads the directory about n / kBatch times. Order: the name the
// pattern gives with every '*' empty, in exactly that case, first (unless the
// pattern has a '?'); then shorter names before longer; then by UTF-16 unit.
constexpr std::size_t kNameUnits = 256;  // a name is at most 255 bytes of UTF-8
constexpr std::size_t kBatch = 16;
constexpr std::size_t kPooled = 8;

using Name = BoundedText<kNameUnits>;

struct Search {
    std::atomic<bool> busy{false};
    bool pooled = true;
    int directory = -1;
    Name wildcard;
    Name exact;
    bool exactFirst = false;
    bool started = false;  // a name has been delivered
    Name batch[kBatch];
    std::size_t batchSize = 0;
    std::size_t batchNext = 0;

    bool Before(std::u16string_view a, std::u16string_view b) const noexcept {
        bool aExact = exactFirst && a == exact.view();
        bool bExact = exactFirst && b == exact.view();
        if (aExact != bExact) return aExact;
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    }
};

Search pool[kPooled];

Search* Acquire() noexcept {
    for (Search& slot : pool) {
        bool expected = false;
        if (slot.busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) return &slot;
    }
    // More searches at once than the pool holds, only from many threads.
    auto* search = new (std::nothrow) Search;
    if (search != nullptr) search->pooled = false;
    return search;
}

void Release(Search* search) noexcept {
    if (search->directory >= 0) ::close(search->directory);
    search->directory = -1;
    if (search->pooled) {
        search->busy.store(false, std::memory_order_release);
    } else {
        delete search;
    }
}

// Puts `name` into the ordered batch if it belongs among its first kBatch.
void Offer(Search& search, std::u16string_view name) noexcept {
    std::size_t at = search.batchSize;
    while (at > 0 && search.Before(name, search.batch[at - 1].view())) --at;
    if (at == kBatch) return;
    std::size_t end = search.batchSize < kBatch ? search.batchSize : kBatch - 1;
    for (std::size_t i = end; i > at; --i) search.batch[i] = search.batch[i - 1];
    search.batch[at].Assign(name);
    if (search.batchSize < kBatch) ++search.batchSize;
}

// Reads the directory for the names that follow the last one delivered (the
// last of the batch).
Status Refill(Search& search) noexcept {
    Name last = search.batch[search.batchSize == 0 ? 0 : search.batchSize - 1];
    search.batchSize = 0;
    search.batchNext = 0;
    if (::lseek(search.directory, 0, SEEK_SET) != 0) return LastOsError(Op::Find);
    alignas(dirent64) char buffer[8192];
    char16_t converted[kNameUnits];
    for (;;) {
        ssize_t got =
            RetryAfterSignal(ssize_t{-1}, [&] { return ::getdents64(search.directory, buffer, sizeof buffer); });
        if (got < 0) return LastOsError(Op::Find);
        if (got == 0) return Status::Ok();
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            std::size_t units = 0;
            // A name that is not UTF-8 cannot be named in UTF-16: skip it.
            if (!text::Utf16FromUtf8(entry->d_name, converted, kNameUnits, &units)) continue;
            std::u16string_view name(converted, units);
            if (!text::WildcardMatch(search.wildcard.view(), name)) continue;
            if (search.started && !search.Before(last.view(), name)) continue;
            Offer(search, name);
        }
    }
}

Status Step(Search& search, char16_t* name, std::size_t capacity) noexcept {
    const Status noMore = Status::Fail(Code::NotFound, Op::Find);
    if (search.batchNext == search.batchSize) {
        // A batch that came back short held every name that was left.
        if (search.started && search.batchSize < kBatch) return noMore;
        Status read = Refill(search);
        if (!read) return read;
        if (search.batchSize == 0) return noMore;
    }
    const Name& next = search.batch[search.batchNext++];
    search.started = true;
    if (name != nullptr && capacity > 0) {
        std::size_t n = std::min(next.size(), capacity - 1);
        std::copy(next.c_str(), next.c_str() + n, name);
        name[n] = 0;
    }
    return Status::Ok();
}

}  // namespace

SearchHandle PosixPlatform::FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) {
    const SearchHandle badPattern = SearchHandle::Failed(Status::Fail(Code::InvalidArgument, Op::Find));
    if (pattern == nullptr) return badPattern;
    std::u16string_view whole(pattern, TextLength(pattern));
    std::size_t slash = whole.rfind(kSeparator);
    std::u16string_view wildcard = slash == std::u16string_view::npos ? whole : whole.substr(slash + 1);
    if (wildcard.empty() || wildcard.size() >= kNameUnits) return badPattern;
    BoundedText<kPathChars * 4> directory;
    if (slash == std::u16string_view::npos) {
        directory.Assign(u".");
    } else if (slash == 0) {
        directory.Assign(u"/");
    } else if (!directory.Assign(whole.substr(0, slash))) {
        return badPattern;
    }
    Utf8Path native(directory.c_str());
    if (!native.ok()) return badPattern;

    Search* search = Acquire();
    if (search == nullptr) return SearchHandle::Failed(Status::Fail(Code::NoMemory, Op::Find));
    search->directory = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Status found = search->directory < 0 ? LastOsError(Op::Find) : Status::Ok();
    search->wildcard.Assign(wildcard);
    search->exact.Clear();
    search->exactFirst = true;
    for (char16_t c : wildcard) {
        if (c == u'?') search->exactFirst = false;
        if (c != u'*') search->exact.Append(c);
    }
    search->started = false;
    search->batchSize = 0;
    search->batchNext = 0;
    if (found) found = Step(*search, name, capacity);
    if (!found) {
        Release(search);
        return SearchHandle::Failed(found);
    }
    return SearchHandle{reinterpret_cast<std::intptr_t>(search), Status::Ok()};
}

Status PosixPlatform::FindNext(SearchHandle handle, char16_t* name, std::size_t capacity) {
    if (!handle.valid()) return Status::Fail(Code::InvalidArgument, Op::Find);
    return Step(*reinterpret_cast<Search*>(handle.value), name, capacity);
}

void PosixPlatform::FindClose(SearchHandle handle) {
    if (handle.valid()) Release(reinterpret_cast<Search*>(handle.value));
}

}  // namespace actlog::platform::posix
