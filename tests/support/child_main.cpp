// log_child: loads the shipped shared library from a path and runs one command
// against its exports, as another process of the product would.
//   log_child <library path> <command> [args...]
// Exit code: the command's result; 100 library not loadable; 101 unknown command.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/child_api.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <dlfcn.h>
#endif

namespace childapi {
namespace {

std::map<std::string, Command>& Registry() {
    static std::map<std::string, Command> registry;
    return registry;
}

std::string Narrow(const std::basic_string<LOG_WCHAR>& wide) {
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        std::uint32_t cp = static_cast<std::uint32_t>(wide[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < wide.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(wide[++i]) - 0xDC00);
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// Built-in command: reports what the loaded library derived at start-up.
// Prints "label=<JobLoadString(256)>" and gives 0 when that string loads.
int Probe(const LogApi& api, const std::vector<std::string>&) {
    if (api.JobLoadString == nullptr) return 2;
    LOG_WCHAR buffer[260] = {};
    int32_t result = api.JobLoadString(256, buffer, 260);
    std::printf("label=%s\n", Narrow(buffer).c_str());
    return result == 0 ? 0 : 1;
}

const bool g_probe = Register("probe", &Probe);

}  // namespace

bool Register(const char* name, Command command) {
    Registry()[name] = command;
    return true;
}

std::basic_string<LOG_WCHAR> Wide(const std::string& utf8) {
    std::basic_string<LOG_WCHAR> out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = c;
        std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0) cp = c & (0x3Fu >> extra);
        for (std::size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<LOG_WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<LOG_WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<LOG_WCHAR>(cp));
        }
    }
    return out;
}

}  // namespace childapi

namespace {

std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) {
        std::basic_string<LOG_WCHAR> arg(wide[i]);
        args.push_back(childapi::Narrow(arg));
    }
    LocalFree(wide);
    return args;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = Arguments(argc, argv);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: log_child <library> <command> [args...]\n");
        return 101;
    }
    childapi::LogApi api;
#ifdef _WIN32
    std::basic_string<LOG_WCHAR> path = childapi::Wide(args[1]);
    HMODULE library = LoadLibraryW(path.c_str());
    if (library == nullptr) return 100;
#define LOG_CHILD_EXPORT(name) \
    api.name = reinterpret_cast<decltype(api.name)>(reinterpret_cast<void*>(GetProcAddress(library, #name)));
#else
    void* library = dlopen(args[1].c_str(), RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "log_child: %s\n", dlerror());
        return 100;
    }
#define LOG_CHILD_EXPORT(name) api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, #name));
#endif
#include "support/child_exports.inc"
#undef LOG_CHILD_EXPORT

    auto found = childapi::Registry().find(args[2]);
    if (found == childapi::Registry().end()) {
        std::fprintf(stderr, "log_child: unknown command %s\n", args[2].c_str());
        return 101;
    }
    int result = found->second(api, std::vector<std::string>(args.begin() + 3, args.end()));
    std::fflush(stdout);
    return result;
}
