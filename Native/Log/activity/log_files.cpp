#include "activity/log_files.h"

#include "frame/module.h"
#include "platform/text_convert.h"

namespace actlog {
namespace {

constexpr char16_t kLogSuffix[] = u".activity.log";
constexpr char16_t kIndexSuffix[] = u".activity.idx";

// The longest fixed suffix of an owner's file (the rebuild file) and the
// longest mutex base name bound how long an owner name may be.
constexpr std::size_t kLongestSuffix = sizeof(u".activity.idx.rex") / sizeof(char16_t) - 1;
constexpr std::size_t kLongestMutexBase = sizeof(kPruneMutexBase) / sizeof(char16_t) - 1;

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) noexcept {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

std::size_t FileNameStart(std::u16string_view path) noexcept {
    std::size_t pos = path.rfind(platform::kSeparator);
    return pos == std::u16string_view::npos ? 0 : pos + 1;
}

// Whether a directory entry found for the owner's log is that owner's log:
// the exact name, or "<prefix>.<name>" whose stem has no index of its own
// (which would make it another owner's log).
enum class Candidate { Exact, Prefixed, Foreign };

Candidate Classify(std::u16string_view found, std::u16string_view wanted, std::u16string_view directory) noexcept {
    if (EqualNoCase(found, wanted)) return Candidate::Exact;
    if (found.size() <= wanted.size() + 1 || !EndsWithNoCase(found, wanted)) return Candidate::Foreign;
    if (found[found.size() - wanted.size() - 1] != u'.') return Candidate::Foreign;
    std::u16string_view stem = found.substr(0, found.size() - (sizeof(kLogSuffix) / sizeof(char16_t) - 1));
    PathText stemIndex(directory);
    bool fits = stemIndex.Append(stem) && stemIndex.Append(kIndexSuffix);
    if (!fits || platform::Current().Exists(stemIndex.c_str())) return Candidate::Foreign;
    return Candidate::Prefixed;
}

}  // namespace

bool EqualNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (platform::FoldCase(a[i]) != platform::FoldCase(b[i])) return false;
    }
    return true;
}

bool OwnerNameAllowed(const char16_t* owner) noexcept {
    if (!OwnerPresent(owner)) return true;
    std::size_t n = 0;
    for (; owner[n] != 0; ++n) {
        char16_t c = owner[n];
        if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\' || c == u':') return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (owner[n + 1] < 0xDC00 || owner[n + 1] > 0xDFFF) return false;
            ++n;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    if (Module().logsDirectory.size() + n + kLongestSuffix > kPathChars - 1) return false;
    return kLongestMutexBase + n <= kPathChars - 1;
}

const char16_t* ActivitySuffix(LogFile which) noexcept {
    switch (which) {
        case LogFile::Log: return kLogSuffix;
        case LogFile::Index: return kIndexSuffix;
        case LogFile::NewLog: return u".activity.log.new";
        case LogFile::NewIndex: return u".activity.idx.new";
        case LogFile::RebuildIndex: return u".activity.idx.rex";
    }
    return kLogSuffix;
}

PathText ActivityPath(LogFile which, const char16_t* owner) noexcept {
    PathText path(Module().logsDirectory.view());
    const char16_t* suffix = ActivitySuffix(which);
    if (OwnerPresent(owner)) {
        path.AppendZ(owner);
        path.AppendZ(suffix);
        if (which == LogFile::Log) {
            FindOwnerLogFile(path.data(), kPathChars);
            path.Recount();
        }
    } else {
        path.AppendZ(suffix + 1);  // the machine's names lack the leading '.'
    }
    return path;
}

PathText LogMutexName(const char16_t* baseName, const char16_t* owner) noexcept {
    PathText name;
    name.AppendZ(baseName);
    if (OwnerPresent(owner)) name.AppendZ(owner);
    return name;
}

platform::MutexHandle OpenLogMutex(const char16_t* baseName, const char16_t* owner) noexcept {
    if (!OwnerNameAllowed(owner)) return {};
    PathText name = LogMutexName(baseName, owner);
    return platform::Current().OpenNamedMutex(name.c_str());
}

LogMutex::LogMutex(const char16_t* baseName, const char16_t* owner) noexcept
    : handle_(OpenLogMutex(baseName, owner)) {}

LogMutex::~LogMutex() {
    if (!handle_.valid()) return;
    Release();
    platform::Current().CloseMutex(handle_);
}

bool LogMutex::Wait(platform::WaitTime time) noexcept {
    if (!handle_.valid() || held_) return false;
    platform::WaitResult result = platform::Current().WaitMutex(handle_, time);
    if (result == platform::WaitResult::Abandoned) {
        platform::Current().ReleaseMutex(handle_);
        return false;
    }
    held_ = result == platform::WaitResult::Acquired;
    return held_;
}

void LogMutex::Release() noexcept {
    if (!held_) return;
    platform::Current().ReleaseMutex(handle_);
    held_ = false;
}

int FindOwnerLogFile(char16_t* path, std::size_t capacity) noexcept {
    if (path == nullptr || capacity == 0) return 0;
    std::u16string_view whole(path, TextLength(path));
    std::size_t nameStart = FileNameStart(whole);
    std::u16string_view wanted = whole.substr(nameStart);
    std::u16string_view directory = whole.substr(0, nameStart);

    PathText pattern(directory);
    pattern.Append(u'*');
    if (!pattern.Append(wanted)) return 0;

    platform::Platform& os = platform::Current();
    char16_t found[kPathChars];
    platform::SearchHandle search = os.FindFirst(pattern.c_str(), found, kPathChars);
    if (!search.valid()) return 0;
    PathText chosen;
    bool haveChosen = false;
    bool more = true;
    while (more) {
        std::u16string_view name(found, TextLength(found));
        Candidate kind = Classify(name, wanted, directory);
        if (kind == Candidate::Exact) {
            // The caller's spelling is kept where the file system ignores case.
            haveChosen = platform::kCaseSensitiveNames && name != wanted;
            if (haveChosen) chosen.Assign(name);
            break;
        }
        if (kind == Candidate::Prefixed && !haveChosen) {
            chosen.Assign(name);
            haveChosen = true;
        }
        more = os.FindNext(search, found, kPathChars);
    }
    os.FindClose(search);
    // Adopt the prefixed name only when the whole path still fits.
    if (haveChosen && nameStart + chosen.size() < capacity) {
        for (std::size_t i = 0; i <= chosen.size(); ++i) path[nameStart + i] = chosen.c_str()[i];
    }
    return 0;
}

int DiscardDamagedFile(const char16_t* path) noexcept {
    BoundedText<kPathChars + 8> discard;
    discard.AppendZ(path);
    discard.Append(u".old0");
    platform::Platform& os = platform::Current();
    char16_t* last = discard.data() + discard.size() - 1;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (os.MoveNoReplace(path, discard.c_str())) {
            os.RemoveFile(discard.c_str());
            return 1;
        }
        ++*last;
    }
    return 0;
}

}  // namespace actlog
