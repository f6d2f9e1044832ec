// Output of records: aligned text tables and JSON lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Log.h"

namespace actlogtool {

// A table whose columns are as wide as their widest cell (counted in code
// points); the last column is not padded.
class Table {
public:
    explicit Table(std::vector<std::string> header);
    void Add(std::vector<std::string> row);
    std::string Render() const;
    bool empty() const { return rows_.empty(); }

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
    std::vector<bool> rightAligned_;
};

// "2024/03/05  14:07:09 " -> "2024-03-05 14:07:09".
std::string NormalTime(const LOG_WCHAR* timeText);
// The severity label that the message library gives severity s (as written in
// records); "?" when the library has none.
std::string SeverityLabel(uint32_t severity);
// A record's message without the blank in front of it; line breaks kept.
std::string MessageOf(const ActivityEntry& entry);
// Message text for a table cell: line breaks and tabs shown as blanks.
std::string OneLine(std::string text);

std::string ActivityJson(const ActivityEntry& entry, const std::string& owner, bool machine);
std::vector<std::string> ActivityRow(const ActivityEntry& entry);
std::vector<std::string> ActivityHeader();

std::string SyncJson(const SyncLogEntry& entry);
std::vector<std::string> SyncRow(const SyncLogEntry& entry);
std::vector<std::string> SyncHeader();

}  // namespace actlogtool
