// actlog collect: JSON lines, and (on Linux) delivery to a real rsyslog over
// TCP and a local socket, a collector killed half-way.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "actlog_fixture.h"

#ifndef _WIN32
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace actlogtest {
namespace {

// One journal line and how it leaves the collector.
struct JournalLine {
    std::string kind, time, owner;  // time "YYYY/MM/DD hh:mm:ss"; owner "<NULL>" for the machine
    int severity = 0, job = 0;
    std::string message;

    std::string Line() const {
        if (kind == "PRUNE") return "PRUNE " + time + " - " + owner + " - ";
        return "ADD " + time + " -- " + owner + " -- " + std::to_string(severity) + " - Job" + std::to_string(job) +
               " - " + message;
    }
    std::string Iso() const {
        std::string iso = time;
        iso[4] = iso[7] = '-';
        iso[10] = 'T';
        return iso + "Z";
    }
    std::string OwnerParam() const { return owner == "<NULL>" ? "" : owner; }
    // The rsyslog template below: msgid|severity|app-name|time|structured data|msg.
    std::string Received() const {
        static const int kSyslog[] = {6, 3, 4, 6, 5, 2};
        if (kind == "PRUNE") {
            return "PRUNE|5|actlog|-|[actlog@32473 owner=\"" + OwnerParam() + "\" before=\"" + Iso() +
                   "\"]|\xEF\xBB\xBFrecords before " + Iso().substr(0, 10) + " " + time.substr(11) + " removed";
        }
        return "ADD|" + std::to_string(kSyslog[severity]) + "|actlog|" + Iso() + "|[actlog@32473 owner=\"" +
               OwnerParam() + "\" job=\"" + std::to_string(job) + "\" severity=\"" + std::to_string(severity) +
               "\"]|\xEF\xBB\xBF" + message;
    }
};

// Writes the journal file as the library does: byte-order mark, then per line
// "%10d " (the line's byte count) and the UTF-16 line ending in CR LF.
void WriteJournal(const fs::path& path, const std::vector<JournalLine>& lines) {
    std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
    for (const JournalLine& line : lines) {
        std::u16string text = U16(std::string_view(line.Line())) + u"\r\n";
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%10d ", static_cast<int>(2 * text.size()));
        std::vector<std::uint8_t> record = Utf16Bytes(U16(std::string_view(prefix)) + text);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    WriteBytes(path, bytes);
}

#ifndef _WIN32
// `count` lines from the machine and three owners, every severity, with a
// PRUNE line every 1000 records.
std::vector<JournalLine> ManyLines(int count, std::size_t padding = 0) {
    std::vector<JournalLine> lines;
    for (int i = 0; i < count; ++i) {
        char time[32];
        std::snprintf(time, sizeof time, "2024/03/05 %02d:%02d:%02d", i / 3600 % 24, i / 60 % 60, i % 60);
        std::string owner = i % 4 == 0 ? "<NULL>" : "vm0" + std::to_string(i % 4);
        if (i % 1000 == 999) {
            lines.push_back({"PRUNE", time, owner, 0, 0, ""});
            continue;
        }
        lines.push_back({"ADD", time, owner, i % 6, i % 7,
                         "record " + std::to_string(i) + " \"\xC3\xA9t\xC3\xA9\" [x]" + std::string(padding, 'p')});
    }
    return lines;
}
#endif

using CollectTest = ActlogTest;

TEST_F(CollectTest, JsonLinesSendTheLeftOverJournalFirstAndRemoveBoth) {
    const fs::path handOver = sandbox.dataSync / "activity_sync_trans.log";
    const fs::path journal = sandbox.dataSync / "activity_sync.log";
    WriteJournal(handOver, {{"ADD", "2024/03/04 10:00:00", "vm09", 2, 3, "left over"}});
    WriteJournal(journal, {{"ADD", "2024/03/05 14:07:09", "<NULL>", 1, 0, "disk \"full\" \xC3\xBC"},
                           {"PRUNE", "2024/03/01 00:00:00", "vm02", 0, 0, ""}});
    RunResult run = Run({"collect", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              R"({"kind":"ADD","time":"2024-03-04 10:00:00","severity":2,"label":"Warning","job":3,"owner":"vm09",)"
              R"("message":"left over"})" "\n"
              R"({"kind":"ADD","time":"2024-03-05 14:07:09","severity":1,"label":"Error","job":0,"owner":null,)"
              R"("message":"disk \"full\" )" "\xC3\xBC" R"("})" "\n"
              R"({"kind":"PRUNE","time":"2024-03-01 00:00:00","severity":null,"label":null,"job":null,)"
              R"("owner":"vm02","message":null})" "\n");
    EXPECT_FALSE(Exists(handOver));
    EXPECT_FALSE(Exists(journal));
    RunResult again = Run({"collect", "--json", "--once"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "");
}

#ifndef _WIN32

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(port);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return ok;
}

// rsyslogd in the foreground with its own configuration, pid file and work
// directory, listening on 127.0.0.1 only (TCP and UDP on a free port, and a
// local socket), writing every message it receives to one file.
class Rsyslog {
public:
    explicit Rsyslog(const fs::path& dir) : dir_(dir), port_(FreePort()) {
        fs::create_directories(dir_ / "work");
        std::ofstream(dir_ / "rsyslog.conf")
            << "global(workDirectory=\"" << (dir_ / "work").string() << "\" maxMessageSize=\"64k\")\n"
            << "module(load=\"imtcp\")\nmodule(load=\"imuxsock\" SysSock.Use=\"off\")\n"
            << "template(name=\"fields\" type=\"string\" string=\"%msgid%|%syslogseverity%|%app-name%|"
               "%timereported:::date-rfc3339%|%structured-data%|%msg%\\n\")\n"
            << "ruleset(name=\"in\") { action(type=\"omfile\" file=\"" << Output().string()
            << "\" template=\"fields\") }\n"
            << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << port_ << "\" ruleset=\"in\")\n"
            << "input(type=\"imuxsock\" socket=\"" << Socket().string() << "\" ruleset=\"in\" ratelimit.interval=\"0\" "
            << "useSpecialParser=\"off\" parseHostname=\"on\" ignoreTimestamp=\"off\")\n";
        Start();
    }
    ~Rsyslog() { daemon_.Kill(); }

    void Start() {
        const char* program = "/usr/sbin/rsyslogd";
        ASSERT_TRUE(fs::exists(program)) << "rsyslogd is missing (scripts/setup installs it)";
        daemon_ = ChildProcess::Start(program, {"-n", "-f", (dir_ / "rsyslog.conf").string(), "-i", PidFile().string()},
                                      dir_ / "rsyslogd.out", dir_ / "rsyslogd.err");
        ASSERT_TRUE(daemon_.started());
        for (int k = 0; k < 200 && !Accepts(port_); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(Accepts(port_)) << "rsyslogd did not start";
    }
    void Signal(int signal) const {
        pid_t pid = 0;
        std::ifstream(PidFile()) >> pid;
        ASSERT_GT(pid, 0);
        kill(pid, signal);
    }

    std::string Tcp() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    fs::path Socket() const { return dir_ / "log.sock"; }
    fs::path Output() const { return dir_ / "received.log"; }
    fs::path PidFile() const { return dir_ / "rsyslogd.pid"; }

    // The lines received, once there are `expected` or no more arrive for 3 seconds.
    std::vector<std::string> Received(std::size_t expected) const {
        std::vector<std::string> lines;
        auto last = std::chrono::steady_clock::now();
        for (std::size_t seen = 0;;) {
            std::ifstream in(Output(), std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            lines = Lines(text.str());
            if (lines.size() >= expected) return lines;
            if (lines.size() != seen) last = std::chrono::steady_clock::now();
            if (std::chrono::steady_clock::now() - last > std::chrono::seconds(3)) return lines;
            seen = lines.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

private:
    fs::path dir_;
    int port_;
    ChildProcess daemon_;
};

// How often each journal line arrived; lines that match none are counted apart.
struct Tally {
    std::size_t missing = 0, duplicates = 0, unknown = 0;
};
Tally Count(const std::vector<JournalLine>& sent, const std::vector<std::string>& received) {
    std::map<std::string, int> seen;
    for (const JournalLine& line : sent) seen[line.Received()] = 0;
    Tally tally;
    for (std::string line : received) {
        // A PRUNE has no time of its own: rsyslog stamps it with the time it arrived.
        if (line.rfind("PRUNE|", 0) == 0 && std::count(line.begin(), line.end(), '|') >= 4) {
            std::size_t at = line.find('|', line.find('|', 6) + 1) + 1;
            line.replace(at, line.find('|', at) - at, "-");
        }
        auto it = seen.find(line);
        if (it == seen.end()) ++tally.unknown;
        else if (it->second++ > 0) ++tally.duplicates;
    }
    for (const auto& [line, times] : seen) tally.missing += times == 0 ? 1 : 0;
    return tally;
}

class CollectRsyslogTest : public ActlogTest {
protected:
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    fs::path HandOver() const { return sandbox.dataSync / "activity_sync_trans.log"; }
    Rsyslog rsyslog{sandbox.root / "rsyslog"};
};

TEST_F(CollectRsyslogTest, EveryRecordArrivesWithItsFieldsOverEachStream) {
    struct Case {
        std::string to;
        int records;
    };
    for (const Case& c : {Case{rsyslog.Tcp(), 10000}, Case{"unix:" + rsyslog.Socket().string(), 1000}}) {
        SCOPED_TRACE(c.to);
        const std::size_t before = rsyslog.Received(0).size();
        std::vector<JournalLine> lines = ManyLines(c.records);
        WriteJournal(Journal(), lines);
        RunResult run = Run({"collect", "--to", c.to, "--once"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::size_t prunes = static_cast<std::size_t>(c.records / 1000);
        EXPECT_EQ(run.out, "collect: " + std::to_string(c.records) + " records (" +
                               std::to_string(static_cast<std::size_t>(c.records) - prunes) + " ADD, " +
                               std::to_string(prunes) + " PRUNE) sent to " + c.to + "\n");
        std::vector<std::string> received = rsyslog.Received(before + lines.size());
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(before));
        Tally tally = Count(lines, received);
        EXPECT_EQ(tally.missing, 0u);
        EXPECT_EQ(tally.duplicates, 0u);
        EXPECT_EQ(tally.unknown, 0u) << (received.empty() ? std::string() : received.front());
        EXPECT_FALSE(Exists(Journal()));
        EXPECT_FALSE(Exists(HandOver()));
    }
}

TEST_F(CollectRsyslogTest, CollectorKilledHalfWayLosesNothingOnTheNextRun) {
    // Large records while rsyslog is stopped: the socket buffers fill and the
    // collector is blocked half-way through the journal when it is killed.
    std::vector<JournalLine> lines = ManyLines(10000, 3000);
    WriteJournal(Journal(), lines);
    rsyslog.Signal(SIGSTOP);
    ChildProcess collector = ChildProcess::Start(Actlog(), {"collect", "--to", rsyslog.Tcp()}, sandbox.root / "collect.out");
    ASSERT_TRUE(collector.started());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_FALSE(collector.Ended()) << "the collector finished while rsyslog was stopped";
    collector.Kill();
    rsyslog.Signal(SIGCONT);
    EXPECT_TRUE(Exists(HandOver()));
    const std::size_t first = rsyslog.Received(lines.size()).size();
    EXPECT_LT(first, lines.size());

    RunResult again = Run({"collect", "--to", rsyslog.Tcp(), "--once"});
    ASSERT_EQ(again.status, 0) << again.err;
    Tally tally = Count(lines, rsyslog.Received(first + lines.size()));
    EXPECT_EQ(tally.missing, 0u);
    EXPECT_LE(tally.unknown, 1u) << "at most the frame cut by the kill";
    EXPECT_GT(tally.duplicates, 0u);
    RecordProperty("received_in_first_run", std::to_string(first));
    RecordProperty("duplicates", std::to_string(tally.duplicates));
    EXPECT_FALSE(Exists(HandOver()));
}

#endif

}  // namespace
}  // namespace actlogtest
