#pragma once

#include <filesystem>
#include <optional>

#include "core/Error.h"

namespace velk {

/// The standard file errors the engine reports. what() is the English log line, kept as
/// it always was; description() is what the history and notifications show.
class FileError : public Error {
public:
    enum class Kind {
        noSuchFile,
        readNoSuchFile,
        readCorruptFile,
        readUnsupportedScheme,
        writeUnsupportedScheme,
        writeUnknown,
    };
    /// What the path names; only the user's text depends on it.
    enum class Item { file, folder };

    explicit FileError(Kind kind, std::optional<std::filesystem::path> file = std::nullopt,
                       Item item = Item::file);
    Kind kind() const noexcept { return kind_; }
    Item item() const noexcept { return item_; }
    const std::optional<std::filesystem::path>& file() const noexcept { return file_; }

    /// Names the file at most once, and never one of the engine's own hidden scratch files.
    std::string description(AppLanguage language) const override;

    static std::string describe(Kind kind, const std::optional<std::filesystem::path>& file);

private:
    Kind kind_;
    Item item_;
    std::optional<std::filesystem::path> file_;
};

} // namespace velk
