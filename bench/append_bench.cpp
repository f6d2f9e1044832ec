// Appends against their references, side by side in one run:
//   - one thread: VMJobLogActivity with one record, against the floor program
//     (append_floor.c, 13 system calls) writing a record of the same size, and
//     against an SQLite insert (WAL, autocommit, synchronous=NORMAL; not in the
//     Windows build, which has no SQLite);
//   - 4 processes appending to one owner: aggregate throughput of the library
//     against the floor program's with 4 processes.
//
//   append_bench <work directory> [appends per batch]      (default 2000)
//
// The work directory receives bin/, Logs/ and the references' files; they are
// deleted at the end.
#ifdef BENCH_SQLITE
#include <sqlite3.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../Native/Messages/message_ids.h"
#include "append_floor.h"
#include "bench_support.h"

namespace {

using namespace bench;

constexpr int kBatches = 9;
constexpr int kProcesses = 4;
constexpr int kRounds = 3;
const char16_t kOwner[] = u"vm01";
const char16_t kMessage[] = u"Backup of virtual machine vm01 completed.";

void Fail(const char* what) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
}

void LibraryAppend() {
    if (VMJobLogActivity(reinterpret_cast<const LOG_WCHAR*>(kOwner), 1, 7, MSG_PLAIN_TEXT, kMessage) != 0) {
        Fail("VMJobLogActivity");
    }
}

struct Floor {
    std::string lock, newLog, log, index;
    std::vector<char16_t> record;
    floor_paths paths{};

    Floor(const fs::path& dir, std::size_t recordBytes) {
        fs::create_directories(dir);
        lock = (dir / "lock").string();
        newLog = (dir / "floor.activity.log.new").string();
        log = (dir / "floor.activity.log").string();
        index = (dir / "floor.activity.idx").string();
        paths = {lock.c_str(), newLog.c_str(), log.c_str(), index.c_str()};
        record.assign(recordBytes / 2, u'x');
        record[record.size() - 2] = u'\r';
        record.back() = u'\n';
    }
    void Append() const {
        if (floor_append(&paths, record.data(), static_cast<unsigned>(2 * record.size())) != 0) Fail("floor append");
    }
};

#ifdef BENCH_SQLITE
struct Sqlite {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;

    explicit Sqlite(const fs::path& file) {
        if (sqlite3_open(file.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db,
                         "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                         "CREATE TABLE activity(time INTEGER, severity INTEGER, job INTEGER, message TEXT);",
                         nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db, "INSERT INTO activity VALUES (?, ?, ?, ?)", -1, &insert, nullptr) != SQLITE_OK) {
            Fail("sqlite setup");
        }
    }
    ~Sqlite() {
        sqlite3_finalize(insert);
        sqlite3_close(db);
    }
    void Append(std::int64_t time) const {
        sqlite3_bind_int64(insert, 1, time);
        sqlite3_bind_int(insert, 2, 1);
        sqlite3_bind_int(insert, 3, 7);
        sqlite3_bind_text16(insert, 4, kMessage, -1, SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) Fail("sqlite insert");
        sqlite3_reset(insert);
    }
};
#endif

// Microseconds one call of `append` takes, over `count` calls.
double PerCall(int count, const std::function<void(int)>& append) {
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < count; ++i) append(i);
    return Seconds(t0) * 1e6 / count;
}

// Appends per second of `processes` processes making `count` appends each,
// all started at once; `who` is "library" or "floor" (a Windows child's role).
double Aggregate(const char* self, const fs::path& work, int count, const char* who, std::size_t recordBytes,
                 const std::function<void()>& append) {
    double took = RunTogether(kProcesses, self,
                              {"--child", who, work.string(), std::to_string(count), std::to_string(recordBytes)},
                              [&] {
                                  for (int i = 0; i < count; ++i) append();
                              });
    if (took <= 0) Fail("processes");
    return kProcesses * count / took;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <work directory> [appends per batch]\n", argv[0]);
        return 2;
    }
    if (argc == 7 && std::string(argv[1]) == "--child") {
        // append_bench --child library|floor <work> <count> <record bytes> <start event>
        fs::path work = argv[3];
        int count = std::atoi(argv[4]);
        Start(work, SelfDirectory());
        Floor floor(work / "floor", std::strtoul(argv[5], nullptr, 10));
        bool library = std::string(argv[2]) == "library";
        return RunChild(argv[6], [&] {
            for (int i = 0; i < count; ++i) library ? LibraryAppend() : floor.Append();
        });
    }
    fs::path work = fs::absolute(argv[1]);
    int perBatch = argc > 2 ? std::atoi(argv[2]) : 2000;
    Start(work, SelfDirectory());
    fs::path log = work / "Logs" / "vm01.activity.log";

    // One append first: the owner's pair exists, and a record's size is known.
    LibraryAppend();
    auto before = fs::file_size(log);
    LibraryAppend();
    std::size_t recordBytes = static_cast<std::size_t>(fs::file_size(log) - before);
    Floor floor(work / "floor", recordBytes);
    floor.Append();
#ifdef BENCH_SQLITE
    Sqlite sqlite(work / "sqlite.db");
    sqlite.Append(0);
#endif
    std::printf("record of %zu bytes, %d appends a batch\n", recordBytes, perBatch);

    // Batches alternate, so that every side sees the same machine state.
    std::vector<double> library, floorTimes, sqliteTimes;
    for (int b = 0; b < kBatches; ++b) {
        library.push_back(PerCall(perBatch, [](int) { LibraryAppend(); }));
        floorTimes.push_back(PerCall(perBatch, [&](int) { floor.Append(); }));
#ifdef BENCH_SQLITE
        sqliteTimes.push_back(PerCall(perBatch, [&](int i) { sqlite.Append(i); }));
#endif
    }
    std::vector<double> libraryShared, floorShared;
    for (int r = 0; r < kRounds; ++r) {
        libraryShared.push_back(Aggregate(argv[0], work, perBatch, "library", recordBytes, [] { LibraryAppend(); }));
        floorShared.push_back(Aggregate(argv[0], work, perBatch, "floor", recordBytes, [&] { floor.Append(); }));
    }
    std::printf("1 thread: library %.2f us, floor %.2f us, SQLite %.2f us; %d processes: library %.0f/s, floor %.0f/s\n",
                MedianOf(library), MedianOf(floorTimes), MedianOf(sqliteTimes), kProcesses, MedianOf(libraryShared),
                MedianOf(floorShared));

    Report("append, 1 thread", MedianOf(library), "us", "floor program, 13 system calls", MedianOf(floorTimes),
           "ratio<=0.85");
#ifdef BENCH_SQLITE
    Report("append, 1 thread", MedianOf(library), "us", "SQLite WAL insert, synchronous=NORMAL", MedianOf(sqliteTimes),
           "ratio<=0.5");
#endif
    Report("append, 4 processes, one owner", MedianOf(libraryShared), "/s", "floor program, 4 processes",
           MedianOf(floorShared), "ratio>=1");
    fs::remove_all(work / "Logs");
    std::error_code inUse;  // Windows: the loaded message library stays until exit
    fs::remove_all(work / "bin", inUse);
    fs::remove_all(work / "floor");
    fs::remove(work / "sqlite.db");
    fs::remove(work / "sqlite.db-wal");
    fs::remove(work / "sqlite.db-shm");
    return 0;
}
