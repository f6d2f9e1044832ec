// log_child: loads the shipped shared library from a path and runs one command
// against its exports, as another process of the product would.
//   log_child <library path> <command> [args...]
// Exit code: the command's result; 100 library not loadable; 101 unknown command.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "actlog/text.h"
#include "support/child_api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace childapi {
namespace {

std::map<std::string, Command>& Registry() {
    static std::map<std::string, Command> registry;
    return registry;
}

}  // namespace

bool Register(const char* name, Command command) {
    Registry()[name] = command;
    return true;
}

std::basic_string<LOG_WCHAR> Wide(const std::string& utf8) { return actlogtool::Widen(utf8); }

}  // namespace childapi

int main(int argc, char** argv) {
    std::vector<std::string> args = actlogtool::CommandLineArguments(argc, argv);
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: log_child <library> <command> [args...]\n");
        return 101;
    }
    childapi::LogApi api;
#ifdef _WIN32
    std::basic_string<LOG_WCHAR> path = childapi::Wide(args[0]);
    HMODULE library = LoadLibraryW(path.c_str());
    if (library == nullptr) return 100;
#define LOG_CHILD_EXPORT(name) \
    api.name = reinterpret_cast<decltype(api.name)>(reinterpret_cast<void*>(GetProcAddress(library, #name)));
#else
    void* library = dlopen(args[0].c_str(), RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "log_child: %s\n", dlerror());
        return 100;
    }
#define LOG_CHILD_EXPORT(name) api.name = reinterpret_cast<decltype(api.name)>(dlsym(library, #name));
#endif
#include "support/child_exports.inc"
#undef LOG_CHILD_EXPORT

    auto found = childapi::Registry().find(args[1]);
    if (found == childapi::Registry().end()) {
        std::fprintf(stderr, "log_child: unknown command %s\n", args[1].c_str());
        return 101;
    }
    int result = found->second(api, std::vector<std::string>(args.begin() + 2, args.end()));
    std::fflush(stdout);
    return result;
}
