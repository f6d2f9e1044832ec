#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/log_files.h"
#include "files/record_line.h"
#include "frame/module.h"

namespace bench {

LogSystemTime StampOf(std::uint64_t second) {
    LogSystemTime t{};
    std::uint64_t days = second / 86400;
    std::uint64_t rest = second % 86400;
    t.wYear = static_cast<std::uint16_t>(2001 + days / 360);
    t.wMonth = static_cast<std::uint16_t>(1 + days % 360 / 30);
    t.wDay = static_cast<std::uint16_t>(1 + days % 30);
    t.wHour = static_cast<std::uint16_t>(rest / 3600);
    t.wMinute = static_cast<std::uint16_t>(rest % 3600 / 60);
    t.wSecond = static_cast<std::uint16_t>(rest % 60);
    return t;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Start(const fs::path& work, const fs::path& artifacts) {
    fs::create_directories(work / "bin");
    fs::create_directories(work / "Logs");
    // Copied once: a child process of a benchmark starts on the same directory.
    if (!artifacts.empty() && fs::exists(artifacts / "bvmsg.enu.dll") && !fs::exists(work / "bin" / "bvmsg.enu.dll")) {
        fs::copy_file(artifacts / "bvmsg.enu.dll", work / "bin" / "bvmsg.enu.dll", fs::copy_options::overwrite_existing);
    }
    std::u16string module = (work / "bin" / LibraryFileName()).u16string();
    actlog::InitializeLogModuleAt(module.c_str());
}

bool WriteLog(const fs::path& logs, const std::string& owner, std::uint64_t records, const char16_t* message,
              std::uint32_t (*severity)(std::uint64_t), std::uint32_t (*job)(std::uint64_t), std::uint64_t first) {
    std::string stem = owner.empty() ? "activity" : owner + ".activity";
    std::FILE* log = std::fopen((logs / (stem + ".log")).string().c_str(), "wb");
    std::FILE* index = std::fopen((logs / (stem + ".idx")).string().c_str(), "wb");
    if (log == nullptr || index == nullptr) return false;
    // Written in blocks of about 8 MiB.
    std::vector<unsigned char> bytes = {0xFF, 0xFE};
    std::vector<unsigned char> entries;
    bytes.reserve(8u << 20);
    std::uint64_t end = 2;
    actlog::LineText line;
    for (std::uint64_t k = first; k < records; ++k) {
        actlog::BuildRecordLine(line, StampOf(k), severity(k), job(k), message);
        for (std::size_t i = 0; i < line.size(); ++i) {
            bytes.push_back(static_cast<unsigned char>(line[i]));
            bytes.push_back(static_cast<unsigned char>(line[i] >> 8));
        }
        end += line.size() * 2;
        unsigned char entry[4];
        actlog::StoreLe32(static_cast<std::uint32_t>(end), entry);
        entries.insert(entries.end(), entry, entry + 4);
        if (bytes.size() >= (8u << 20) - 8192) {
            std::fwrite(bytes.data(), 1, bytes.size(), log);
            std::fwrite(entries.data(), 1, entries.size(), index);
            bytes.clear();
            entries.clear();
        }
    }
    std::fwrite(bytes.data(), 1, bytes.size(), log);
    std::fwrite(entries.data(), 1, entries.size(), index);
    std::fclose(log);
    std::fclose(index);
    return true;
}

void Report(const std::string& work, double figure, const std::string& unit, const std::string& referenceName,
            double reference, const std::string& target) {
    std::printf("RESULT\t%s\t%.6g\t%s\t%s\t%.6g\t%s\n", work.c_str(), figure, unit.c_str(), referenceName.c_str(),
                reference, target.c_str());
    std::fflush(stdout);
}

double MedianOf(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long long ReadSequentially(const fs::path& file) {
    std::FILE* in = std::fopen(file.string().c_str(), "rb");
    if (in == nullptr) return -1;
    std::setvbuf(in, nullptr, _IONBF, 0);
    static std::vector<char> buffer(1u << 20);
    long long total = 0;
    for (;;) {
        std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n == 0) break;
        total += static_cast<long long>(n);
    }
    std::fclose(in);
    return total;
}

}  // namespace bench
