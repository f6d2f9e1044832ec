#include "files/owner_log.h"

#include "files/log_files.h"
#include "platform/platform.h"

namespace actlog {
namespace {

constexpr std::u16string_view kLogSuffix = u".activity.log";
constexpr std::u16string_view kIndexSuffix = u".activity.idx";

bool FileExists(std::u16string_view directory, std::u16string_view stem, std::u16string_view suffix) noexcept {
    PathText path(directory);
    return path.Append(stem) && path.Append(suffix) && platform::Current().Exists(path.c_str());
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) noexcept {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

// Whether the log with this stem may be `owner`'s: no other owner's index claims it.
bool MayTake(std::u16string_view directory, std::u16string_view stem, std::u16string_view owner) noexcept {
    PathText claimant;
    return IndexedOwnerOfLog(directory, stem, claimant) != LogClaim::Claimed || EqualNoCase(claimant.view(), owner);
}

// The owner's part of a log name (its last owner.size() units before the suffix).
std::u16string_view OwnerPart(std::u16string_view name, std::u16string_view owner) noexcept {
    return name.substr(name.size() - kLogSuffix.size() - owner.size(), owner.size());
}

}  // namespace

LogClaim IndexedOwnerOfLog(std::u16string_view directory, std::u16string_view stem, PathText& owner) noexcept {
    LogClaim claim = LogClaim::None;
    for (std::size_t from = 0; from < stem.size();) {
        std::u16string_view part = stem.substr(from);
        if (FileExists(directory, part, kIndexSuffix)) {
            if (from == 0 || !FileExists(directory, part, kLogSuffix)) {
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

OwnerLogName LookUpOwnerLog(std::u16string_view directory, std::u16string_view owner) noexcept {
    OwnerLogName result;
    result.spelling.Assign(owner);
    result.log.Assign(directory);
    result.log.Append(owner);
    result.log.Append(kLogSuffix);
    platform::Platform& os = platform::Current();

    // The plain name as the caller spells it: one look at the file, and at the
    // indexes of the shorter owners its name could stand for.
    if (os.Exists(result.log.c_str())) {
        bool dotted = owner.find(u'.') != std::u16string_view::npos;
        if (dotted && !MayTake(directory, owner, owner)) {
            result.lookup = OwnerLogLookup::Taken;
            result.log.Clear();
        } else {
            result.lookup = OwnerLogLookup::Found;
        }
        return result;
    }

    PathText pattern(directory);
    pattern.Append(u'*');
    if (!pattern.Append(owner) || !pattern.Append(kLogSuffix)) return result;
    char16_t found[kPathChars];
    platform::SearchHandle search = os.FindFirst(pattern.c_str(), found, kPathChars);
    if (!search.valid()) return result;
    PathText chosen;
    for (bool more = true; more; more = os.FindNext(search, found, kPathChars)) {
        std::u16string_view name(found, TextLength(found));
        if (name.size() <= kLogSuffix.size() + owner.size()) {
            if (!EqualNoCase(name.substr(0, owner.size()), owner)) continue;
            // The plain name in another letter case.
            if (MayTake(directory, name.substr(0, owner.size()), owner)) {
                chosen.Assign(name);
                result.lookup = OwnerLogLookup::Found;
            } else {
                result.lookup = OwnerLogLookup::Taken;
            }
            break;
        }
        if (name[name.size() - kLogSuffix.size() - owner.size() - 1] != u'.') continue;
        if (!EndsWithNoCase(name, kLogSuffix) || !EqualNoCase(OwnerPart(name, owner), owner)) continue;
        if (result.lookup == OwnerLogLookup::Absent &&
            MayTake(directory, name.substr(0, name.size() - kLogSuffix.size()), owner)) {
            chosen.Assign(name);
            result.lookup = OwnerLogLookup::Found;
        }
    }
    os.FindClose(search);

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
        result.spelling.Assign(OwnerPart(chosen.view(), owner));
    }
    return result;
}

}  // namespace actlog
