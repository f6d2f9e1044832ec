// actlog collect: hands the sync journal over and sends each ADD and PRUNE
// line on as one RFC 5424 syslog message, or prints it as a JSON line. The
// hand-over journal is removed only after every line was accepted, so a run
// that stops half-way leaves it for the next run to send again: at least once.
#include <chrono>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

#include "Log.h"
#include "arguments.h"
#include "command.h"
#include "installation.h"
#include "syslog_transport.h"
#include "table.h"
#include "text.h"

#ifdef _WIN32
#include <cstdlib>
#else
#include <unistd.h>
#endif

namespace actlogtool {

namespace {

constexpr const char* kUsage =
    "usage: actlog collect [--to unix:PATH | udp:HOST:PORT | tcp:HOST:PORT | --json]\n"
    "                      [--once | --interval S] [--batch N]\n"
    "Hands the sync journal over (SwitchSyncLog4Trans), reads it in batches\n"
    "(GetNextSyncLogs) and sends each ADD and PRUNE line as one RFC 5424 syslog\n"
    "message (TCP: octet counting). The hand-over journal is removed only once\n"
    "every line was accepted; after a failure it stays and the next run sends it\n"
    "again (at least once, duplicates possible).\n"
    "  --to D        destination; default unix:/dev/log (Windows: udp:127.0.0.1:514)\n"
    "  --json        print JSON lines instead: kind, time, severity, label, job,\n"
    "                owner, message (null where a PRUNE line has none)\n"
    "  --once        one round, then exit (the default); exit 1 when it failed\n"
    "  --interval S  a round every S seconds until interrupted; failures are\n"
    "                reported and retried\n"
    "  --batch N     journal lines per read (default 500)\n";

#ifdef _WIN32
constexpr const char* kDefaultDestination = "udp:127.0.0.1:514";
#else
constexpr const char* kDefaultDestination = "unix:/dev/log";
#endif

// Facility "user"; structured data under the documentation enterprise number.
constexpr int kFacility = 1;
constexpr const char* kSdId = "actlog@32473";

struct SyncDeleter {
    void operator()(SyncLogEntry* entries) const { FreeSyncLog(entries); }
};

std::string HandOverPath() {
    LOG_WCHAR buffer[1024] = {};
    GetLogSyncFileTransName(buffer, 1024);
    return Narrow(buffer);
}

std::string HostName() {
#ifdef _WIN32
    const char* name = std::getenv("COMPUTERNAME");
    std::string host = name != nullptr ? name : "";
#else
    char buffer[256] = {};
    std::string host = gethostname(buffer, sizeof buffer - 1) == 0 ? buffer : "";
#endif
    for (char& c : host) {
        if (c <= ' ' || c > '~') c = '_';
    }
    return host.empty() ? "-" : host;
}

// One journal line as the collector passes it on.
struct Record {
    bool add = false;
    std::string time;  // "YYYY-MM-DD hh:mm:ss" (a PRUNE line: its cut-off)
    std::string owner;  // empty for the machine's own log
    int32_t severity = 0;
    int32_t job = 0;
    std::string message;
};

// A PRUNE line hands out its kind and cut-off only; its owner follows the
// cut-off in the line buffer the entry owns: "<cut-off>\0- <owner> - \0\n".
std::string PruneOwner(const SyncLogEntry& entry) {
    if (entry.timeText == nullptr) return {};
    const LOG_WCHAR* rest = entry.timeText;
    while (*rest != 0) ++rest;
    ++rest;
    if (rest[0] != '-' || rest[1] != ' ') return {};
    WideView owner(rest + 2);
    static constexpr LOG_WCHAR kEnd[] = {' ', '-', 0};
    std::size_t cut = owner.rfind(kEnd);
    return Narrow(cut == WideView::npos ? owner : owner.substr(0, cut));
}

Record ToRecord(const SyncLogEntry& entry) {
    Record record;
    record.add = Narrow(entry.kindText) == "ADD";
    record.time = Narrow(entry.timeText);
    record.owner = record.add ? Narrow(entry.ownerName) : PruneOwner(entry);
    if (record.owner == "<NULL>") record.owner.clear();
    record.severity = entry.severity;
    record.job = entry.jobNumber;
    record.message = Narrow(entry.messageText);
    return record;
}

// Record severity (1 Error, 2 Warning, 3 Info, 4 Success, 5 Critical, other
// General) to syslog severity; a PRUNE is a notice.
int SyslogSeverity(const Record& record) {
    if (!record.add) return 5;
    switch (record.severity) {
        case 1: return 3;
        case 2: return 4;
        case 4: return 5;
        case 5: return 2;
        default: return 6;
    }
}

// "YYYY-MM-DD hh:mm:ss" (UTC) as an RFC 5424 timestamp; "-" for anything else.
std::string Timestamp(const std::string& time) {
    if (time.size() != 19 || time[10] != ' ') return "-";
    return time.substr(0, 10) + "T" + time.substr(11) + "Z";
}

std::string ParamValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == ']') out += '\\';
        out += c;
    }
    return out;
}

std::string SyslogMessage(const Record& record, const std::string& host) {
    std::string text = "<";
    text += std::to_string(kFacility * 8 + SyslogSeverity(record));
    text += ">1 ";
    text += record.add ? Timestamp(record.time) : "-";
    text += " " + host + " actlog - " + (record.add ? "ADD" : "PRUNE");
    text += std::string(" [") + kSdId + " owner=\"" + ParamValue(record.owner) + "\"";
    if (record.add) {
        text += " job=\"";
        text += std::to_string(record.job);
        text += "\" severity=\"";
        text += std::to_string(record.severity);
        text += "\"]";
        text += " \xEF\xBB\xBF";
        text += record.message;
    } else {
        text += " before=\"";
        text += Timestamp(record.time);
        text += "\"]";
        text += " \xEF\xBB\xBFrecords before ";
        text += record.time;
        text += " removed";
    }
    return text;
}

// The field names of `actlog show --json`, with the line's kind in front.
std::string JsonLine(const Record& record) {
    std::string text = "{\"kind\":";
    text += JsonString(record.add ? "ADD" : "PRUNE");
    text += ",\"time\":";
    text += JsonString(record.time);
    if (record.add) {
        text += ",\"severity\":";
        text += std::to_string(record.severity);
        text += ",\"label\":";
        text += JsonString(SeverityLabel(static_cast<uint32_t>(record.severity)));
        text += ",\"job\":";
        text += std::to_string(record.job);
    } else {
        text += ",\"severity\":null,\"label\":null,\"job\":null";
    }
    text += ",\"owner\":";
    text += record.owner.empty() ? std::string("null") : JsonString(record.owner);
    text += ",\"message\":";
    text += record.add ? JsonString(record.message) : std::string("null");
    text += "}\n";
    return text;
}

struct Settings {
    bool json = false;
    SyslogDestination to;
    uint32_t batch = 500;
    std::string host;
};

struct Counts {
    uint64_t add = 0;
    uint64_t prune = 0;
};

// Sends the hand-over journal. False with the cause in `error`; the journal stays.
bool SendJournal(const Settings& settings, Counts& counts, std::string& error) {
    std::unique_ptr<SyslogTransport> transport;
    if (!settings.json) {
        transport = OpenTransport(settings.to, error);
        if (!transport) {
            error = "cannot send to " + settings.to.text + ": " + error;
            return false;
        }
    }
    int32_t result = 0;
    while (result == 0) {
        SyncLogEntry* raw = nullptr;
        uint32_t returned = 0;
        result = GetNextSyncLogs(settings.batch, &raw, &returned);
        std::unique_ptr<SyncLogEntry, SyncDeleter> entries(raw);
        if (result < 0) {
            error = "GetNextSyncLogs failed (result " + std::to_string(result) + "): a damaged journal line?";
            return false;
        }
        std::string text;
        for (uint32_t k = 0; k < returned; ++k) {
            Record record = ToRecord(entries.get()[k]);
            ++(record.add ? counts.add : counts.prune);
            if (settings.json) {
                text += JsonLine(record);
            } else if (!transport->Send(SyslogMessage(record, settings.host), error)) {
                SyncLogEntry* none = nullptr;
                uint32_t zero = 0;
                GetNextSyncLogs(0, &none, &zero);  // closes the reading position
                error = "sending to " + settings.to.text + " failed: " + error;
                return false;
            }
        }
        if (settings.json) Print(text);
    }
    if (settings.json) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            error = "cannot write standard output";
            return false;
        }
        return true;
    }
    if (!transport->Finish(error)) {
        error = "sending to " + settings.to.text + " failed: " + error;
        return false;
    }
    return true;
}

// One round: a hand-over journal left by an earlier run first, then what the
// journal holds now.
bool Round(const Settings& settings, Counts& counts, std::string& error) {
    const std::string handOver = HandOverPath();
    std::error_code ec;
    const bool leftOver = fs::exists(PathFromText(handOver), ec);
    for (int pass = 0; pass < (leftOver ? 2 : 1); ++pass) {
        if (SwitchSyncLog4Trans() != 0) break;  // nothing journaled
        if (!SendJournal(settings, counts, error)) return false;
        fs::remove(PathFromText(handOver), ec);
        if (ec) {
            error = "cannot remove " + handOver + ": " + ec.message();
            return false;
        }
    }
    return true;
}

void Report(const Settings& settings, const Counts& counts) {
    if (settings.json) return;
    Print("collect: " + std::to_string(counts.add + counts.prune) + " records (" + std::to_string(counts.add) +
          " ADD, " + std::to_string(counts.prune) + " PRUNE) sent to " + settings.to.text + "\n");
}

int Run(const std::vector<std::string>& args) {
    Arguments options(args, {{"--to", true}, {"--json", false}, {"--once", false}, {"--interval", true},
                             {"--batch", true}});
    if (options.Help()) return PrintUsage(kUsage);
    if (options.Has("--once") && options.Has("--interval")) throw UsageError("--once and --interval exclude each other");
    if (options.Has("--json") && options.Has("--to")) throw UsageError("--json and --to exclude each other");
    Settings settings;
    settings.json = options.Has("--json");
    settings.to = ParseDestination(options.Value("--to").value_or(kDefaultDestination));
    settings.batch = options.Number("--batch", 500);
    if (settings.batch == 0) throw UsageError("--batch must be at least 1");
    settings.host = HostName();
    const uint32_t interval = options.Number("--interval", 0);
    if (options.Has("--interval") && interval == 0) throw UsageError("--interval must be at least 1");

    for (;;) {
        Counts counts;
        std::string error;
        const bool ok = Round(settings, counts, error);
        if (!ok) {
            PrintError("actlog collect: " + error + "; the hand-over journal stays for the next run\n");
            if (interval == 0) return kFailure;
        } else if (interval == 0 || counts.add + counts.prune != 0) {
            Report(settings, counts);
        }
        if (interval == 0) return kSuccess;
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(interval));
    }
}

const CommandRegistration kRegistration({"collect", "send the sync journal to syslog (or JSON lines), at least once",
                                         kUsage, Run});

}  // namespace

}  // namespace actlogtool
