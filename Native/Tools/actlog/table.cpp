#include "table.h"

#include <map>

#include "message_ids.h"
#include "text.h"

namespace actlogtool {

namespace {

std::size_t Width(const std::string& utf8) {
    std::size_t width = 0;
    for (char c : utf8) {
        if ((static_cast<unsigned char>(c) & 0xC0u) != 0x80u) ++width;
    }
    return width;
}

bool LooksNumeric(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789-") == std::string::npos;
}

}  // namespace

Table::Table(std::vector<std::string> header) : header_(std::move(header)), rightAligned_(header_.size(), true) {}

void Table::Add(std::vector<std::string> row) {
    row.resize(header_.size());
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (!row[i].empty() && !LooksNumeric(row[i])) rightAligned_[i] = false;
    }
    rows_.push_back(std::move(row));
}

std::string Table::Render() const {
    std::vector<std::size_t> widths(header_.size());
    for (std::size_t i = 0; i < header_.size(); ++i) widths[i] = Width(header_[i]);
    for (const auto& row : rows_) {
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    }
    std::string out;
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            std::size_t pad = widths[i] - Width(cells[i]);
            bool last = i + 1 == cells.size();
            bool right = rightAligned_[i] && !last;
            if (right) text.append(pad, ' ');
            text += cells[i];
            if (!last && !right) text.append(pad, ' ');
            if (!last) text += "  ";
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    };
    line(header_);
    for (const auto& row : rows_) line(row);
    return out;
}

std::string NormalTime(const LOG_WCHAR* timeText) {
    std::string text = Narrow(timeText);
    std::string out;
    for (char c : text) {
        if (c == ' ') {
            if (!out.empty() && out.back() != ' ') out.push_back(' ');
        } else {
            out.push_back(c == '/' ? '-' : c);
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    // Years below 1000 are written blank-padded.
    return out;
}

std::string SeverityLabel(uint32_t severity) {
    static std::map<uint32_t, std::string> cache;
    static constexpr uint32_t kIds[] = {MSG_LABEL_DEFAULT, MSG_LABEL_SEV1, MSG_LABEL_SEV2,
                                        MSG_LABEL_SEV3,    MSG_LABEL_SEV4, MSG_LABEL_SEV5};
    uint32_t id = severity <= 5 ? kIds[severity] : MSG_LABEL_DEFAULT;
    auto it = cache.find(id);
    if (it != cache.end()) return it->second;
    LOG_WCHAR buffer[260] = {};
    std::string label = JobLoadString(id, buffer, 260) == 0 ? Narrow(buffer) : "?";
    cache.emplace(id, label);
    return label;
}

std::string MessageOf(const ActivityEntry& entry) {
    std::string text = Narrow(entry.messageText);
    if (!text.empty() && text.front() == ' ') text.erase(0, 1);
    return text;
}

std::string OneLine(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(c == '\r' || c == '\n' || c == '\t' ? ' ' : c);
    }
    return out;
}

std::string ActivityJson(const ActivityEntry& entry, const std::string& owner, bool machine) {
    return "{\"time\":" + JsonString(NormalTime(entry.timeText)) + ",\"severity\":" + std::to_string(entry.severity) +
           ",\"label\":" + JsonString(SeverityLabel(entry.severity)) + ",\"job\":" + std::to_string(entry.jobNumber) +
           ",\"owner\":" + (machine ? std::string("null") : JsonString(owner)) +
           ",\"message\":" + JsonString(MessageOf(entry)) + "}\n";
}

std::vector<std::string> ActivityHeader() { return {"TIME (UTC)", "SEVERITY", "JOB", "MESSAGE"}; }

std::vector<std::string> ActivityRow(const ActivityEntry& entry) {
    return {NormalTime(entry.timeText), SeverityLabel(entry.severity),
            entry.jobNumber == 0 ? std::string() : std::to_string(entry.jobNumber), OneLine(MessageOf(entry))};
}

std::string SyncJson(const SyncLogEntry& entry) {
    auto textOrNull = [](const LOG_WCHAR* text) {
        return text == nullptr ? std::string("null") : JsonString(Narrow(text));
    };
    return "{\"kind\":" + textOrNull(entry.kindText) + ",\"time\":" + textOrNull(entry.timeText) +
           ",\"owner\":" + textOrNull(entry.ownerName) + ",\"severity\":" + std::to_string(entry.severity) +
           ",\"job\":" + std::to_string(entry.jobNumber) + ",\"message\":" + textOrNull(entry.messageText) + "}\n";
}

std::vector<std::string> SyncHeader() { return {"KIND", "TIME (UTC)", "OWNER", "SEVERITY", "JOB", "MESSAGE"}; }

std::vector<std::string> SyncRow(const SyncLogEntry& entry) {
    const bool add = entry.ownerName != nullptr;
    return {Narrow(entry.kindText),
            Narrow(entry.timeText),
            add ? Narrow(entry.ownerName) : std::string(),
            add ? std::to_string(entry.severity) : std::string(),
            add ? std::to_string(entry.jobNumber) : std::string(),
            OneLine(Narrow(entry.messageText))};
}

}  // namespace actlogtool
