#include "files/owner_log.h"

#include "files/log_files.h"
#include "platform/platform.h"

namespace actlog {
namespace {

constexpr std::u16string_view kLogSuffix = u".activity.log";
constexpr std::u16string_view kIndexSuffix = u".activity.idx";

// Ok when the file exists, NotFound when it does not (a name too long for a
// path included), any other code when the OS could not tell.
Status FileExists(std::u16string_view directory, std::u16string_view stem, std::u16string_view suffix) noexcept {
    PathText path(directory);
    if (!path.Append(stem) || !path.Append(suffix)) return Status::Fail(Code::NotFound, Op::Probe);
    return platform::Current().Exists(path.c_str());
}

// A failure that is not "no such file": the answer is unknown.
bool Unsure(const Status& status) noexcept { return !status && status.code() != Code::NotFound; }

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) noexcept {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

// Whether the log with this stem may be `owner`'s: no other owner's index
// claims it. *unsure is set when that could not be found out.
bool MayTake(std::u16string_view directory, std::u16string_view stem, std::u16string_view owner,
             bool* unsure) noexcept {
    PathText claimant;
    LogClaim claim = IndexedOwnerOfLog(directory, stem, claimant);
    if (claim == LogClaim::Unknown) *unsure = true;
    return claim == LogClaim::None || claim == LogClaim::Elsewhere || EqualNoCase(claimant.view(), owner);
}

// The owner's part of a log name (its last owner.size() units before the suffix).
std::u16string_view OwnerPart(std::u16string_view name, std::u16string_view owner,
                              std::u16string_view suffix) noexcept {
    return name.substr(name.size() - suffix.size() - owner.size(), owner.size());
}

}  // namespace

LogClaim IndexedOwnerOfLog(std::u16string_view directory, std::u16string_view stem, PathText& owner) noexcept {
    LogClaim claim = LogClaim::None;
    for (std::size_t from = 0; from < stem.size();) {
        std::u16string_view part = stem.substr(from);
        Status index = FileExists(directory, part, kIndexSuffix);
        if (Unsure(index)) return LogClaim::Unknown;
        if (index) {
            Status log = from == 0 ? Status::Fail(Code::NotFound, Op::Probe) : FileExists(directory, part, kLogSuffix);
            if (Unsure(log)) return LogClaim::Unknown;
            if (!log) {
                owner.Assign(part);
                return LogClaim::Claimed;
            }
            if (claim == LogClaim::None) owner.Assign(part);
            claim = LogClaim::Elsewhere;
        }
        std::size_t dot = stem.find(u'.', from);
        if (dot == std::u16string_view::npos) break;
        from = dot + 1;
    }
    return claim;
}

OwnerLogName LookUpOwnerFile(std::u16string_view directory, std::u16string_view owner,
                              std::u16string_view suffix) noexcept {
    OwnerLogName result;
    result.spelling.Assign(owner);
    result.log.Assign(directory);
    result.log.Append(owner);
    result.log.Append(suffix);
    platform::Platform& os = platform::Current();
    // Where the OS cannot say which files exist, no log is chosen on a guess:
    // a wrong "not there" could hand the owner another owner's log or a second one.
    bool unsure = false;
    auto unknown = [&result]() {
        result.lookup = OwnerLogLookup::Unknown;
        result.log.Clear();
        return result;
    };

    // The plain name as the caller spells it: one look at the file, and at the
    // indexes of the shorter owners its name could stand for.
    Status plain = os.Exists(result.log.c_str());
    if (Unsure(plain)) return unknown();
    if (plain) {
        bool dotted = owner.find(u'.') != std::u16string_view::npos;
        if (dotted && !MayTake(directory, owner, owner, &unsure)) {
            if (unsure) return unknown();
            result.lookup = OwnerLogLookup::Taken;
            result.log.Clear();
        } else {
            result.lookup = OwnerLogLookup::Found;
        }
        return result;
    }

    PathText pattern(directory);
    pattern.Append(u'*');
    if (!pattern.Append(owner) || !pattern.Append(suffix)) return result;
    char16_t found[kPathChars];
    platform::SearchHandle search = os.FindFirst(pattern.c_str(), found, kPathChars);
    if (!search.valid()) return Unsure(search.status) ? unknown() : result;
    PathText chosen;
    Status next = Status::Ok();
    for (; next; next = os.FindNext(search, found, kPathChars)) {
        std::u16string_view name(found, TextLength(found));
        if (name.size() <= suffix.size() + owner.size()) {
            if (!EqualNoCase(name.substr(0, owner.size()), owner)) continue;
            // The plain name in another letter case.
            if (MayTake(directory, name.substr(0, owner.size()), owner, &unsure)) {
                chosen.Assign(name);
                result.lookup = OwnerLogLookup::Found;
            } else {
                result.lookup = OwnerLogLookup::Taken;
            }
            break;
        }
        if (name[name.size() - suffix.size() - owner.size() - 1] != u'.') continue;
        if (!EndsWithNoCase(name, suffix) || !EqualNoCase(OwnerPart(name, owner, suffix), owner)) continue;
        if (result.lookup == OwnerLogLookup::Absent &&
            MayTake(directory, name.substr(0, name.size() - suffix.size()), owner, &unsure)) {
            chosen.Assign(name);
            result.lookup = OwnerLogLookup::Found;
        }
    }
    os.FindClose(search);
    if (unsure || Unsure(next)) return unknown();

    if (result.lookup == OwnerLogLookup::Taken) {
        result.log.Clear();
    } else if (result.lookup == OwnerLogLookup::Found) {
        PathText log(directory);
        // A name too long for a path is left alone, as if it were not there.
        if (!log.Append(chosen.view())) {
            result.lookup = OwnerLogLookup::Absent;
            return result;
        }
        result.log = log;
        result.spelling.Assign(OwnerPart(chosen.view(), owner, suffix));
    }
    return result;
}

OwnerLogName LookUpOwnerLog(std::u16string_view directory, std::u16string_view owner) noexcept {
    return LookUpOwnerFile(directory, owner, kLogSuffix);
}

}  // namespace actlog
