// The last-error value a failing export leaves (errno on Linux, GetLastError()
// on Windows), as the OS words it.
#pragma once

#include <string>

namespace actlogtool {

// Clears it before an export call, so that what is read after is the export's.
void ClearLastError();
// The OS text for the current value ("No such file or directory"); empty when
// no value was set.
std::string LastErrorText();

}  // namespace actlogtool
