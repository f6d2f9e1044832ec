// actlog show: a page of an owner's records, newest first, as a table or as
// JSON lines; --follow keeps printing records as they arrive.
#include <chrono>
#include <memory>
#include <thread>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "installation.h"
#include "last_error.h"
#include "table.h"
#include "text.h"

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog show [--owner N] [--job J] [--start K] [--count C] [--json]\n"
    "                   [--follow [--timeout SECONDS]]\n"
    "Prints records newest first (GetLog; GetJobLog with --job).\n"
    "  --owner N      log owner; default: the machine's own log\n"
    "  --job J        only the records of job J (0: records without a job)\n"
    "  --start K      skip the K newest records (default 0)\n"
    "  --count C      at most C records (default 20)\n"
    "  --json         one JSON object per line: time, severity, label, job, owner, message\n"
    "  --follow       print the page oldest first, then new records as they arrive\n"
    "  --timeout S    stop following after S seconds (default: run until interrupted)\n";

struct EntriesDeleter {
    void operator()(ActivityEntry* entries) const { FreeLog(entries); }
};
using Entries = std::unique_ptr<ActivityEntry, EntriesDeleter>;

struct Page {
    int32_t result = -1;
    Entries entries;
    uint32_t returned = 0;
    uint32_t total = 0;
};

struct Query {
    std::optional<uint32_t> job;
    WideString owner;
    bool hasOwner = false;

    const char* ExportName() const { return job ? "GetJobLog" : "GetLog"; }

    Page Fetch(uint32_t start, uint32_t count) const {
        Page page;
        ActivityEntry* raw = nullptr;
        const LOG_WCHAR* ownerArg = hasOwner ? owner.c_str() : nullptr;
        ClearLastError();
        page.result = job ? GetJobLog(*job, start, count, &raw, &page.returned, &page.total, ownerArg)
                          : GetLog(start, count, &raw, &page.returned, &page.total, ownerArg);
        page.entries.reset(raw);
        return page;
    }
};

class Printer {
public:
    Printer(bool json, std::string owner, bool machine) : json_(json), owner_(std::move(owner)), machine_(machine) {}

    // Entries [0, n) in the given order (newest first) or reversed.
    void Print(const Page& page, uint32_t n, bool oldestFirst, bool header) const {
        if (json_) {
            std::string text;
            for (uint32_t k = 0; k < n; ++k) text += ActivityJson(page.entries.get()[oldestFirst ? n - 1 - k : k], owner_, machine_);
            actlogtool::Print(text);
            return;
        }
        Table table(ActivityHeader());
        for (uint32_t k = 0; k < n; ++k) table.Add(ActivityRow(page.entries.get()[oldestFirst ? n - 1 - k : k]));
        std::string text = table.Render();
        if (!header) text.erase(0, text.find('\n') + 1);
        actlogtool::Print(text);
    }

private:
    bool json_;
    std::string owner_;
    bool machine_;
};

int Follow(const Query& query, const Printer& printer, uint32_t lastTotal, uint32_t timeoutSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(timeoutSeconds);
    constexpr uint32_t kFollowPage = 1000;
    bool warned = false;
    while (timeoutSeconds == 0 || Clock::now() < end) {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Page page = query.Fetch(0, kFollowPage);
        if (page.result != 0) {
            // A log that is being created, or whose index is being rebuilt, comes back later.
            if (!warned) ReportCause(query.ExportName(), page.result, "still watching");
            warned = true;
            continue;
        }
        warned = false;
        if (page.total < lastTotal) lastTotal = page.total;  // pruned meanwhile
        uint32_t fresh = page.total - lastTotal;
        if (fresh == 0) continue;
        uint32_t shown = std::min(fresh, page.returned);
        if (shown < fresh) {
            PrintError("actlog: " + std::to_string(fresh - shown) + " records arrived too fast to show\n");
        }
        printer.Print(page, shown, true, false);
        lastTotal = page.total;
    }
    return kSuccess;
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args, {{"--owner", true},
                             {"--job", true},
                             {"--start", true},
                             {"--count", true},
                             {"--json", false},
                             {"--follow", false},
                             {"--timeout", true}});
    if (options.Help()) return PrintUsage(kUsage);
    if (options.Has("--timeout") && !options.Has("--follow")) throw UsageError("--timeout needs --follow");
    Query query;
    if (options.Has("--job")) query.job = options.Number("--job", 0);
    std::optional<std::string> owner = options.Value("--owner");
    query.hasOwner = owner.has_value();
    query.owner = Widen(owner.value_or(""));
    const uint32_t start = options.Number("--start", 0);
    const uint32_t count = options.Number("--count", 20);
    const bool follow = options.Has("--follow");
    const uint32_t timeout = options.Number("--timeout", 0);
    Printer printer(options.Has("--json"), owner.value_or(""), owner.value_or("").empty());

    Page page = query.Fetch(start, count);
    if (page.result != 0 && !follow) {
        return ReportCause(query.ExportName(), page.result, "log of " + DisplayOwner(owner.value_or("")));
    }
    if (page.result == 0) {
        printer.Print(page, page.returned, follow, true);
        if (!options.Has("--json") && !follow) {
            // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict, wrongly) on "(" + std::string.
            std::string summary = std::to_string(page.returned);
            summary.insert(0, 1, '(');
            summary += " of " + std::to_string(page.total);
            summary += query.job ? " records of job " + std::to_string(*query.job) : std::string(" records");
            summary += ")\n";
            Print(summary);
        }
    }
    if (!follow) return kSuccess;
    return Follow(query, printer, page.result == 0 ? page.total : 0, timeout);
}

const CommandRegistration kRegistration({"show", "print records, newest first (table or JSON lines)", kUsage, Run});

}  // namespace

}  // namespace actlogtool
