// actlog collect on Linux: delivery to a real rsyslog over TCP and a local
// socket, also after a collector killed half-way.
#ifndef _WIN32
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "actlog_fixture.h"

namespace actlogtest {
namespace {

// Writes a journal as the library does (byte-order mark, then per line "%10d ",
// the line's byte count, and the UTF-16 line ending in CR LF): lines from the
// machine and three owners, every severity, a PRUNE every 1000 lines. Gives
// each line as the rsyslog template below writes it.
std::multiset<std::string> WriteJournal(const fs::path& path, int count, std::size_t padding = 0) {
    static const char kSyslogSeverity[] = "634652";
    std::multiset<std::string> received;
    std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
    for (int i = 0; i < count; ++i) {
        char time[16];
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", i / 3600 % 24, i / 60 % 60, i % 60);
        const std::string owner = i % 4 == 0 ? "" : "vm0" + std::to_string(i % 4);
        const bool prune = i % 1000 == 999;
        std::string line = (prune ? "PRUNE 2024/03/05 " : "ADD 2024/03/05 ") + std::string(time) +
                           (prune ? " - " : " -- ") + (owner.empty() ? "<NULL>" : owner) + (prune ? " - " : " -- ");
        const std::string data = "|[actlog@32473 owner=\"" + owner + "\" ";
        if (prune) {
            received.insert("PRUNE|5|actlog|-" + data + "before=\"2024-03-05T" + time +
                            "Z\"]|\xEF\xBB\xBFrecords before 2024-03-05 " + time + " removed");
        } else {
            const std::string severity = std::to_string(i % 6), job = std::to_string(i % 7);
            const std::string message =
                "record " + std::to_string(i) + " \"\xC3\xA9t\xC3\xA9\" [x]" + std::string(padding, 'p');
            line += severity + " - Job" + job + " - " + message;
            received.insert("ADD|" + std::string(1, kSyslogSeverity[i % 6]) + "|actlog|2024-03-05T" + time + "Z" +
                            data + "job=\"" + job + "\" severity=\"" + severity + "\"]|\xEF\xBB\xBF" + message);
        }
        std::u16string text = U16(std::string_view(line)) + u"\r\n";
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%10d ", static_cast<int>(2 * text.size()));
        std::vector<std::uint8_t> record = Utf16Bytes(U16(std::string_view(prefix)) + text);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    WriteBytes(path, bytes);
    return received;
}

// rsyslogd in the foreground with its own configuration, pid file and work
// directory, listening on 127.0.0.1 only (TCP on a port of its choosing, and a
// local socket), writing every message it receives to one file.
class Rsyslog {
public:
    explicit Rsyslog(const fs::path& dir) : dir_(dir) {
        fs::create_directories(dir_ / "work");
        std::ofstream(dir_ / "rsyslog.conf")
            << "global(workDirectory=\"" << (dir_ / "work").string() << "\" maxMessageSize=\"64k\")\n"
            << "module(load=\"imtcp\")\nmodule(load=\"imuxsock\" SysSock.Use=\"off\")\n"
            << "template(name=\"fields\" type=\"string\" string=\"%msgid%|%syslogseverity%|%app-name%|"
               "%timereported:::date-rfc3339%|%structured-data%|%msg%\\n\")\n"
            << "ruleset(name=\"in\") { action(type=\"omfile\" file=\"" << (dir_ / "received.log").string()
            << "\" template=\"fields\") }\n"
            << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"0\" listenPortFileName=\""
            << (dir_ / "port").string() << "\" ruleset=\"in\")\n"
            << "input(type=\"imuxsock\" socket=\"" << (dir_ / "log.sock").string() << "\" ruleset=\"in\" "
            << "ratelimit.interval=\"0\" useSpecialParser=\"off\" parseHostname=\"on\" ignoreTimestamp=\"off\")\n";
        daemon_ = ChildProcess::Start("/usr/sbin/rsyslogd",
                                      {"-n", "-f", (dir_ / "rsyslog.conf").string(), "-i", (dir_ / "pid").string()},
                                      dir_ / "rsyslogd.out", dir_ / "rsyslogd.out");
        for (int k = 0; k < 200 && Port().empty(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Rsyslog() { daemon_.Kill(); }

    std::string Port() const { return Read("port"); }
    std::string Tcp() const { return "tcp:127.0.0.1:" + Port(); }
    std::string Socket() const { return "unix:" + (dir_ / "log.sock").string(); }
    void Signal(int signal) const {
        const int pid = std::atoi(Read("pid").c_str());
        ASSERT_GT(pid, 0);
        kill(pid, signal);
    }

    // The lines received after the first `from`, once there are `count` of them
    // or no more arrive for 3 seconds. A PRUNE has no time of its own (rsyslog
    // stamps it on arrival): "-" stands for it.
    std::vector<std::string> Received(std::size_t from, std::size_t count) const {
        std::vector<std::string> lines;
        for (auto last = std::chrono::steady_clock::now();;) {
            std::size_t seen = lines.size();
            lines = Lines(Read("received.log"));
            if (lines.size() >= from + count) break;
            if (lines.size() != seen) last = std::chrono::steady_clock::now();
            if (std::chrono::steady_clock::now() - last > std::chrono::seconds(3)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())));
        for (std::string& line : lines) {
            if (line.rfind("PRUNE|5|actlog|", 0) == 0 && line.find('|', 15) != std::string::npos) {
                line.replace(15, line.find('|', 15) - 15, "-");
            }
        }
        return lines;
    }

private:
    std::string Read(const char* name) const { return ReadText(dir_ / name); }

    fs::path dir_;
    ChildProcess daemon_;
};

using CollectTest = ActlogTest;

TEST_F(CollectTest, RsyslogReceivesEveryRecordOverEachStreamAndAfterACollectorWasKilled) {
    Rsyslog rsyslog(sandbox.root / "rsyslog");
    ASSERT_FALSE(rsyslog.Port().empty()) << "rsyslogd did not start (scripts/setup installs it)";
    const fs::path journal = sandbox.dataSync / "activity_sync.log";
    const fs::path handOver = sandbox.dataSync / "activity_sync_trans.log";
    std::size_t before = 0;  // lines received in earlier steps
    for (const auto& [to, records] : {std::pair{rsyslog.Tcp(), 10000}, std::pair{rsyslog.Socket(), 1000}}) {
        SCOPED_TRACE(to);
        const std::multiset<std::string> sent = WriteJournal(journal, records);
        EXPECT_EQ(Output({"collect", "--to", to, "--once"}),
                  "collect: " + std::to_string(records) + " records (" + std::to_string(records - records / 1000) +
                      " ADD, " + std::to_string(records / 1000) + " PRUNE) sent to " + to + "\n");
        std::vector<std::string> received = rsyslog.Received(before, sent.size());
        before += received.size();
        EXPECT_TRUE(std::multiset<std::string>(received.begin(), received.end()) == sent)
            << received.size() << " received, the first: " << (received.empty() ? "" : received[0]);
        EXPECT_FALSE(Exists(journal));
        EXPECT_FALSE(Exists(handOver));
    }

    // Large records while rsyslog is stopped: the socket buffers fill and the
    // collector is blocked half-way through the journal when it is killed.
    const std::multiset<std::string> sent = WriteJournal(journal, 10000, 3000);
    rsyslog.Signal(SIGSTOP);
    ChildProcess collector = ChildProcess::Start(Actlog(), {"collect", "--to", rsyslog.Tcp()}, sandbox.root / "out");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_FALSE(collector.Poll().has_value()) << "the collector finished while rsyslog was stopped";
    collector.Kill();
    rsyslog.Signal(SIGCONT);
    EXPECT_TRUE(Exists(handOver));
    const std::size_t first = rsyslog.Received(before, sent.size()).size();
    EXPECT_LT(first, sent.size());
    Output({"collect", "--to", rsyslog.Tcp(), "--once"});
    std::vector<std::string> received = rsyslog.Received(before, first + sent.size());
    const std::set<std::string> distinct(received.begin(), received.end());
    EXPECT_TRUE(std::includes(distinct.begin(), distinct.end(), sent.begin(), sent.end())) << "a record was lost";
    EXPECT_LE(distinct.size(), sent.size() + 1) << "more than the frame cut by the kill";
    EXPECT_GT(received.size(), distinct.size()) << "the first run sent nothing";
    EXPECT_FALSE(Exists(handOver));
}

}  // namespace
}  // namespace actlogtest

#endif
