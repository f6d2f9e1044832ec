// Journal files written byte by byte for the reader tests, and copies of the
// entries the readers hand out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/log_files_helpers.h"
#include "support/sandbox.h"

#include "Log.h"
#include "sync/journal_reader.h"

namespace synctest {

namespace fs = std::filesystem;

inline std::u16string Record(std::u16string_view line) { return testsupport::JournalRecord(line); }

// A journal: the byte-order mark, then the given text.
inline void WriteJournal(const fs::path& path, const std::u16string& text) {
    fs::create_directories(path.parent_path());
    testsupport::WriteBytes(path, testsupport::Utf16Bytes(u"\xFEFF" + text));
}

using testsupport::W;

// A sandbox whose shared reading position is closed before and after each test.
class SyncTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        actlog::CloseSyncReadingPosition();
    }
    void TearDown() override {
        actlog::CloseSyncReadingPosition();
        SandboxTest::TearDown();
    }
    fs::path Sync(const char* name) const { return sandbox.dataSync / name; }
    fs::path HandOver() const { return Sync("activity_sync_trans.log"); }
    fs::path Full() const { return Sync("activity_sync_trans_full.log"); }
};

inline std::u16string Number(long long n) { return testsupport::U16(std::string_view(std::to_string(n))); }

inline std::optional<std::u16string> Copy(const LOG_WCHAR* text) {
    if (text == nullptr) return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

struct Entry {
    std::optional<std::u16string> kind, owner, time, message;
    std::int32_t severity = 0, job = 0;
    bool operator==(const Entry&) const = default;
};

inline Entry Copy(const SyncLogEntry& e) {
    return {Copy(e.kindText), Copy(e.ownerName), Copy(e.timeText), Copy(e.messageText), e.severity, e.jobNumber};
}

using Reader = int32_t (*)(uint32_t, SyncLogEntry**, uint32_t*) noexcept;

struct Batch {
    int32_t result = 0;
    std::vector<Entry> entries;
    bool arrayHandedOut = false;
    bool terminated = true;  // the entry after the last filled one has a null kindText
};

// One reader call; the array is copied and released with FreeSyncLog.
inline Batch Read(Reader reader, std::uint32_t count) {
    SyncLogEntry* array = reinterpret_cast<SyncLogEntry*>(1);
    std::uint32_t returned = 12345;
    Batch batch;
    batch.result = reader(count, &array, &returned);
    batch.arrayHandedOut = array != nullptr;
    if (array != nullptr) {
        for (std::uint32_t i = 0; i < returned; ++i) batch.entries.push_back(Copy(array[i]));
        batch.terminated = array[returned].kindText == nullptr;
        FreeSyncLog(array);
    } else if (returned != 0) {
        batch.terminated = false;
    }
    return batch;
}

}  // namespace synctest
