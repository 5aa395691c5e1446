#include "engine/ProcessedFileRegistry.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Constants.h"
#include "core/Locations.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Version.h"
#include "model/JsonFields.h"
#include "model/RawValueTable.h"
#include "model/RecordDecodeError.h"

namespace velk {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct DecisionRow {
    ProcessedDecision value;
    std::string_view raw;
};

constexpr std::array<DecisionRow, 3> decisionTable = {{
    {ProcessedDecision::compressed, "compressed"},
    {ProcessedDecision::alreadyOptimal, "alreadyOptimal"},
    {ProcessedDecision::existingOutputFresh, "existingOutputFresh"},
}};

struct LeftAloneRow {
    LeftAloneReason value;
    std::string_view raw;
};

constexpr std::array<LeftAloneRow, 6> leftAloneTable = {{
    {LeftAloneReason::failed, "failed"},
    {LeftAloneReason::unsupported, "unsupported"},
    {LeftAloneReason::restored, "restored"},
    {LeftAloneReason::existing, "existing"},
    {LeftAloneReason::ignored, "ignored"},
    {LeftAloneReason::withoutOriginal, "withoutOriginal"},
}};

// Beyond about ±292 years from 1970 a date no longer fits the clock's nanosecond count;
// such a value can only come from a damaged file, and is rejected like any bad number.
constexpr double largestStoredSeconds = 8.0e9;

Date date(const json& object, std::string_view key) {
    const double seconds = recordjson::required(recordjson::number(object, key), key);
    if (!std::isfinite(seconds) || std::fabs(seconds) > largestStoredSeconds) {
        throw RecordDecodeError(RecordDecodeError::Kind::badValue,
                                std::string(key) + ": out of range");
    }
    return dateFromSecondsSince2001(seconds);
}

ProcessedFileRecord decodeRecord(const json& object) {
    recordjson::requireObject(object, "record");
    ProcessedFileRecord record;
    const std::string decision = recordjson::requiredString(object, "decision");
    const auto value = processedDecisionFromRaw(decision);
    if (!value)
        throw RecordDecodeError(RecordDecodeError::Kind::badValue, "decision: " + decision);
    record.decision = *value;

    const json& fingerprint = recordjson::requiredObject(object, "fingerprint");
    record.fingerprint.size = recordjson::required(recordjson::int64(fingerprint, "size"), "size");
    record.fingerprint.headHash =
        recordjson::required(recordjson::uint64(fingerprint, "headHash"), "headHash");
    record.fingerprint.tailHash =
        recordjson::required(recordjson::uint64(fingerprint, "tailHash"), "tailHash");

    record.updatedAt = date(object, "updatedAt");
    record.resourceIdentifier = recordjson::string(object, "resourceIdentifier");
    record.settingsKey = recordjson::string(object, "settingsKey");
    // A reason this version does not know (written by a later one) leaves a plain record.
    if (const auto reason = recordjson::string(object, "leftAlone"))
        record.leftAlone = leftAloneReasonFromRaw(*reason);
    record.programVersion = recordjson::string(object, "programVersion");
    return record;
}

json encodeRecord(const ProcessedFileRecord& record) {
    json object = json::object();
    object["decision"] = rawValue(record.decision);
    object["fingerprint"] = {{"headHash", record.fingerprint.headHash},
                             {"size", record.fingerprint.size},
                             {"tailHash", record.fingerprint.tailHash}};
    object["updatedAt"] = secondsSince2001(record.updatedAt);
    if (record.resourceIdentifier)
        object["resourceIdentifier"] = *record.resourceIdentifier;
    if (record.settingsKey)
        object["settingsKey"] = *record.settingsKey;
    if (record.leftAlone)
        object["leftAlone"] = rawValue(*record.leftAlone);
    if (record.programVersion)
        object["programVersion"] = *record.programVersion;
    return object;
}

std::string keyFor(const fs::path& file) {
    return pathKey(standardized(file));
}

} // namespace

std::string_view rawValue(ProcessedDecision decision) {
    return rowFor(decisionTable, decision).raw;
}

std::optional<ProcessedDecision> processedDecisionFromRaw(std::string_view raw) {
    return valueForRaw(decisionTable, raw);
}

std::string_view rawValue(LeftAloneReason reason) {
    return rowFor(leftAloneTable, reason).raw;
}

std::optional<LeftAloneReason> leftAloneReasonFromRaw(std::string_view raw) {
    return valueForRaw(leftAloneTable, raw);
}

std::string processingSettingsKey(std::string_view presetRaw, std::string_view formatRaw,
                                  std::string_view originalRaw, int jpegQuality, int pngQuality,
                                  int webpQuality, int avifQuality, int heicQuality) {
    std::string key = "v2";
    key += "|preset:";
    key += presetRaw;
    key += "|format:";
    key += formatRaw;
    key += "|original:";
    key += originalRaw;
    key += "|jpeg:" + std::to_string(jpegQuality);
    key += "|png:" + std::to_string(pngQuality);
    key += "|webp:" + std::to_string(webpQuality);
    key += "|avif:" + std::to_string(avifQuality);
    key += "|heic:" + std::to_string(heicQuality);
    return key;
}

fs::path ProcessedFileRegistry::defaultFile() {
    return velkApplicationSupportDirectory() / registryFileName;
}

ProcessedFileRegistry::ProcessedFileRegistry(FileSystem& fs, fs::path file)
    : fs_(fs), file_(std::move(file)) {
    bool loaded = false;
    try {
        loaded = decode(fs_.readFile(file_));
    } catch (const FileSystemError&) {
        // Missing on a first start, unreadable after damage: both begin afresh.
    }
    if (!loaded) {
        version_ = initialVersion;
        entries_.clear();
    }
}

bool ProcessedFileRegistry::decode(std::string_view text) {
    try {
        const json root = recordjson::parse(text);
        recordjson::requireObject(root, "registry");
        const json& entries = recordjson::requiredObject(root, "entries");
        const std::int64_t version =
            recordjson::required(recordjson::int64(root, "version"), "version");

        std::map<std::string, ProcessedFileRecord> decoded;
        for (const auto& [key, value] : entries.items())
            decoded.emplace(key, decodeRecord(value));
        version_ = version;
        entries_ = std::move(decoded);
        return true;
    } catch (const RecordDecodeError&) {
        return false;
    }
}

std::optional<ProcessedFileRecord> ProcessedFileRegistry::record(const fs::path& file) const {
    const auto it = entries_.find(keyFor(file));
    if (it == entries_.end())
        return std::nullopt;
    return it->second;
}

void ProcessedFileRegistry::store(const fs::path& file, ProcessedFileRecord record) {
    entries_.insert_or_assign(keyFor(file), std::move(record));
    unsaved_ = true;
}

bool ProcessedFileRegistry::remember(const fs::path& file, ProcessedDecision decision,
                                     std::string settingsKey, Date now, Save save) {
    return rememberAs(file, decision, std::nullopt, std::move(settingsKey), now, save);
}

bool ProcessedFileRegistry::leaveAlone(const fs::path& file, LeftAloneReason reason,
                                       std::string settingsKey, Date now, Save save) {
    return rememberAs(file, ProcessedDecision::alreadyOptimal, reason, std::move(settingsKey), now,
                      save);
}

bool ProcessedFileRegistry::rememberAs(const fs::path& file, ProcessedDecision decision,
                                       std::optional<LeftAloneReason> leftAlone,
                                       std::string settingsKey, Date now, Save save) {
    const auto fingerprint = contentFingerprint(fs_, file);
    if (!fingerprint)
        return false;
    ProcessedFileRecord record;
    record.fingerprint = *fingerprint;
    record.decision = decision;
    record.updatedAt = now;
    if (const auto signature = fileSignature(fs_, file))
        record.resourceIdentifier = signature->resourceIdentifier;
    record.settingsKey = std::move(settingsKey);
    record.leftAlone = leftAlone;
    if (leftAlone == LeftAloneReason::failed)
        record.programVersion = std::string(compiledVersion);
    store(file, std::move(record));
    pruneIfNeeded();
    if (save == Save::now)
        this->save();
    return true;
}

std::optional<LeftAloneReason>
ProcessedFileRegistry::leftAloneReason(const fs::path& file, const ContentFingerprint& fingerprint,
                                       const std::optional<std::string>& resourceIdentifier) const {
    const auto it = entries_.find(keyFor(file));
    if (it == entries_.end() || !it->second.leftAlone)
        return std::nullopt;
    const ProcessedFileRecord& record = it->second;
    if (*record.leftAlone == LeftAloneReason::ignored)
        return record.leftAlone;
    if (record.fingerprint != fingerprint || record.resourceIdentifier != resourceIdentifier)
        return std::nullopt;
    // An update may have mended what failed.
    if (*record.leftAlone == LeftAloneReason::failed && record.programVersion != compiledVersion)
        return std::nullopt;
    return record.leftAlone;
}

void ProcessedFileRegistry::forget(const fs::path& file) {
    if (entries_.erase(keyFor(file)) > 0)
        unsaved_ = true;
}

bool ProcessedFileRegistry::matches(const fs::path& file, const ContentFingerprint& fingerprint,
                                    const std::optional<std::string>& resourceIdentifier,
                                    std::string_view settingsKey) const {
    const auto it = entries_.find(keyFor(file));
    if (it == entries_.end())
        return false;
    const ProcessedFileRecord& record = it->second;
    return record.fingerprint == fingerprint && record.resourceIdentifier == resourceIdentifier &&
           record.settingsKey.has_value() && *record.settingsKey == settingsKey;
}

void ProcessedFileRegistry::reserveForFolder(std::size_t entries) {
    constexpr std::size_t slack = 256;
    capacity_ = std::max(maximumEntries, 2 * entries + slack);
}

void ProcessedFileRegistry::pruneIfNeeded() {
    if (entries_.size() <= capacity_)
        return;
    std::vector<std::pair<std::string, ProcessedFileRecord>> ordered(
        std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()));
    const auto ignored = [](const ProcessedFileRecord& record) {
        return record.leftAlone == LeftAloneReason::ignored;
    };
    std::stable_sort(ordered.begin(), ordered.end(), [&](const auto& a, const auto& b) {
        if (ignored(a.second) != ignored(b.second))
            return ignored(a.second);
        return a.second.updatedAt > b.second.updatedAt;
    });
    ordered.resize(capacity_);
    entries_.clear();
    for (auto& entry : ordered)
        entries_.emplace(std::move(entry.first), std::move(entry.second));
}

void ProcessedFileRegistry::saveIfChanged() {
    if (unsaved_)
        save();
}

std::string ProcessedFileRegistry::encoded() const {
    json entries = json::object();
    for (const auto& [key, record] : entries_)
        entries[key] = encodeRecord(record);
    const json root = {{"entries", std::move(entries)}, {"version", version_}};
    // Replacing invalid UTF-8 keeps a stray byte in a caller's text from failing the save;
    // path keys themselves are always valid.
    const std::string text = recordjson::dump(root);
    // A '/' can only occur inside a JSON string, so escaping every one is safe.
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '/')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

void ProcessedFileRegistry::save() {
    try {
        fs_.createDirectories(file_.parent_path());
        fs_.writeAtomically(file_, encoded());
        unsaved_ = false;
    } catch (const std::exception& error) {
        NativeLog::write(std::string("Processed registry save failed: ") + error.what());
    }
}

} // namespace velk
