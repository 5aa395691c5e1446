#include "model/CompressionHistory.h"

#include <algorithm>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/AtomicWrite.h"
#include "core/NativeLog.h"
#include "model/JsonFields.h"
#include "model/RecordDecodeError.h"

namespace velk {

namespace fs = std::filesystem;

CompressionHistory::CompressionHistory(std::vector<CompressionHistoryEntry> entries)
    : entries_(std::move(entries)) {
    if (entries_.size() > capacity)
        entries_.resize(capacity);
}

void CompressionHistory::record(CompressionHistoryEntry entry) {
    entries_.insert(entries_.begin(), std::move(entry));
    if (entries_.size() > capacity)
        entries_.resize(capacity);
}

CompressionHistory CompressionHistory::decode(std::string_view bytes) {
    const nlohmann::json root = recordjson::parse(bytes);
    if (!root.is_array()) {
        throw RecordDecodeError(RecordDecodeError::Kind::wrongType, "history: not an array");
    }
    std::vector<CompressionHistoryEntry> entries;
    entries.reserve(std::min(root.size(), capacity));
    for (const nlohmann::json& element : root) {
        // Every row is checked, even past the cap, so a damaged file is never half-trusted.
        CompressionHistoryEntry entry = decodeCompressionHistoryEntry(element);
        if (entries.size() < capacity)
            entries.push_back(std::move(entry));
    }
    return CompressionHistory(std::move(entries));
}

std::string CompressionHistory::encode() const {
    nlohmann::json root = nlohmann::json::array();
    for (const CompressionHistoryEntry& entry : entries_) {
        root.push_back(encodeCompressionHistoryEntry(entry));
    }
    return recordjson::dump(root);
}

CompressionHistory CompressionHistory::load(const fs::path& file) {
    std::string bytes;
    if (!readWholeFile(file, bytes))
        return {};
    try {
        return decode(bytes);
    } catch (const RecordDecodeError& error) {
        NativeLog::debug(std::string("History ignored: ") + error.what());
        return {};
    }
}

bool CompressionHistory::save(const fs::path& file) const {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (!ec)
        ec = writeFileAtomically(file, encode());
    if (ec) {
        NativeLog::write("History save failed " + ec.message());
        return false;
    }
    return true;
}

} // namespace velk
