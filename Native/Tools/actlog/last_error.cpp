#include "last_error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#endif

namespace actlogtool {

#ifdef _WIN32
void ClearLastError() { ::SetLastError(ERROR_SUCCESS); }

std::string LastErrorText() {
    DWORD error = ::GetLastError();
    if (error == ERROR_SUCCESS) return {};
    char text[512] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                               sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}
#else
void ClearLastError() { errno = 0; }

std::string LastErrorText() {
    int error = errno;
    return error == 0 ? std::string() : std::string(std::strerror(error));
}
#endif

}  // namespace actlogtool
