#include "files/log_files.h"

#include <cstring>

#include "files/owner_log.h"
#include "format/probed_text.h"
#include "frame/module.h"
#include "text/text_convert.h"

namespace actlog {
namespace {

constexpr char16_t kLogSuffix[] = u".activity.log";
constexpr char16_t kIndexSuffix[] = u".activity.idx";

// The longest fixed suffix of an owner's file (the rebuild file, or the carry mark) and the
// longest mutex base name bound how long an owner name may be.
constexpr std::size_t kLongestSuffix = sizeof(u".activity.idx.rex") / sizeof(char16_t) - 1;
constexpr std::size_t kLongestMutexBase = sizeof(kPruneMutexBase) / sizeof(char16_t) - 1;

}  // namespace

bool EqualNoCase(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (text::FoldCase(a[i]) != text::FoldCase(b[i])) return false;
    }
    return true;
}

format::SharedProbe OwnerProbe(const char16_t* owner) noexcept { return format::FirstStretchOf(owner, kPathChars); }

bool OwnerNameAllowed(const char16_t* owner, const format::SharedProbe* first) noexcept {
    // The caller's pointer is probed before anything reads it; a name that is
    // too long for any path is refused whether it is terminated or not.
    std::size_t length = format::ProbedTextLength(owner, kPathChars, first);
    if (length == format::kUnreadableText) return false;
    if (length == 0) return true;
    std::size_t n = 0;
    for (; n < length; ++n) {
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
        case LogFile::CarryMark: return u".activity.idx.car";
    }
    return kLogSuffix;
}

PathText ActivityPath(LogFile which, const char16_t* owner) noexcept { return OwnerFiles(owner).Path(which); }

PathText OwnerFiles::Path(LogFile which) noexcept {
    std::u16string_view directory = Module().logsDirectory.view();
    const char16_t* suffix = ActivitySuffix(which);
    const bool present = OwnerPresent(owner_);
    // Where names tell case apart, every file takes the spelling of the log.
    const bool lookUp = present && (which == LogFile::Log || platform::kCaseSensitiveNames);
    if (lookUp && !lookedUp_) {
        OwnerLogName found = LookUpOwnerLog(directory, std::u16string_view(owner_, TextLength(owner_)));
        log_ = found.log;
        spelling_ = found.spelling;
        lookedUp_ = true;
    }
    // One object returned on every path, so that it is built in place.
    PathText path;
    if (lookUp && which == LogFile::Log) {
        path = log_;
        return path;
    }
    path.Assign(directory);
    if (!present) {
        path.AppendZ(suffix + 1);  // the machine's names lack the leading '.'
    } else {
        path.Append(lookUp ? spelling_.view() : std::u16string_view(owner_, TextLength(owner_)));
        path.AppendZ(suffix);
    }
    return path;
}

PathText OwnerFiles::PlainLogPath() const noexcept {
    PathText path;
    if (OwnerPresent(owner_)) {
        path.Assign(Module().logsDirectory.view());
        if (!path.AppendZ(owner_) || !path.AppendZ(kLogSuffix)) path.Clear();
    }
    return path;
}

void OwnerFiles::FoundPlainLog(const PathText& log) noexcept {
    log_ = log;
    spelling_.Assign(std::u16string_view(owner_, TextLength(owner_)));
    lookedUp_ = true;
}

PathText LogMutexName(const char16_t* baseName, const char16_t* owner) noexcept {
    char16_t joined[kPathChars - 1];
    std::size_t n = TextLength(baseName);
    if (n > kPathChars - 1) n = kPathChars - 1;
    if (n != 0) std::memcpy(joined, baseName, n * sizeof(char16_t));
    // Folded, so that every spelling of an owner names one mutex; lower case
    // keeps the usual names as they are.
    if (OwnerPresent(owner)) {
        for (const char16_t* c = owner; *c != 0 && n < kPathChars - 1; ++c) joined[n++] = text::FoldLower(*c);
    }
    return PathText(std::u16string_view(joined, n));
}

platform::MutexHandle OpenLogMutex(const char16_t* baseName, const char16_t* owner) noexcept {
    if (!OwnerNameAllowed(owner)) {
        return platform::MutexHandle::Failed(Status::Fail(Code::InvalidArgument, Op::CheckArgument));
    }
    PathText name = LogMutexName(baseName, owner);
    return platform::Current().OpenNamedMutex(name.c_str());
}

LogMutex::LogMutex(const char16_t* baseName, const char16_t* owner) noexcept
    : handle_(OpenLogMutex(baseName, owner)) {}

LogMutex::LogMutex(const char16_t* baseName, CheckedOwner owner) noexcept
    : handle_(platform::Current().OpenNamedMutex(LogMutexName(baseName, owner.name).c_str())) {}

LogMutex::~LogMutex() {
    if (!handle_.valid()) return;
    Release();
    platform::Current().CloseMutex(handle_);
}

bool LogMutex::Wait(platform::WaitTime time) noexcept {
    if (!handle_.valid() || held_) return false;
    platform::WaitResult result = platform::Current().WaitMutex(handle_, time);
    if (result == platform::WaitResult::Abandoned) {
        // Given back at once; a release that fails leaves it to the close.
        platform::Current().ReleaseMutex(handle_).Ignore();
        return false;
    }
    held_ = result == platform::WaitResult::Acquired;
    return held_;
}

void LogMutex::Release() noexcept {
    if (!held_) return;
    // A lock that cannot be released goes with the descriptor or handle when
    // the mutex is closed, as it does when its holder dies.
    platform::Current().ReleaseMutex(handle_).Ignore();
    held_ = false;
}

Status DiscardDamagedFile(const char16_t* path) noexcept {
    BoundedText<kPathChars + 8> discard;
    discard.AppendZ(path);
    discard.Append(u".old0");
    platform::Platform& os = platform::Current();
    char16_t* last = discard.data() + discard.size() - 1;
    Status moved;
    for (int attempt = 0; attempt < 10; ++attempt) {
        moved = os.MoveNoReplace(path, discard.c_str());
        if (moved) {
            // The file is already out of the way; a discard name left behind
            // is swept with the next one.
            os.RemoveFile(discard.c_str()).Ignore();
            return moved;
        }
        ++*last;
    }
    return moved;
}

}  // namespace actlog
