#include "support/fault_platform.h"

#include <cstring>

namespace testsupport {

using namespace actlog::platform;
using Op = FaultInjectingPlatform::Op;

namespace {

enum Kind { kFile, kMutex, kLibrary };

std::size_t Index(Op op) { return static_cast<std::size_t>(op); }

std::u16string Text(const char16_t* text) { return text != nullptr ? std::u16string(text) : std::u16string(); }

thread_local int exemptDepth = 0;

// File and name operations: the ones a crash stops.
bool Stoppable(Op op) { return op <= Op::FindNext; }

// An injected failure: an I/O error of the operation, as a real device gives.
actlog::Status Injected(actlog::Op op) { return actlog::Status::Fail(actlog::Code::Io, op); }

// A failed string or path load: an empty buffer and no characters.
template <typename Char, typename Size>
Size Emptied(Char* buffer, Size capacity) {
    if (buffer != nullptr && capacity > 0) buffer[0] = 0;
    return 0;
}

}  // namespace

FaultInjectingPlatform::FaultInjectingPlatform(Platform& inner) : inner_(inner) {}

void FaultInjectingPlatform::FailNth(Op op, int n, bool fromThenOn) {
    Locked([&] { rules_[Index(op)] = Rule{n, fromThenOn, n > 0, false}; });
}

void FaultInjectingPlatform::OverrideWait(int n, WaitResult result, bool fromThenOn) {
    std::lock_guard<std::mutex> guard(lock_);
    waitRule_ = Rule{n, fromThenOn, n > 0, false};
    waitResult_ = result;
}

void FaultInjectingPlatform::RunBeforeNth(Op op, int n, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(lock_);
    hookRules_[Index(op)] = Rule{n, false, n > 0, false};
    hooks_[Index(op)] = std::move(action);
}

void FaultInjectingPlatform::FailOnlyPaths(std::u16string substring) {
    Locked([&] { pathFilter_ = std::move(substring); });
}

void FaultInjectingPlatform::CrashAfter(int n, std::uint32_t tornBytes) {
    std::lock_guard<std::mutex> guard(lock_);
    crashCountdown_ = n;
    crashCounted_ = 0;
    tornBytes_ = tornBytes;
}

void FaultInjectingPlatform::DiskFullAfter(std::uint64_t bytes) {
    Locked([&] { diskRoom_ = static_cast<std::int64_t>(bytes); });
}

FaultInjectingPlatform::Exempt::Exempt() { ++exemptDepth; }
FaultInjectingPlatform::Exempt::~Exempt() { --exemptDepth; }

int FaultInjectingPlatform::CrashCounted() const { return Locked([&] { return crashCounted_; }); }

void FaultInjectingPlatform::Disarm() {
    std::lock_guard<std::mutex> guard(lock_);
    crashCountdown_ = -1;
    diskRoom_ = -1;
    rules_ = {};
    hookRules_ = {};
    hooks_ = {};
    waitRule_ = {};
    pathFilter_.clear();
}

int FaultInjectingPlatform::Calls(Op op) const { return Locked([&] { return calls_[Index(op)]; }); }

void FaultInjectingPlatform::ResetCounters() { Locked([&] { calls_ = {}; }); }

void FaultInjectingPlatform::SetUtcTime(const LogSystemTime& time) { Locked([&] { utc_ = time; }); }

void FaultInjectingPlatform::SetLocalTime(const LogSystemTime& time) { Locked([&] { local_ = time; }); }

void FaultInjectingPlatform::SetLanguage(std::uint16_t languageId) { Locked([&] { language_ = languageId; }); }

// True when this call is the one the rule fails.
bool FaultInjectingPlatform::Step(Rule& rule) {
    if (!rule.armed) return false;
    if (rule.sticky) return true;
    if (--rule.countdown > 0) return false;
    if (rule.fromThenOn) {
        rule.sticky = true;
    } else {
        rule.armed = false;
    }
    return true;
}

FaultInjectingPlatform::Verdict FaultInjectingPlatform::Decide(Op op, const std::u16string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    Verdict verdict;
    if (exemptDepth > 0) return verdict;
    ++calls_[Index(op)];
    if (crashCountdown_ >= 0 && Stoppable(op)) {
        ++crashCounted_;
        if (crashCountdown_ == 0) {
            verdict.fail = true;
            if (op == Op::Write) verdict.tornBytes = tornBytes_;
            tornBytes_ = 0;
            return verdict;
        }
        --crashCountdown_;
    }
    if (!Filtered(path)) return verdict;
    if (Step(hookRules_[Index(op)])) verdict.before = hooks_[Index(op)];
    verdict.fail = Step(rules_[Index(op)]);
    return verdict;
}

bool FaultInjectingPlatform::Filtered(const std::u16string& path) const {
    return pathFilter_.empty() || path.find(pathFilter_) != std::u16string::npos;
}

bool FaultInjectingPlatform::Fails(Op op, const std::u16string& path) {
    Verdict verdict = Decide(op, path);
    if (verdict.before) verdict.before();
    return verdict.fail;
}

std::u16string FaultInjectingPlatform::PathOf(std::intptr_t key, int kind) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = paths_.find({kind, key});
    return found != paths_.end() ? found->second : std::u16string();
}

void FaultInjectingPlatform::Remember(std::intptr_t key, int kind, const char16_t* path) {
    std::lock_guard<std::mutex> guard(lock_);
    paths_[{kind, key}] = Text(path);
}

void FaultInjectingPlatform::Forget(std::intptr_t key, int kind) {
    std::lock_guard<std::mutex> guard(lock_);
    paths_.erase({kind, key});
}

// ---- files ----

FileHandle FaultInjectingPlatform::OpenFile(const char16_t* path, Access access, Disposition disposition,
                                            Share share) {
    if (Fails(Op::Open, Text(path))) return FileHandle::Failed(Injected(actlog::Op::Open));
    return Remembered(inner_.OpenFile(path, access, disposition, share), kFile, path);
}

actlog::Status FaultInjectingPlatform::FileSize(FileHandle file, std::uint64_t* size) {
    return Fails(Op::Size, PathOf(file.value, kFile)) ? Injected(actlog::Op::Size) : inner_.FileSize(file, size);
}

actlog::Status FaultInjectingPlatform::Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) {
    if (Fails(Op::Seek, PathOf(file.value, kFile))) return Injected(actlog::Op::Seek);
    return inner_.Seek(file, offset, from, position);
}

actlog::Status FaultInjectingPlatform::Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (!Fails(Op::Read, PathOf(file.value, kFile))) return inner_.Read(file, buffer, count, done);
    if (done != nullptr) *done = 0;
    return Injected(actlog::Op::Read);
}

actlog::Status FaultInjectingPlatform::Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    std::u16string path = PathOf(file.value, kFile);
    Verdict v = Decide(Op::Write, path);
    bool partial = false;
    std::uint32_t partialBytes = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (diskRoom_ >= 0 && exemptDepth == 0 && !v.fail) {
            if (diskRoom_ < count) {
                partial = true;
                partialBytes = static_cast<std::uint32_t>(diskRoom_);
                diskRoom_ = 0;
            } else {
                diskRoom_ -= count;
            }
        }
    }
    if (v.before) v.before();
    if (!v.fail && !partial) return inner_.Write(file, buffer, count, done);
    // A crash may tear the write; a full disk takes what fits. What they
    // wrote stays; the result of writing it does not matter.
    std::uint32_t part = v.fail ? v.tornBytes : partialBytes;
    std::uint32_t wrote = 0;
    if (part > 0) inner_.Write(file, buffer, part < count ? part : count, &wrote).Ignore();
    if (done != nullptr) *done = wrote;
    return v.fail ? Injected(actlog::Op::Write) : actlog::Status::Fail(actlog::Code::NoSpace, actlog::Op::Write);
}

actlog::Status FaultInjectingPlatform::SetEndOfFile(FileHandle file) {
    return Fails(Op::SetEnd, PathOf(file.value, kFile)) ? Injected(actlog::Op::Truncate) : inner_.SetEndOfFile(file);
}

void FaultInjectingPlatform::CloseFile(FileHandle file) {
    if (file.valid()) Forget(file.value, kFile);
    inner_.CloseFile(file);
}

// ---- names ----

actlog::Status FaultInjectingPlatform::MoveNoReplace(const char16_t* from, const char16_t* to) {
    return Fails(Op::Move, Text(from) + u"|" + Text(to)) ? Injected(actlog::Op::Move) : inner_.MoveNoReplace(from, to);
}

actlog::Status FaultInjectingPlatform::RemoveFile(const char16_t* path) {
    return Fails(Op::Delete, Text(path)) ? Injected(actlog::Op::Remove) : inner_.RemoveFile(path);
}

actlog::Status FaultInjectingPlatform::Exists(const char16_t* path) {
    return Fails(Op::Exists, Text(path)) ? Injected(actlog::Op::Probe) : inner_.Exists(path);
}

actlog::Status FaultInjectingPlatform::MakeDirectory(const char16_t* path) {
    return Fails(Op::MakeDir, Text(path)) ? Injected(actlog::Op::MakeDirectory) : inner_.MakeDirectory(path);
}

SearchHandle FaultInjectingPlatform::FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) {
    if (Fails(Op::FindFirst, Text(pattern))) return SearchHandle::Failed(Injected(actlog::Op::Find));
    return inner_.FindFirst(pattern, name, capacity);
}

actlog::Status FaultInjectingPlatform::FindNext(SearchHandle search, char16_t* name, std::size_t capacity) {
    return Fails(Op::FindNext, std::u16string()) ? Injected(actlog::Op::Find) : inner_.FindNext(search, name, capacity);
}

void FaultInjectingPlatform::FindClose(SearchHandle search) { inner_.FindClose(search); }

// ---- mutexes ----

MutexHandle FaultInjectingPlatform::OpenNamedMutex(const char16_t* name) {
    if (Fails(Op::MutexOpen, Text(name))) return MutexHandle::Failed(Injected(actlog::Op::LockMutex));
    return Remembered(inner_.OpenNamedMutex(name), kMutex, name);
}

WaitResult FaultInjectingPlatform::WaitMutex(MutexHandle mutex, WaitTime time) {
    std::u16string name = PathOf(mutex.value, kMutex);
    Verdict v = Decide(Op::MutexWait, name);
    bool overridden = false;
    WaitResult result = WaitResult::Acquired;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (Filtered(name)) {
            overridden = Step(waitRule_);
            result = waitResult_;
        }
    }
    if (v.before) v.before();
    if (v.fail) return WaitResult::Failed;
    if (!overridden) return inner_.WaitMutex(mutex, time);
    if (result == WaitResult::Abandoned || result == WaitResult::Acquired) {
        WaitResult real = inner_.WaitMutex(mutex, time);
        return real == WaitResult::Acquired ? result : real;
    }
    return result;
}

actlog::Status FaultInjectingPlatform::ReleaseMutex(MutexHandle mutex) {
    if (Fails(Op::MutexRelease, PathOf(mutex.value, kMutex))) return Injected(actlog::Op::LockMutex);
    return inner_.ReleaseMutex(mutex);
}

void FaultInjectingPlatform::CloseMutex(MutexHandle mutex) {
    if (mutex.valid()) Forget(mutex.value, kMutex);
    inner_.CloseMutex(mutex);
}

void FaultInjectingPlatform::SetMutexDirectory(const char16_t* directory) { inner_.SetMutexDirectory(directory); }

// ---- time, module, language ----

LogSystemTime FaultInjectingPlatform::SystemTimeUtc() { return Fixed(utc_, [this] { return inner_.SystemTimeUtc(); }); }

LogSystemTime FaultInjectingPlatform::LocalTime() { return Fixed(local_, [this] { return inner_.LocalTime(); }); }

std::size_t FaultInjectingPlatform::ModulePath(char16_t* buffer, std::size_t capacity) {
    return Fails(Op::ModulePath, std::u16string()) ? Emptied(buffer, capacity) : inner_.ModulePath(buffer, capacity);
}

std::uint16_t FaultInjectingPlatform::SystemDefaultLanguage() {
    return Fixed(language_, [this] { return inner_.SystemDefaultLanguage(); });
}

// ---- string resources ----

LibraryHandle FaultInjectingPlatform::LoadMessageLibrary(const char16_t* path) {
    if (Fails(Op::LoadLibrary, Text(path))) return LibraryHandle::Failed(Injected(actlog::Op::LoadMessage));
    return Remembered(inner_.LoadMessageLibrary(path), kLibrary, path);
}

int FaultInjectingPlatform::LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) {
    if (Fails(Op::LoadString, PathOf(library.value, kLibrary))) return Emptied(buffer, size);
    return inner_.LoadStringWide(library, id, buffer, size);
}

int FaultInjectingPlatform::LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) {
    if (Fails(Op::LoadString, PathOf(library.value, kLibrary))) return Emptied(buffer, size);
    return inner_.LoadStringNarrow(library, id, buffer, size);
}

// ---- memory ----

void* FaultInjectingPlatform::Allocate(std::size_t bytes) {
    return Fails(Op::Allocate, std::u16string()) ? nullptr : inner_.Allocate(bytes);
}

void FaultInjectingPlatform::Free(void* block) { inner_.Free(block); }

bool FaultInjectingPlatform::CanRead(const void* address, std::size_t bytes) {
    return !Fails(Op::CanRead, std::u16string()) && inner_.CanRead(address, bytes);
}

std::size_t FaultInjectingPlatform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    return inner_.NarrowFromWide(text, out, capacity);
}

#ifdef _WIN32
std::size_t FaultInjectingPlatform::WideFromNarrow(const char* bytes, std::size_t count, char16_t* out,
                                                  std::size_t capacity) {
    return inner_.WideFromNarrow(bytes, count, out, capacity);
}
#endif

// ---- installation ----

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(&Current()) { Install(&platform); }

ScopedPlatform::~ScopedPlatform() { Install(previous_ == &Native() ? nullptr : previous_); }

}  // namespace testsupport
