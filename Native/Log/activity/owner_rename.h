// Moving an owner's activity log to a prefixed name "<prefix>.<owner>.activity.log".
#pragma once

#include "platform/status.h"

#include <string>
#include <string_view>

namespace actlog {

// `basePath` (Logs directory + "activity.log") with "<prefix>.<owner>." inserted
// in front of its file name; null prefix or owner count as empty.
std::u16string BuildPrefixedLogPath(std::u16string_view basePath, const char16_t* prefix, const char16_t* owner);

// Moves the owner's own log (exact or already prefixed name, never another
// owner's) to its prefixed name under the owner's write mutex. Does nothing for
// the machine's log or an owner without a log (Ok); fails for unsafe names
// and for a target that would belong to another owner.
Status RenameOwnerLog(const char16_t* prefix, const char16_t* owner);

}  // namespace actlog
