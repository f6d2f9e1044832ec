// The kill -9 torture run. Writers (three on owner vm1, one on the machine's
// log), a pruner whose cut-off trails the clock by half the run, a rebuilder
// that also drops vm1's index now and then, and a reader run as processes on
// the real shared library (maintenance/torture_child.cpp); one of them is
// killed with SIGKILL at random every few tens of milliseconds and started
// again, for LOG_TORTURE_SECONDS (60 by default); they also kill themselves
// inside calls now and then. Then, after one ReIndexLog per owner, every record
// a writer was told is logged and that is not older than the newest cut-off
// ever tried stands exactly once, in its writer's order; no other text is
// read back; `actlog verify --all` passes. A role that finishes no call for 20
// seconds is a hang. Prints one line "torture: name=value ...", also kept as
// the test's property "figures". LOG_TORTURE_KEEP=<dir> keeps the sandbox.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "Log.h"
#include "support/child_process.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

constexpr auto kHangTime = std::chrono::seconds(20);
constexpr int kWriters = 4;

// One role: its processes one after the other, each writing its own output file.
struct Role {
    Role(std::string n, std::string c, std::vector<std::string> a)
        : name(std::move(n)), command(std::move(c)), args(std::move(a)) {}
    std::string name;
    std::string command;
    std::vector<std::string> args;  // a writer's tag (args[2]) is its name and generation
    int generation = 0;
    ChildProcess process;
    std::uintmax_t outputSize = 0;
    Clock::time_point progress;  // the last time any of its processes finished a call
    fs::path Output(const fs::path& dir, int g) const { return dir / (name + "." + std::to_string(g) + ".out"); }
};

// The complete lines of a file (a process killed while writing leaves a torn last line).
std::vector<std::string> CompleteLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> lines;
    for (std::size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
        lines.push_back(text.substr(begin, end - begin));
    }
    return lines;
}

// A record text "w<writer>.<generation>-<n>" as (writer, generation, n).
struct RecordId {
    int writer = -1;
    long generation = 0, n = 0;
    auto operator<=>(const RecordId&) const = default;
};
bool ParseId(const std::string& text, RecordId* id) {
    char end = 0;
    return std::sscanf(text.c_str(), "w%d.%ld-%ld%c", &id->writer, &id->generation, &id->n, &end) == 3;
}

class KillTorture : public SandboxTest {
protected:
    void Start(Role& role) {
        if (role.command == "torture-write") role.args[2] = role.name + "." + std::to_string(role.generation);
        role.process = StartLogChild(sandbox, role.command, role.args, role.Output(outputs, role.generation));
        role.outputSize = 0;
        ASSERT_TRUE(role.process.started()) << role.name;
    }
    void Restart(Role& role) {
        role.process.Kill();
        ++role.generation;
        Start(role);
    }
    // Notes progress; a role without any for kHangTime is a hang, killed and restarted.
    void Watch(Role& role, Clock::time_point now) {
        std::error_code ec;
        std::uintmax_t size = fs::file_size(role.Output(outputs, role.generation), ec);
        if (!ec && size > role.outputSize) {
            role.outputSize = size;
            role.progress = now;
        } else if (now - role.progress > kHangTime) {
            ++hangs;
            ADD_FAILURE() << role.name << " made no call for " << kHangTime.count() << " s";
            role.progress = now;
            Restart(role);
        }
        if (role.process.Poll()) {  // only a kill may end a process before the stop
            if (role.process.Wait() == 128 + 9) {
                ++selfKills;
            } else {
                ++exits;
                ADD_FAILURE() << role.name << "." << role.generation << " ended with " << role.process.Wait();
            }
            Restart(role);
        }
    }

    fs::path outputs = sandbox.root / "out";
    fs::path stop = sandbox.root / "stop";
    int kills = 0, selfKills = 0, hangs = 0, exits = 0;
};

TEST_F(KillTorture, NothingAcknowledgedIsLost) {
    const char* setting = std::getenv("LOG_TORTURE_SECONDS");
    const int seconds = setting != nullptr ? std::atoi(setting) : 60;
    sandbox.InstallSharedLibrary();
    fs::create_directories(outputs);
    const std::string stopArg = Utf8(U16(stop));
    std::vector<Role> roles;
    for (int w = 0; w < kWriters; ++w) {
        roles.emplace_back("w" + std::to_string(w), "torture-write",
                           Args{stopArg, w < kWriters - 1 ? "vm1" : "-", "", std::to_string(w + 1)});
    }
    roles.emplace_back("prune", "torture-prune", Args{stopArg, std::to_string(seconds / 2)});
    roles.emplace_back("rebuild", "torture-rebuild", Args{stopArg, Utf8(U16(Index("vm1")))});
    roles.emplace_back("read", "torture-read", Args{stopArg});

    std::mt19937 random(std::random_device{}());
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    for (Role& role : roles) {
        role.progress = Clock::now();
        Start(role);
    }
    while (Clock::now() < end && !HasFatalFailure()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 100)(random)));
        for (Role& role : roles) Watch(role, Clock::now());
        Restart(roles[std::uniform_int_distribution<std::size_t>(0, roles.size() - 1)(random)]);
        ++kills;
    }
    WriteBytes(stop, {});
    const Clock::time_point stopBy = Clock::now() + kHangTime;
    for (Role& role : roles) {
        while (!role.process.Poll() && Clock::now() < stopBy)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!role.process.Poll()) {
            ++hangs;
            ADD_FAILURE() << role.name << " did not stop within " << kHangTime.count() << " s";
            role.process.Kill();
        }
    }

    // What the processes said: the records acknowledged, the newest cut-off tried.
    long long newestCut = 0;
    int pruned = 0, readFailures = 0;
    std::map<RecordId, long long> acknowledged;  // -> epoch second before the call
    for (const Role& role : roles) {
        for (int g = 0; g <= role.generation; ++g) {
            for (const std::string& line : CompleteLines(role.Output(outputs, g))) {
                std::istringstream in(line);
                std::string word;
                long long value = 0, before = 0;
                in >> word >> value >> before;
                RecordId id;
                if (role.name == "prune" && word == "cut") newestCut = std::max(newestCut, value);
                if (role.name == "prune" && word != "cut") pruned += std::max(0, std::atoi(word.c_str()));
                if (role.name == "read" && word != "0") ++readFailures;
                if (role.name[0] == 'w' && value == 0 && ParseId(word, &id)) acknowledged[id] = before;
            }
        }
    }

    // The library repairs what the dead left on the next ordinary calls.
    std::map<RecordId, int> seen;
    int duplicates = 0, misordered = 0, foreign = 0, unreadable = 0;
    for (const char16_t* owner : {u"vm1", static_cast<const char16_t*>(nullptr)}) {
        ReIndexLog(owner != nullptr ? W(owner) : nullptr);
        std::optional<std::vector<std::u16string>> texts = LoggedMessages(owner != nullptr ? W(owner) : nullptr);
        if (!texts) {
            ++unreadable;
            continue;
        }
        std::map<int, RecordId> last;  // per writer
        for (const std::u16string& text : *texts) {
            RecordId id;
            if (!ParseId(Utf8(text), &id)) {
                ++foreign;
                continue;
            }
            if (++seen[id] > 1) ++duplicates;
            auto previous = last.find(id.writer);
            if (previous != last.end() && id < previous->second) ++misordered;
            last[id.writer] = id;
        }
    }
    int checked = 0, lost = 0;
    std::string lostTexts;
    for (const auto& [id, before] : acknowledged) {
        if (before < newestCut) continue;  // a prune may have removed it
        ++checked;
        if (seen.count(id) == 0 && ++lost <= 10) {
            lostTexts +=
                " w" + std::to_string(id.writer) + "." + std::to_string(id.generation) + "-" + std::to_string(id.n);
        }
    }
    fs::copy_file(ArtifactDir() / ProgramName("actlog"), sandbox.bin / ProgramName("actlog"));
    std::string verifyOutput;
    const int verify = RunProgram(sandbox.bin / ProgramName("actlog"), {"verify", "--all"}, &verifyOutput);

    char figures[400];
    std::snprintf(
        figures, sizeof figures,
        "torture: seconds=%d kills=%d self_kills=%d acknowledged=%zu checked=%d lost=%d duplicates=%d misordered=%d "
        "hangs=%d exits=%d unreadable=%d foreign=%d verify=%d pruned=%d read_failures=%d",
        seconds, kills + selfKills, selfKills, acknowledged.size(), checked, lost, duplicates, misordered, hangs, exits,
        unreadable, foreign, verify, pruned, readFailures);
    std::printf("%s\n", figures);
    RecordProperty("figures", figures);
    if (const char* keep = std::getenv("LOG_TORTURE_KEEP")) {
        fs::copy(sandbox.root, keep, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }
    EXPECT_EQ(0, lost) << "acknowledged records missing, e.g." << lostTexts;
    EXPECT_EQ(0, duplicates);
    EXPECT_EQ(0, misordered);
    EXPECT_EQ(0, foreign) << "GetLog shows records no writer wrote (merged or torn lines)";
    EXPECT_EQ(0, unreadable) << "a log GetLog cannot read after ReIndexLog";
    EXPECT_EQ(0, verify) << verifyOutput;
    EXPECT_GT(kills, 0);
    EXPECT_GT(checked, 0);
    EXPECT_GT(pruned, 0) << "no prune removed anything: the run proves little";
}

}  // namespace
