// actlog demo-writer (hidden): one writer process of the demo. It logs through
// the product's exports as a job process would: job records with job numbers,
// owner records for virtual machines, templates with string and numeric inserts.
#include "demo_writer.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "installation.h"
#include "message_ids.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog demo-writer --owner N --records R --pace MS --seed K --report FILE\n"
    "Writer process of `actlog demo` (not for direct use).\n";

// One record; gives the export's result.
int32_t WriteRecord(const WideString& owner, std::uint32_t seed, std::uint32_t i) {
    const std::uint32_t severity = DemoSeverity(i);
    const std::uint32_t job = 1000 * seed + i / 5 + 1;
    const WideString jobName = Widen("backup-" + std::to_string(job));
    const WideString volume = Widen(i % 2 == 0 ? "C:" : "D:");
    const bool machine = owner.empty();
    const LOG_WCHAR* who = owner.c_str();
    const int files = static_cast<int>(100 + i);
    const unsigned long long bytes = 1048576ULL * (i + 1) + seed;
    const int seconds = static_cast<int>(i % 60);
    switch (i % 5) {
        case 0:
            return machine ? JobLogActivity(severity, job, MSG_JOB_STARTED, jobName.c_str())
                           : VMJobLogActivity(who, severity, job, MSG_JOB_STARTED, jobName.c_str());
        case 1:
            return machine ? JobLogActivity(severity, job, MSG_VOLUME_SCANNED, volume.c_str(), files)
                           : VMJobLogActivity(who, severity, job, MSG_VOLUME_SCANNED, volume.c_str(), files);
        case 2:
            return machine ? JobLogActivity(severity, job, MSG_BYTES_COPIED, bytes, seconds)
                           : VMJobLogActivity(who, severity, job, MSG_BYTES_COPIED, bytes, seconds);
        case 3: {
            const WideString host = Widen("host-" + std::to_string(seed));
            return machine ? LogActivity(severity, MSG_VM_BACKUP_DONE, host.c_str())
                           : VMLogActivity(who, severity, MSG_VM_BACKUP_DONE, who);
        }
        default:
            return machine ? JobLogActivity(severity, job, MSG_JOB_FINISHED, jobName.c_str())
                           : VMJobLogActivity(who, severity, job, MSG_JOB_FINISHED, jobName.c_str());
    }
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args, {{"--owner", true}, {"--records", true}, {"--pace", true}, {"--seed", true},
                             {"--report", true}});
    if (options.Help()) return PrintUsage(kUsage);
    std::optional<std::string> report = options.Value("--report");
    if (!report) throw UsageError("missing --report");
    const WideString owner = Widen(options.Value("--owner").value_or(""));
    const std::uint32_t records = options.Number("--records", 100);
    const std::uint32_t pace = options.Number("--pace", 0);
    const std::uint32_t seed = options.Number("--seed", 1);
    WriterReport result;
    for (std::uint32_t i = 0; i < records; ++i) {
        if (WriteRecord(owner, seed, i) == 0) {
            ++result.appended;
            if (Journaled(DemoSeverity(i))) ++result.journaled;
        }
        if (pace > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pace));
    }
    if (!WriteReport(PathFromText(*report), result)) return kFailure;
    return result.appended == records ? kSuccess : kFailure;
}

const CommandRegistration kRegistration({"demo-writer", nullptr, kUsage, Run});

}  // namespace

std::uint32_t DemoSeverity(std::uint32_t i) {
    static constexpr std::uint32_t kCycle[] = {1, 2, 3, 4, 5, 0};
    return kCycle[i % 6];
}

bool Journaled(std::uint32_t severity) { return severity != 0 && severity != 3; }

bool WriteReport(const std::filesystem::path& path, const WriterReport& report) {
    std::ofstream out(path, std::ios::trunc);
    out << report.appended << ' ' << report.journaled << '\n';
    return static_cast<bool>(out);
}

std::optional<WriterReport> ReadReport(const std::filesystem::path& path) {
    std::ifstream in(path);
    WriterReport report;
    if (!(in >> report.appended >> report.journaled)) return std::nullopt;
    return report;
}

}  // namespace actlogtool
