#include "installation.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "Log.h"
#include "text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace actlogtool {

namespace {

constexpr std::string_view kLogSuffix = ".activity.log";

}  // namespace

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

namespace {

std::string Lower(std::string_view text) { return LowerAscii(text); }

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && Lower(text.substr(text.size() - suffix.size())) == Lower(suffix);
}

}  // namespace

fs::path PathFromText(std::string_view utf8) {
#ifdef _WIN32
    WideString wide = Widen(utf8);
    return fs::path(std::wstring(wide.begin(), wide.end()));
#else
    return fs::path(std::string(utf8));
#endif
}

namespace {

fs::path FromUtf8(std::string_view utf8) { return PathFromText(utf8); }


// The library's rule: the longest part of the stem (the stem, then the text
// after each '.') with an index, passing over a shorter part that has a log of
// its own; else the longest part with an index at all; else the stem.
std::string OwnerOfStem(std::string_view stem, const std::set<std::string>& lowerNames) {
    auto has = [&](std::string_view owner, const char* suffix) {
        return lowerNames.count(Lower(std::string(owner) + suffix)) != 0;
    };
    std::string passedOver;
    for (std::size_t from = 0; from < stem.size();) {
        std::string_view part = stem.substr(from);
        if (has(part, ".activity.idx")) {
            if (from == 0 || !has(part, ".activity.log")) return std::string(part);
            if (passedOver.empty()) passedOver = part;
        }
        std::size_t dot = stem.find('.', from);
        if (dot == std::string_view::npos) break;
        from = dot + 1;
    }
    return passedOver.empty() ? std::string(stem) : passedOver;
}

}  // namespace

fs::path LibraryPath() {
#ifdef _WIN32
    HMODULE module = GetModuleHandleW(L"Log.dll");
    if (module == nullptr) return {};
    std::wstring buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return {};
    buffer.resize(length);
    return fs::path(buffer);
#else
    // The address of an export inside the library names the library's file.
    void* symbol = dlsym(RTLD_DEFAULT, "GetLog");
    Dl_info info{};
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code ec;
    fs::path path = fs::absolute(info.dli_fname, ec);
    return ec ? fs::path(info.dli_fname) : path;
#endif
}

// A system-wide package bakes the same directories into the library and the tool.
fs::path LogsDirectory() {
#ifdef LOG_INSTALLED_LOGS_DIR
    return fs::path(LOG_INSTALLED_LOGS_DIR);
#else
    return (LibraryPath().parent_path() / ".." / "Logs").lexically_normal();
#endif
}

fs::path DataSyncDirectory() {
#ifdef LOG_INSTALLED_DATASYNC_DIR
    return fs::path(LOG_INSTALLED_DATASYNC_DIR);
#else
    return (LibraryPath().parent_path() / ".." / "DataSync").lexically_normal();
#endif
}

fs::path ProgramPath() {
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length < buffer.size() ? length : 0);
    return fs::path(buffer);
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
#endif
}

std::vector<OwnerFiles> FindOwnerLogs(const fs::path& logs) {
    std::vector<std::string> names = FileNames(logs);
    std::set<std::string> lowerNames;
    for (const std::string& name : names) lowerNames.insert(Lower(name));
    std::vector<OwnerFiles> found;
    for (const std::string& name : names) {
        if (Lower(name) == "activity.log") {
            found.push_back({"", logs / FromUtf8(name), logs / "activity.idx"});
        } else if (name.size() > kLogSuffix.size() && EndsWithNoCase(name, kLogSuffix)) {
            std::string owner = OwnerOfStem(std::string_view(name).substr(0, name.size() - kLogSuffix.size()), lowerNames);
            found.push_back({owner, logs / FromUtf8(name), logs / FromUtf8(owner + ".activity.idx")});
        }
    }
    // The machine first, then the owners by name.
    std::stable_sort(found.begin(), found.end(), [](const OwnerFiles& a, const OwnerFiles& b) {
        return a.owner.empty() != b.owner.empty() ? a.owner.empty() : Lower(a.owner) < Lower(b.owner);
    });
    return found;
}

OwnerFiles OwnerLog(const fs::path& logs, std::string_view owner) {
    if (owner.empty()) return {"", logs / "activity.log", logs / "activity.idx"};
    OwnerFiles plain{std::string(owner), logs / FromUtf8(std::string(owner) + std::string(kLogSuffix)),
                     logs / FromUtf8(std::string(owner) + ".activity.idx")};
    std::vector<OwnerFiles> all = FindOwnerLogs(logs);
    const std::string exact = Lower(std::string(owner) + std::string(kLogSuffix));
    for (const OwnerFiles& files : all) {
        if (Lower(PathText(files.log.filename())) == exact) return {plain.owner, files.log, plain.index};
    }
    for (const OwnerFiles& files : all) {
        if (files.owner == owner) return {plain.owner, files.log, plain.index};
    }
    return plain;
}

std::string DisplayOwner(std::string_view owner) { return owner.empty() ? "(machine)" : std::string(owner); }

std::optional<std::uint64_t> FileSize(const fs::path& path) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec) return std::nullopt;
    return static_cast<std::uint64_t>(size);
}

std::string PathText(const fs::path& path) {
#ifdef _WIN32
    const std::wstring& native = path.native();
    return Narrow(WideView(native.data(), native.size()));
#else
    return path.string();
#endif
}

std::vector<std::string> FileNames(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(PathText(it->path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace actlogtool
