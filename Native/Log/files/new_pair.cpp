#include "files/new_pair.h"

#include <initializer_list>

#include "files/file_io.h"
#include "files/owner_log.h"
#include "files/pair_tail.h"
#include "frame/module.h"

namespace actlog {
namespace {

using platform::Access;
using platform::Disposition;

// What a look at a name found. Recovery acts only on what it knows: where the
// OS cannot tell whether a file is there, it changes nothing and leaves the
// files for the next call, and the search for leftovers counts the name as one.
enum class Presence { There, Absent, Unknown };

Presence Probe(const char16_t* path) noexcept {
    Status found = platform::Current().Exists(path);
    if (found) return Presence::There;
    return found.code() == Code::NotFound ? Presence::Absent : Presence::Unknown;
}

// "<path>.oldN"; empty for an empty path (a log name another owner claims).
void NameOld(BackupName& name, const PathText& path, char16_t digit) noexcept {
    name.Clear();
    if (path.empty()) return;
    name.Append(path.view());
    name.Append(u".old");
    name.Append(digit);
}

// Moves a main file aside to its first free ".oldN" name.
Status MoveAside(const PathText& path, BackupName* backup) noexcept {
    Status moved;
    for (char16_t digit = u'0'; digit <= u'9'; ++digit) {
        NameOld(*backup, path, digit);
        moved = platform::Current().MoveNoReplace(path.c_str(), backup->c_str());
        if (moved) return moved;
    }
    backup->Clear();
    return moved;
}

// Puts a main file back from ".old0" when it is missing.
void RestoreFromOld0(const PathText& path) noexcept {
    if (path.empty() || Probe(path.c_str()) != Presence::Absent) return;
    BackupName old;
    NameOld(old, path, u'0');
    // Best effort: a backup that cannot move back stays for the next recovery.
    if (Probe(old.c_str()) != Presence::Absent) platform::Current().MoveNoReplace(old.c_str(), path.c_str()).Ignore();
}

void RemoveOlds(const PathText& path) noexcept {
    if (path.empty()) return;
    BackupName old;
    for (char16_t digit = u'0'; digit <= u'9'; ++digit) {
        NameOld(old, path, digit);
        // A backup that stays is removed by a later recovery.
        if (Probe(old.c_str()) != Presence::Absent) platform::Current().RemoveFile(old.c_str()).Ignore();
    }
}

bool ReadEntry(platform::FileHandle index, std::uint32_t slot, std::uint32_t* entry) noexcept {
    unsigned char bytes[4];
    if (!ReadAt(index, std::uint64_t{slot} * 4, bytes, 4)) return false;
    *entry = LoadLe32(bytes);
    return true;
}

// Opens the main pair and gives its index one entry per record of its log,
// creating the index when there is none.
bool OpenReindexed(const PairPaths& paths, ScopedFile* log, ScopedFile* index, PairEnds* ends) noexcept {
    *log = ScopedFile::Open(paths.log.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    *index = ScopedFile::Open(paths.index.c_str(), Access::ReadWrite, Disposition::OpenAlways);
    if (!log->valid() || !index->valid()) return false;
    *ends = PairEnds{log->get(), index->get()};
    return ReindexWhole(*ends);
}

// Rebuilds the main index (the new log has just taken the main log's place
// and its index could not follow).
void ReindexMain(const PairPaths& paths) noexcept {
    ScopedFile log, index;
    PairEnds ends;
    OpenReindexed(paths, &log, &index, &ends);
}

// Opens a pair for reading and writing and repairs its tail; OnDamage::Reindex
// rebuilds a damaged index instead of giving up.
bool OpenRepaired(const PathText& log, const PathText& index, OnDamage onDamage, ScopedFile* logFile,
                  ScopedFile* indexFile, PairEnds* ends) noexcept {
    *logFile = ScopedFile::Open(log.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    *indexFile = ScopedFile::Open(index.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    if (!logFile->valid() || !indexFile->valid()) return false;
    *ends = PairEnds{logFile->get(), indexFile->get()};
    TailState state = RepairTail(*ends);
    if (state == TailState::Damaged && onDamage == OnDamage::Reindex) return ReindexWhole(*ends);
    return state == TailState::Sound;
}

// What the new index says of its front: slots never filled are zero; the
// front's last slot holds its end S from the start.
struct Front {
    bool filled = false;
    std::uint32_t entries = 0;  // front slots (surviving entries)
    std::uint32_t bytes = 0;    // S
};

bool ReadFront(const PairEnds& pair, Front* front) noexcept {
    std::uint32_t slots = pair.indexEnd / 4;
    if (slots == 0) {
        front->filled = true;
        return true;
    }
    ScopedBlock chunk(kChunkBytes);
    if (!chunk.valid()) return false;
    std::int64_t lastZero = -1;
    for (std::uint32_t done = 0; done < pair.indexEnd;) {
        std::uint32_t count = pair.indexEnd - done < kChunkBytes ? pair.indexEnd - done : kChunkBytes;
        if (!ReadAt(pair.index, done, chunk.bytes(), count)) return false;
        for (std::uint32_t i = 0; i < count; i += 4) {
            if (LoadLe32(chunk.bytes() + i) == 0) lastZero = (done + i) / 4;
        }
        done += count;
    }
    if (static_cast<std::uint32_t>(lastZero + 1) == slots) {
        // No front end recorded, so nothing was appended either.
        front->entries = slots;
        front->bytes = pair.logEnd;
        return true;
    }
    if (lastZero >= 0) {
        front->entries = static_cast<std::uint32_t>(lastZero) + 2;
        return ReadEntry(pair.index, front->entries - 1, &front->bytes);
    }
    // No zero slot: filled unless the log part was still being copied, which
    // leaves the first record without its line end (a one-entry front).
    std::uint32_t first = 0;
    unsigned char end[4];
    if (!ReadEntry(pair.index, 0, &first)) return false;
    front->filled = first >= 4 && ReadAt(pair.log, first - 4, end, 4) && end[0] == 0x0D && end[1] == 0 &&
                    end[2] == 0x0A && end[3] == 0;
    front->entries = 1;
    front->bytes = first;
    return true;
}

// Fills an unfilled front again from the main pair, which no append touches
// while the new pair exists. False when the main pair does not match it.
bool Refill(const PairPaths& paths, const Front& front) noexcept {
    ScopedFile index = ScopedFile::Open(paths.index.c_str(), Access::Read, Disposition::OpenExisting);
    ScopedFile log = ScopedFile::Open(paths.log.c_str(), Access::Read, Disposition::OpenExisting);
    PruneMeasures m;
    if (!index.valid() || !log.valid() || !FileSize32(index.get(), &m.indexSize) ||
        !FileSize32(log.get(), &m.logSize) || m.indexSize % 4 != 0 || m.indexSize / 4 <= front.entries) {
        return false;
    }
    m.count = m.indexSize / 4 - front.entries;
    if (!ReadEntry(index.get(), m.count - 1, &m.cutOffset) || m.cutOffset > m.logSize ||
        m.surviving() != front.bytes) {
        return false;
    }
    return static_cast<bool>(FillFronts(paths, m));
}

// The records appended to a new pair behind its front: the bytes from
// `start` and the entries from slot `firstSlot`.
struct Carried {
    PairEnds pair;
    std::uint32_t start = 0;
    std::uint32_t firstSlot = 0;
    std::uint32_t count() const noexcept {
        return pair.indexEnd / 4 > firstSlot ? pair.indexEnd / 4 - firstSlot : 0;
    }
};

// Opens the new pair, repairs its tail and finds its carried records.
bool OpenCarried(const PairPaths& paths, std::uint32_t surviving, std::uint32_t survivingEntries, ScopedFile* log,
                 ScopedFile* index, Carried* carried) noexcept {
    if (!OpenRepaired(paths.newLog, paths.newIndex, OnDamage::Fail, log, index, &carried->pair)) return false;
    carried->start = surviving;
    carried->firstSlot = survivingEntries;
    return surviving != 0 || FirstRecordStart(carried->pair.log, carried->pair.logEnd, &carried->start);
}

// Whether `count` bytes at `a` in one file equal those at `b` in another. Read
// in small steps: most candidates differ within their first record.
bool SameBytes(platform::FileHandle one, std::uint32_t a, platform::FileHandle other, std::uint32_t b,
               std::uint32_t count, bool* same) noexcept {
    constexpr std::uint32_t kStep = 4096;
    unsigned char left[kStep];
    unsigned char right[kStep];
    *same = false;
    for (std::uint32_t done = 0; done < count;) {
        std::uint32_t step = count - done < kStep ? count - done : kStep;
        if (!ReadAt(one, a + done, left, step) || !ReadAt(other, b + done, right, step)) return false;
        for (std::uint32_t i = 0; i < step; ++i) {
            if (left[i] != right[i]) return true;
        }
        done += step;
    }
    *same = true;
    return true;
}

// Where a carry-back begins: the main pair's ends just before its first copy,
// and a check word, so that a zero-filled mark is not taken for one.
struct CarryMark {
    std::uint32_t logEnd = 0;
    std::uint32_t indexEnd = 0;
};
constexpr std::uint32_t kMarkBytes = 12;
constexpr std::uint32_t kMarkCheck = 0x4B52414Du;

// Whole: a carry-back began at the marked ends. None: no copy has begun (no
// mark, or one torn while it was written).
enum class MarkState { Whole, None, Unknown };

MarkState ReadMark(const PairPaths& paths, CarryMark* mark) noexcept {
    const Presence found = Probe(paths.mark.c_str());
    if (found != Presence::There) return found == Presence::Absent ? MarkState::None : MarkState::Unknown;
    ScopedFile file = ScopedFile::Open(paths.mark.c_str(), Access::Read, Disposition::OpenExisting);
    std::uint32_t size = 0;
    unsigned char bytes[kMarkBytes];
    if (!file.valid() || !FileSize32(file.get(), &size)) return MarkState::Unknown;
    if (size != kMarkBytes) return MarkState::None;
    if (!ReadAt(file.get(), 0, bytes, kMarkBytes)) return MarkState::Unknown;
    mark->logEnd = LoadLe32(bytes);
    mark->indexEnd = LoadLe32(bytes + 4);
    const bool whole = LoadLe32(bytes + 8) == (mark->logEnd ^ mark->indexEnd ^ kMarkCheck) && mark->indexEnd % 4 == 0;
    return whole ? MarkState::Whole : MarkState::None;
}

bool WriteMark(const PairPaths& paths, const PairEnds& main) noexcept {
    unsigned char bytes[kMarkBytes];
    StoreLe32(main.logEnd, bytes);
    StoreLe32(main.indexEnd, bytes + 4);
    StoreLe32(main.logEnd ^ main.indexEnd ^ kMarkCheck, bytes + 8);
    ScopedFile file = ScopedFile::Open(paths.mark.c_str(), Access::Write, Disposition::CreateAlways);
    return file.valid() && WriteAt(file.get(), 0, bytes, kMarkBytes);
}

// How many carried records a carry-back that died left in the main pair. It
// copied them to the marked ends, so carried record k lies there at the same
// distance from the mark as from the carried start: counted up to the first
// whose entry or bytes differ. `*from` and `*to` move from the carried start
// and the marked log end to the ends of the records counted.
bool CarriedAlready(const Carried& carried, const PairEnds& main, const CarryMark& mark, std::uint32_t* k,
                    std::uint32_t* from, std::uint32_t* to) noexcept {
    *k = 0;
    *from = carried.start;
    *to = mark.logEnd;
    for (; *k < carried.count() && mark.indexEnd + 4 * (*k + 1) <= main.indexEnd; ++*k) {
        std::uint32_t end = 0;
        std::uint32_t mainEnd = 0;
        if (!ReadEntry(carried.pair.index, carried.firstSlot + *k, &end) ||
            !ReadEntry(main.index, mark.indexEnd / 4 + *k, &mainEnd)) {
            return false;
        }
        if (end < *from || mainEnd < *to || mainEnd > main.logEnd || mainEnd - *to != end - *from) return true;
        bool same = false;
        if (!SameBytes(main.log, *to, carried.pair.log, *from, end - *from, &same)) return false;
        if (!same) return true;
        *from = end;
        *to = mainEnd;
    }
    return true;
}

// Whether the preparation died before the new index recorded the front's
// end (FrontOf). Nothing can have been appended then.
bool PreparationDied(const PairPaths& paths) noexcept {
    ScopedFile log = ScopedFile::Open(paths.newLog.c_str(), Access::Read, Disposition::OpenExisting);
    ScopedFile index = ScopedFile::Open(paths.newIndex.c_str(), Access::Read, Disposition::OpenExisting);
    return log.valid() && index.valid() && FrontOf(log.get(), index.get()) == FrontState::Unrecorded;
}

// Copies the carried records to the end of the main pair (`to`, sound). The
// carry mark, written before anything is copied, tells a later call which
// records a call that died copied already. Where a call can die:
//   - before the mark is whole: nothing was copied, the mark is written again;
//   - after it, anywhere in the copy: the whole records at their places behind
//     the marked ends are kept, what follows them is cut, the rest copied;
//   - after the copy: every record is found in place and none copied again.
bool CopyCarried(const PairPaths& paths, const Carried& from, PairEnds to) noexcept {
    CarryMark mark;
    const MarkState state = ReadMark(paths, &mark);
    if (state == MarkState::Unknown) return false;
    std::uint32_t done = 0;
    std::uint32_t start = from.start;
    if (state == MarkState::Whole && mark.logEnd <= to.logEnd && mark.indexEnd <= to.indexEnd) {
        // The index is cut first: a log longer than its index is repaired.
        std::uint32_t end = 0;
        if (!CarriedAlready(from, to, mark, &done, &start, &end)) return false;
        to.logEnd = end;
        to.indexEnd = mark.indexEnd + 4 * done;
        if (!CutTo(to.index, to.indexEnd) || !CutTo(to.log, to.logEnd)) return false;
    } else if (!WriteMark(paths, to)) {
        // No whole mark within the main pair: nothing was copied. A torn mark
        // that stays reads as none.
        platform::Current().RemoveFile(paths.mark.c_str()).Ignore();
        return false;
    }
    if (from.pair.logEnd > start) {
        std::uint32_t bytes = from.pair.logEnd - start;
        std::uint32_t copied = 0;
        if (std::uint64_t{to.logEnd} + bytes > 0xFFFFFFFEu ||
            !platform::Current().CopyRange(from.pair.log, start, to.log, to.logEnd, bytes, &copied) ||
            copied != bytes) {
            CutTo(to.log, to.logEnd).Ignore();  // what stays is cut by the next tail check
            return false;
        }
    }
    ScopedBlock chunk(kChunkBytes);
    if (!chunk.valid()) return false;
    const std::uint32_t end = from.pair.indexEnd;
    for (std::uint64_t at = std::uint64_t{from.firstSlot + done} * 4; at < end;) {
        std::uint32_t count = static_cast<std::uint32_t>(end - at < kChunkBytes ? end - at : kChunkBytes);
        if (!ReadAt(from.pair.index, at, chunk.bytes(), count)) return false;
        for (std::uint32_t i = 0; i < count; i += 4) {
            StoreLe32(LoadLe32(chunk.bytes() + i) - start + to.logEnd, chunk.bytes() + i);
        }
        if (!WriteOrCutBack(to.index, to.indexEnd, chunk.bytes(), count)) return false;
        to.indexEnd += count;
        at += count;
    }
    return true;
}

// The records appended to the new pair go to the end of the main pair, then
// the new pair goes; see CarryBackAndDrop. Every step can be repeated: the main
// pair is indexed first, so that its tail check cuts a torn part-copy.
bool CarryBack(const PairPaths& paths, std::uint32_t surviving, std::uint32_t survivingEntries) noexcept {
    platform::Platform& os = platform::Current();
    // A main pair moved aside by a failed exchange comes back first; while it
    // cannot, the new pair stays for the next recovery to finish the prune.
    RestoreFromOld0(paths.index);
    RestoreFromOld0(paths.log);
    if (Probe(paths.log.c_str()) != Presence::There) return false;
    {
        ScopedFile newLog, newIndex;
        Carried from;
        if (!OpenCarried(paths, surviving, survivingEntries, &newLog, &newIndex, &from)) return false;
        ScopedFile log, index;
        PairEnds to;
        if (!OpenRepaired(paths.log, paths.index, OnDamage::Reindex, &log, &index, &to) &&
            !OpenReindexed(paths, &log, &index, &to)) {
            return false;
        }
        // Nothing appended: nothing to copy and no mark to write (a prune that
        // ran out of room drops its new pair at once).
        if (from.count() > 0 && !CopyCarried(paths, from, to)) return false;
    }
    // The new index goes first: a new log without it is dropped by recovery,
    // which also retries a removal that fails here. The mark is read only
    // beside a new index, so it goes next; the new log, left last, makes
    // recovery run and remove a mark that stays.
    if (os.RemoveFile(paths.newIndex.c_str())) {
        os.RemoveFile(paths.mark.c_str()).Ignore();
        os.RemoveFile(paths.newLog.c_str()).Ignore();
    }
    return true;
}

// A dead prune's new pair: finished when its front can be filled, otherwise
// its appended records go back to the main pair.
void FinishPrune(const PairPaths& paths) noexcept {
    if (PreparationDied(paths)) {
        // Leftovers that stay are found and dropped again by the next recovery.
        platform::Current().RemoveFile(paths.newIndex.c_str()).Ignore();
        platform::Current().RemoveFile(paths.newLog.c_str()).Ignore();
        return;
    }
    Front front;
    {
        ScopedFile log, index;
        PairEnds ends;
        if (!OpenRepaired(paths.newLog, paths.newIndex, OnDamage::Fail, &log, &index, &ends)) return;
        if (!ReadFront(ends, &front)) return;
    }
    if (!front.filled) {
        RestoreFromOld0(paths.index);
        RestoreFromOld0(paths.log);
        // A whole carry mark: a carry-back began, so the main pair may have
        // grown and is no longer what the front was cut from. Without one the
        // main pair is unchanged since the fronts, and the refill checks its size.
        CarryMark mark;
        const MarkState state = ReadMark(paths, &mark);
        if (state == MarkState::Unknown) return;  // taken up again by the next recovery
        if (state == MarkState::Whole || !Refill(paths, front)) {
            CarryBack(paths, front.bytes, front.entries);
            return;
        }
    }
    SwapBackups backups;
    // An exchange that fails is taken up again by the next recovery.
    SwapNewPairIn(paths, &backups).Ignore();
}

// Whether any of the names may be there (an unknown answer counts).
bool AnyMayExist(std::initializer_list<const char16_t*> paths) noexcept {
    for (const char16_t* path : paths) {
        if (Probe(path) != Presence::Absent) return true;
    }
    return false;
}

// An exchange that died after it moved a prefixed log aside leaves no log to
// find by its name: the log is then named after its backup, so that it takes
// its prefix back.
void NameLogAfterBackup(PathText& log, const char16_t* owner) noexcept {
    if (!OwnerPresent(owner) || Probe(log.c_str()) != Presence::Absent) return;
    constexpr std::u16string_view kBackup = u".activity.log.old0";
    OwnerLogName backup =
        LookUpOwnerFile(Module().logsDirectory.view(), std::u16string_view(owner, TextLength(owner)), kBackup);
    if (backup.lookup == OwnerLogLookup::Found) log.Assign(backup.log.view().substr(0, backup.log.size() - 5));
}

bool HasLeftovers(const PairPaths& paths, const char16_t* owner) noexcept {
    BackupName oldIndex, oldLog;
    NameOld(oldIndex, paths.index, u'0');
    NameOld(oldLog, paths.log, u'0');
    PathText rebuild = ActivityPath(LogFile::RebuildIndex, owner);
    // A missing index alone is no leftover: it waits for a rebuild, and
    // taking the prune mutex for it would turn that rebuild away.
    return AnyMayExist({paths.newLog.c_str(), paths.newIndex.c_str(), oldIndex.c_str(), oldLog.c_str(), rebuild.c_str(),
                        paths.mark.c_str()});
}

}  // namespace

FrontState FrontOf(platform::FileHandle log, platform::FileHandle index) noexcept {
    std::uint32_t logSize = 0;
    std::uint32_t indexSize = 0;
    if (!FileSize32(log, &logSize) || !FileSize32(index, &indexSize)) return FrontState::Unknown;
    std::uint32_t value = 0;
    if (indexSize >= 4) {
        if (!ReadEntry(index, indexSize / 4 - 1, &value)) return FrontState::Unknown;
        return value == 0 ? FrontState::Unrecorded : FrontState::Recorded;
    }
    if (logSize == 0) return FrontState::Recorded;
    if (!FirstRecordStart(log, logSize, &value)) return FrontState::Unknown;
    return value == 0 ? FrontState::Unrecorded : FrontState::Recorded;
}

Status CreateFronts(const PairPaths& paths, const PruneMeasures& m) noexcept {
    // A new pair that recovery could not finish may hold appended records.
    if (AnyMayExist({paths.newLog.c_str(), paths.newIndex.c_str()})) {
        return Status::Fail(Code::AlreadyExists, Op::Open);
    }
    // A stale carry mark would be read against this prune's new pair.
    Status ok = platform::Current().RemoveFile(paths.mark.c_str());
    if (!ok && ok.code() != Code::NotFound) return ok;
    // The new log comes first: a new log alone is what readers look for, and
    // recovery drops it (nothing can have been appended without the index).
    {
        ScopedFile log = ScopedFile::Open(paths.newLog.c_str(), Access::Write, Disposition::CreateAlways);
        ok = log.valid() ? CutTo(log.get(), m.surviving()) : log.status();
    }
    if (ok) {
        ScopedFile index = ScopedFile::Open(paths.newIndex.c_str(), Access::Write, Disposition::CreateAlways);
        unsigned char end[4];
        StoreLe32(m.surviving(), end);
        ok = !index.valid()                   ? index.status()
             : m.survivingEntries() == 0 ? Status::Ok()
                                         : WriteAt(index.get(), std::uint64_t{m.survivingEntries() - 1} * 4, end, 4);
    }
    if (!ok) {
        // Leftovers that stay are found and dropped again by the next recovery.
        platform::Current().RemoveFile(paths.newIndex.c_str()).Ignore();
        platform::Current().RemoveFile(paths.newLog.c_str()).Ignore();
    }
    return ok;
}

Status FillFronts(const PairPaths& paths, const PruneMeasures& m) noexcept {
    {
        ScopedFile from = ScopedFile::Open(paths.log.c_str(), Access::Read, Disposition::OpenExisting);
        ScopedFile to = ScopedFile::Open(paths.newLog.c_str(), Access::Write, Disposition::OpenExisting);
        if (!from.valid()) return from.status();
        if (!to.valid()) return to.status();
        std::uint32_t done = 0;
        Status copied = platform::Current().CopyRange(from.get(), m.cutOffset, to.get(), 0, m.surviving(), &done);
        if (!copied) return copied;
        if (done != m.surviving()) return Status::Fail(Code::Damaged, Op::Copy);
    }
    // The surviving entries, each moved down by the cut offset.
    ScopedFile from = ScopedFile::Open(paths.index.c_str(), Access::Read, Disposition::OpenExisting);
    ScopedFile to = ScopedFile::Open(paths.newIndex.c_str(), Access::Write, Disposition::OpenExisting);
    if (!from.valid()) return from.status();
    if (!to.valid()) return to.status();
    ScopedBlock chunk(kChunkBytes);
    if (!chunk.valid()) return Status::Fail(Code::NoMemory, Op::Allocate);
    std::uint64_t first = std::uint64_t{m.count} * 4;
    std::uint64_t total = m.indexSize - first;
    for (std::uint64_t done = 0; done < total;) {
        std::uint32_t count = static_cast<std::uint32_t>(total - done < kChunkBytes ? total - done : kChunkBytes);
        Status step = ReadAt(from.get(), first + done, chunk.bytes(), count);
        if (!step) return step;
        for (std::uint32_t i = 0; i < count; i += 4) {
            std::uint32_t entry = LoadLe32(chunk.bytes() + i);
            if (entry < m.cutOffset) return Status::Fail(Code::Damaged, Op::CheckIndex);
            StoreLe32(entry - m.cutOffset, chunk.bytes() + i);
        }
        step = WriteAt(to.get(), done, chunk.bytes(), count);
        if (!step) return step;
        done += count;
    }
    return Status::Ok();
}

Status SwapNewPairIn(const PairPaths& paths, SwapBackups* backups) noexcept {
    platform::Platform& os = platform::Current();
    // Steps already taken by a dead exchange are skipped: a main name that is
    // gone was moved aside. Nothing moves while any name cannot be probed.
    const Presence newLog = Probe(paths.newLog.c_str());
    const Presence index = Probe(paths.index.c_str());
    const Presence log = Probe(paths.log.c_str());
    if (newLog == Presence::Unknown || index == Presence::Unknown || log == Presence::Unknown) {
        return Status::Fail(Code::Io, Op::Probe);
    }
    if (newLog == Presence::There) {
        Status moved = index == Presence::There ? MoveAside(paths.index, &backups->index) : Status::Ok();
        if (!moved) return moved;
        moved = log == Presence::There ? MoveAside(paths.log, &backups->log) : Status::Ok();
        if (!moved) {
            // Undo as far as it goes; recovery puts a lone backup back.
            if (!backups->index.empty()) os.MoveNoReplace(backups->index.c_str(), paths.index.c_str()).Ignore();
            return moved;
        }
        moved = os.MoveNoReplace(paths.newLog.c_str(), paths.log.c_str());
        if (!moved) {
            // As above: undo as far as it goes.
            if (!backups->log.empty()) os.MoveNoReplace(backups->log.c_str(), paths.log.c_str()).Ignore();
            if (!backups->index.empty()) os.MoveNoReplace(backups->index.c_str(), paths.index.c_str()).Ignore();
            return moved;
        }
    }
    // An index whose presence is unknown is left with the new one beside it:
    // recovery finishes that step.
    if (Probe(paths.index.c_str()) == Presence::Absent &&
        !os.MoveNoReplace(paths.newIndex.c_str(), paths.index.c_str())) {
        ReindexMain(paths);
    }
    // Without an index in place the new one stays for the next recovery: an
    // old index restored beside the new log would not match it.
    if (Probe(paths.index.c_str()) == Presence::There) {
        os.RemoveFile(paths.newIndex.c_str()).Ignore();  // dropped again by the next recovery
    }
    return Status::Ok();
}

bool CarryBackAndDrop(const PairPaths& paths, std::uint32_t surviving, std::uint32_t survivingEntries) noexcept {
    return CarryBack(paths, surviving, survivingEntries);
}

void RecoverHeld(const LogMutex& prune, const LogMutex& read, const char16_t* owner) noexcept {
    AssertHeld(prune);
    AssertHeld(read);
    platform::Platform& os = platform::Current();
    PairPaths paths(owner);
    NameLogAfterBackup(paths.log, owner);
    PathText rebuild = ActivityPath(LogFile::RebuildIndex, owner);
    // A rebuild index that stays is replaced by the next rebuild.
    if (Probe(rebuild.c_str()) != Presence::Absent) os.RemoveFile(rebuild.c_str()).Ignore();
    const Presence newLogFound = Probe(paths.newLog.c_str());
    const Presence newIndexFound = Probe(paths.newIndex.c_str());
    if (newLogFound == Presence::Unknown || newIndexFound == Presence::Unknown) return;
    const bool newLog = newLogFound == Presence::There;
    const bool newIndex = newIndexFound == Presence::There;
    if (newLog && newIndex) {
        FinishPrune(paths);
    } else if (newIndex) {
        // The exchange stopped between its two moves into place: the log in
        // place is the new one, and this is its index.
        const Presence index = Probe(paths.index.c_str());
        if (index == Presence::Unknown) return;
        if (index == Presence::Absent && !os.MoveNoReplace(paths.newIndex.c_str(), paths.index.c_str())) return;
        os.RemoveFile(paths.newIndex.c_str()).Ignore();  // dropped again by the next recovery
    } else if (newLog) {
        // Its records were carried back already, or its index never made.
        os.RemoveFile(paths.newLog.c_str()).Ignore();  // dropped again by the next recovery
    }
    RestoreFromOld0(paths.index);
    RestoreFromOld0(paths.log);
    // Backups and a carry mark are stale once no new pair is left.
    if (AnyMayExist({paths.newLog.c_str(), paths.newIndex.c_str()})) return;
    if (Probe(paths.mark.c_str()) != Presence::Absent) os.RemoveFile(paths.mark.c_str()).Ignore();
    // The log's backups go first: an index backup outlives them, so that
    // readers need look for that one only (LeftoversMayExist).
    RemoveOlds(paths.log);
    RemoveOlds(paths.index);
}

bool RecoverUnderWrite(const char16_t* owner) noexcept {
    PairPaths paths(owner);
    if (!HasLeftovers(paths, owner)) return false;
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.Wait(platform::WaitTime::Zero)) return false;
    LogMutex read(kReadMutexBase, owner);
    if (!read.Wait(platform::WaitTime::Infinite)) return false;
    RecoverHeld(prune, read, owner);
    return true;
}

void RecoverUnderPrune(const LogMutex& prune, const char16_t* owner) noexcept {
    AssertHeld(prune);
    PairPaths paths(owner);
    if (!HasLeftovers(paths, owner)) return;
    LogMutex write(kWriteMutexBase, owner);
    LogMutex read(kReadMutexBase, owner);
    if (!write.Wait(platform::WaitTime::Infinite) || !read.Wait(platform::WaitTime::Infinite)) return;
    RecoverHeld(prune, read, owner);
}

void RepairTailIfIdle(const char16_t* owner) noexcept {
    LogMutex write(kWriteMutexBase, owner);
    if (!write.Wait(platform::WaitTime::Zero)) return;
    PairPaths paths(owner);
    ScopedFile log, index;
    PairEnds ends;
    OpenRepaired(paths.log, paths.index, OnDamage::Fail, &log, &index, &ends);
}

bool LeftoversMayExist(OwnerFiles& files) noexcept {
    // A dead prune leaves its new log (created first) or the index's first
    // backup: an exchange moves the index aside before the log, and the log's
    // backups are removed before the index's. A main file missing otherwise
    // fails the open, which recovers then.
    PathText newLog = files.Path(LogFile::NewLog);
    BackupName oldIndex;
    NameOld(oldIndex, files.Path(LogFile::Index), u'0');
    return AnyMayExist({newLog.c_str(), oldIndex.c_str()});
}

void RecoverUnlocked(const char16_t* owner) noexcept {
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.Wait(platform::WaitTime::Zero)) return;
    RecoverUnderPrune(prune, owner);
}

}  // namespace actlog
