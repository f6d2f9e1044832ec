// Names: moves that never replace, removal, existence, one directory level,
// and the case-insensitive directory search.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "platform/bounded_text.h"
#include "platform/posix/posix_platform.h"
#include "platform/text_convert.h"

namespace actlog::platform::posix {

bool PosixPlatform::MoveNoReplace(const char16_t* from, const char16_t* to) {
    Utf8Path source(from);
    Utf8Path target(to);
    if (!source.ok() || !target.ok()) return false;
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    return MoveByLink(source.c_str(), target.c_str());
}

bool MoveByLink(const char* from, const char* to) noexcept {
    // A hard link fails when the target exists; then the old name goes.
    if (::link(from, to) != 0) return false;
    if (::unlink(from) != 0) {
        ::unlink(to);
        return false;
    }
    return true;
}

bool PosixPlatform::RemoveFile(const char16_t* path) {
    Utf8Path native(path);
    if (!native.ok()) return false;
    // A large file is held open across the unlink so that the reclaim of its
    // space happens at the last close, on the reclaim worker.
    int held = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (held >= 0 && (::fstat(held, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < kReclaimLaterBytes)) {
        ::close(held);
        held = -1;
    }
    bool removed = ::unlink(native.c_str()) == 0;
    if (held >= 0) {
        if (removed) {
            ReclaimLater(held);
        } else {
            ::close(held);
        }
    }
    return removed;
}

bool PosixPlatform::Exists(const char16_t* path) {
    Utf8Path native(path);
    struct stat info {};
    return native.ok() && ::stat(native.c_str(), &info) == 0;
}

bool PosixPlatform::MakeDirectory(const char16_t* path) {
    Utf8Path native(path);
    return native.ok() && ::mkdir(native.c_str(), 0777) == 0;
}

namespace {

// The matches of one search, collected and ordered when it starts.
struct Search {
    std::vector<std::u16string> names;
    std::size_t next = 0;
};

bool Deliver(const std::u16string& found, char16_t* name, std::size_t capacity) {
    if (name == nullptr || capacity == 0) return true;
    std::size_t n = std::min(found.size(), capacity - 1);
    std::copy(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n), name);
    name[n] = 0;
    return true;
}

}  // namespace

SearchHandle PosixPlatform::FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) {
    if (pattern == nullptr) return SearchHandle{};
    std::u16string_view whole(pattern, TextLength(pattern));
    std::size_t slash = whole.rfind(kSeparator);
    std::u16string_view wildcard = slash == std::u16string_view::npos ? whole : whole.substr(slash + 1);
    if (wildcard.empty()) return SearchHandle{};
    std::u16string directory;
    if (slash == std::u16string_view::npos) {
        directory = u".";
    } else if (slash == 0) {
        directory = u"/";
    } else {
        directory = std::u16string(whole.substr(0, slash));
    }
    Utf8Path native(directory.c_str());
    if (!native.ok()) return SearchHandle{};

    // The name a match would have if every '*' stood for nothing: it comes
    // first when it is on disk in exactly that letter case.
    std::u16string exact;
    bool hasQuestion = false;
    for (char16_t c : wildcard) {
        if (c == u'?') hasQuestion = true;
        if (c != u'*') exact.push_back(c);
    }

    auto* search = new (std::nothrow) Search;
    if (search == nullptr) return SearchHandle{};
    try {
        DIR* dir = ::opendir(native.c_str());
        if (dir == nullptr) {
            delete search;
            return SearchHandle{};
        }
        char16_t converted[1024];
        while (dirent* entry = ::readdir(dir)) {
            std::string_view raw(entry->d_name);
            std::size_t units = 0;
            // A name that is not UTF-8 cannot be named in UTF-16: skip it.
            if (!Utf16FromUtf8(raw, converted, sizeof converted / sizeof converted[0], &units)) continue;
            std::u16string_view candidate(converted, units);
            if (WildcardMatch(wildcard, candidate)) search->names.emplace_back(candidate);
        }
        ::closedir(dir);
        std::sort(search->names.begin(), search->names.end(), [&](const std::u16string& a, const std::u16string& b) {
            bool aExact = !hasQuestion && a == exact;
            bool bExact = !hasQuestion && b == exact;
            if (aExact != bExact) return aExact;
            if (a.size() != b.size()) return a.size() < b.size();
            return a < b;
        });
    } catch (...) {
        delete search;
        return SearchHandle{};
    }
    if (search->names.empty()) {
        delete search;
        return SearchHandle{};
    }
    Deliver(search->names[0], name, capacity);
    search->next = 1;
    return SearchHandle{reinterpret_cast<std::intptr_t>(search)};
}

bool PosixPlatform::FindNext(SearchHandle handle, char16_t* name, std::size_t capacity) {
    if (!handle.valid()) return false;
    auto* search = reinterpret_cast<Search*>(handle.value);
    if (search->next >= search->names.size()) return false;
    return Deliver(search->names[search->next++], name, capacity);
}

void PosixPlatform::FindClose(SearchHandle handle) {
    if (handle.valid()) delete reinterpret_cast<Search*>(handle.value);
}

}  // namespace actlog::platform::posix
