#pragma once

#include <filesystem>
#include <optional>

#include "core/Error.h"

namespace velk {

/// The standard file errors the engine reports; what() is the sentence shown in the
/// history and in notifications.
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

    explicit FileError(Kind kind, std::optional<std::filesystem::path> file = std::nullopt);
    Kind kind() const noexcept { return kind_; }

    static std::string describe(Kind kind, const std::optional<std::filesystem::path>& file);

private:
    Kind kind_;
};

} // namespace velk
