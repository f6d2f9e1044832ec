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

}  // namespace

FaultInjectingPlatform::FaultInjectingPlatform(Platform& inner) : inner_(inner) {}

void FaultInjectingPlatform::FailNth(Op op, int n, bool fromThenOn) {
    std::lock_guard<std::mutex> guard(lock_);
    rules_[Index(op)] = Rule{n, fromThenOn, n > 0, false};
}

void FaultInjectingPlatform::FailWritePartially(int n, std::uint32_t bytesWritten) {
    std::lock_guard<std::mutex> guard(lock_);
    partialRule_ = Rule{n, false, n > 0, false};
    partialBytes_ = bytesWritten;
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
    std::lock_guard<std::mutex> guard(lock_);
    pathFilter_ = std::move(substring);
}

void FaultInjectingPlatform::CrashAfter(int n, std::uint32_t tornBytes) {
    std::lock_guard<std::mutex> guard(lock_);
    crashCountdown_ = n;
    crashCounted_ = 0;
    tornBytes_ = tornBytes;
}

void FaultInjectingPlatform::DiskFullAfter(std::uint64_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    diskRoom_ = static_cast<std::int64_t>(bytes);
}

FaultInjectingPlatform::Exempt::Exempt() { ++exemptDepth; }
FaultInjectingPlatform::Exempt::~Exempt() { --exemptDepth; }

int FaultInjectingPlatform::CrashCounted() const {
    std::lock_guard<std::mutex> guard(lock_);
    return crashCounted_;
}

void FaultInjectingPlatform::Disarm() {
    std::lock_guard<std::mutex> guard(lock_);
    crashCountdown_ = -1;
    diskRoom_ = -1;
    rules_ = {};
    hookRules_ = {};
    hooks_ = {};
    partialRule_ = {};
    waitRule_ = {};
    pathFilter_.clear();
}

int FaultInjectingPlatform::Calls(Op op) const {
    std::lock_guard<std::mutex> guard(lock_);
    return calls_[Index(op)];
}

void FaultInjectingPlatform::ResetCounters() {
    std::lock_guard<std::mutex> guard(lock_);
    calls_ = {};
}

void FaultInjectingPlatform::SetUtcTime(const LogSystemTime& time) {
    std::lock_guard<std::mutex> guard(lock_);
    utc_ = time;
}

void FaultInjectingPlatform::SetLocalTime(const LogSystemTime& time) {
    std::lock_guard<std::mutex> guard(lock_);
    local_ = time;
}

void FaultInjectingPlatform::SetLanguage(std::uint16_t languageId) {
    std::lock_guard<std::mutex> guard(lock_);
    language_ = languageId;
}

void FaultInjectingPlatform::ClearOverrides() {
    std::lock_guard<std::mutex> guard(lock_);
    utc_.reset();
    local_.reset();
    language_.reset();
}

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
    if (!pathFilter_.empty() && path.find(pathFilter_) == std::u16string::npos) return verdict;
    if (Step(hookRules_[Index(op)])) verdict.before = hooks_[Index(op)];
    verdict.fail = Step(rules_[Index(op)]);
    return verdict;
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
    Verdict v = Decide(Op::Open, Text(path));
    if (v.before) v.before();
    if (v.fail) return FileHandle::Failed(Injected(actlog::Op::Open));
    FileHandle file = inner_.OpenFile(path, access, disposition, share);
    if (file.valid()) Remember(file.value, kFile, path);
    return file;
}

actlog::Status FaultInjectingPlatform::FileSize(FileHandle file, std::uint64_t* size) {
    Verdict v = Decide(Op::Size, PathOf(file.value, kFile));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Size) : inner_.FileSize(file, size);
}

actlog::Status FaultInjectingPlatform::Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) {
    Verdict v = Decide(Op::Seek, PathOf(file.value, kFile));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Seek) : inner_.Seek(file, offset, from, position);
}

actlog::Status FaultInjectingPlatform::Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    Verdict v = Decide(Op::Read, PathOf(file.value, kFile));
    if (v.before) v.before();
    if (v.fail) {
        if (done != nullptr) *done = 0;
        return Injected(actlog::Op::Read);
    }
    return inner_.Read(file, buffer, count, done);
}

actlog::Status FaultInjectingPlatform::Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    std::u16string path = PathOf(file.value, kFile);
    Verdict v = Decide(Op::Write, path);
    bool partial = false;
    std::uint32_t partialBytes = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (pathFilter_.empty() || path.find(pathFilter_) != std::u16string::npos) {
            partial = Step(partialRule_);
            partialBytes = partialBytes_;
        }
    }
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
    if (v.fail) {
        std::uint32_t wrote = 0;
        // The torn part is what the failure leaves; its own result does not matter.
        if (v.tornBytes > 0) inner_.Write(file, buffer, v.tornBytes < count ? v.tornBytes : count, &wrote).Ignore();
        if (done != nullptr) *done = wrote;
        return Injected(actlog::Op::Write);
    }
    if (partial) {
        std::uint32_t part = partialBytes < count ? partialBytes : count;
        std::uint32_t wrote = 0;
        if (part > 0) inner_.Write(file, buffer, part, &wrote).Ignore();  // as above
        if (done != nullptr) *done = wrote;
        return actlog::Status::Fail(actlog::Code::NoSpace, actlog::Op::Write);
    }
    return inner_.Write(file, buffer, count, done);
}

actlog::Status FaultInjectingPlatform::SetEndOfFile(FileHandle file) {
    Verdict v = Decide(Op::SetEnd, PathOf(file.value, kFile));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Truncate) : inner_.SetEndOfFile(file);
}

void FaultInjectingPlatform::CloseFile(FileHandle file) {
    if (file.valid()) Forget(file.value, kFile);
    inner_.CloseFile(file);
}

// ---- names ----

actlog::Status FaultInjectingPlatform::MoveNoReplace(const char16_t* from, const char16_t* to) {
    Verdict v = Decide(Op::Move, Text(from) + u"|" + Text(to));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Move) : inner_.MoveNoReplace(from, to);
}

actlog::Status FaultInjectingPlatform::RemoveFile(const char16_t* path) {
    Verdict v = Decide(Op::Delete, Text(path));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Remove) : inner_.RemoveFile(path);
}

actlog::Status FaultInjectingPlatform::Exists(const char16_t* path) {
    Verdict v = Decide(Op::Exists, Text(path));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Probe) : inner_.Exists(path);
}

actlog::Status FaultInjectingPlatform::MakeDirectory(const char16_t* path) {
    Verdict v = Decide(Op::MakeDir, Text(path));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::MakeDirectory) : inner_.MakeDirectory(path);
}

SearchHandle FaultInjectingPlatform::FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) {
    Verdict v = Decide(Op::FindFirst, Text(pattern));
    if (v.before) v.before();
    if (v.fail) return SearchHandle::Failed(Injected(actlog::Op::Find));
    return inner_.FindFirst(pattern, name, capacity);
}

actlog::Status FaultInjectingPlatform::FindNext(SearchHandle search, char16_t* name, std::size_t capacity) {
    Verdict v = Decide(Op::FindNext, std::u16string());
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::Find) : inner_.FindNext(search, name, capacity);
}

void FaultInjectingPlatform::FindClose(SearchHandle search) { inner_.FindClose(search); }

// ---- mutexes ----

MutexHandle FaultInjectingPlatform::OpenNamedMutex(const char16_t* name) {
    Verdict v = Decide(Op::MutexOpen, Text(name));
    if (v.before) v.before();
    if (v.fail) return MutexHandle::Failed(Injected(actlog::Op::LockMutex));
    MutexHandle mutex = inner_.OpenNamedMutex(name);
    if (mutex.valid()) Remember(mutex.value, kMutex, name);
    return mutex;
}

WaitResult FaultInjectingPlatform::WaitMutex(MutexHandle mutex, WaitTime time) {
    std::u16string name = PathOf(mutex.value, kMutex);
    Verdict v = Decide(Op::MutexWait, name);
    bool overridden = false;
    WaitResult result = WaitResult::Acquired;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (pathFilter_.empty() || name.find(pathFilter_) != std::u16string::npos) {
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
    Verdict v = Decide(Op::MutexRelease, PathOf(mutex.value, kMutex));
    if (v.before) v.before();
    return v.fail ? Injected(actlog::Op::LockMutex) : inner_.ReleaseMutex(mutex);
}

void FaultInjectingPlatform::CloseMutex(MutexHandle mutex) {
    if (mutex.valid()) Forget(mutex.value, kMutex);
    inner_.CloseMutex(mutex);
}

void FaultInjectingPlatform::SetMutexDirectory(const char16_t* directory) { inner_.SetMutexDirectory(directory); }

// ---- time, module, language ----

LogSystemTime FaultInjectingPlatform::SystemTimeUtc() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (utc_) return *utc_;
    }
    return inner_.SystemTimeUtc();
}

LogSystemTime FaultInjectingPlatform::LocalTime() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (local_) return *local_;
    }
    return inner_.LocalTime();
}

std::size_t FaultInjectingPlatform::ModulePath(char16_t* buffer, std::size_t capacity) {
    Verdict v = Decide(Op::ModulePath, std::u16string());
    if (v.before) v.before();
    if (v.fail) {
        if (buffer != nullptr && capacity > 0) buffer[0] = 0;
        return 0;
    }
    return inner_.ModulePath(buffer, capacity);
}

std::uint16_t FaultInjectingPlatform::SystemDefaultLanguage() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (language_) return *language_;
    }
    return inner_.SystemDefaultLanguage();
}

// ---- string resources ----

LibraryHandle FaultInjectingPlatform::LoadMessageLibrary(const char16_t* path) {
    Verdict v = Decide(Op::LoadLibrary, Text(path));
    if (v.before) v.before();
    if (v.fail) return LibraryHandle::Failed(Injected(actlog::Op::LoadMessage));
    LibraryHandle library = inner_.LoadMessageLibrary(path);
    if (library.valid()) Remember(library.value, kLibrary, path);
    return library;
}

int FaultInjectingPlatform::LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) {
    Verdict v = Decide(Op::LoadString, PathOf(library.value, kLibrary));
    if (v.before) v.before();
    if (v.fail) {
        if (buffer != nullptr && size > 0) buffer[0] = 0;
        return 0;
    }
    return inner_.LoadStringWide(library, id, buffer, size);
}

int FaultInjectingPlatform::LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) {
    Verdict v = Decide(Op::LoadString, PathOf(library.value, kLibrary));
    if (v.before) v.before();
    if (v.fail) {
        if (buffer != nullptr && size > 0) buffer[0] = 0;
        return 0;
    }
    return inner_.LoadStringNarrow(library, id, buffer, size);
}

// ---- memory ----

void* FaultInjectingPlatform::Allocate(std::size_t bytes) {
    Verdict v = Decide(Op::Allocate, std::u16string());
    if (v.before) v.before();
    return v.fail ? nullptr : inner_.Allocate(bytes);
}

void FaultInjectingPlatform::Free(void* block) { inner_.Free(block); }

bool FaultInjectingPlatform::CanRead(const void* address, std::size_t bytes) {
    Verdict v = Decide(Op::CanRead, std::u16string());
    if (v.before) v.before();
    return !v.fail && inner_.CanRead(address, bytes);
}

std::size_t FaultInjectingPlatform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    return inner_.NarrowFromWide(text, out, capacity);
}

// ---- installation ----

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(&Current()) { Install(&platform); }

ScopedPlatform::~ScopedPlatform() { Install(previous_ == &Native() ? nullptr : previous_); }

}  // namespace testsupport
