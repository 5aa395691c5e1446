#pragma once

#include "platform/FileSystem.h"

namespace velk {

/// FileSystem on Linux system calls. Stateless; safe to use from several threads.
class PosixFileSystem : public FileSystem {
public:
    std::optional<ItemAttributes> attributes(const std::filesystem::path& path) const override;
    /// Entries come in the order the file system returns them.
    std::vector<DirectoryEntry> list(const std::filesystem::path& folder) const override;
    void writeAtomically(const std::filesystem::path& target, std::string_view bytes) override;
    void createDirectories(const std::filesystem::path& folder) override;
    void move(const std::filesystem::path& from, const std::filesystem::path& to) override;
    void replace(const std::filesystem::path& from, const std::filesystem::path& to) override;
    void copy(const std::filesystem::path& from, const std::filesystem::path& to) override;
    void remove(const std::filesystem::path& path) override;
    void removeFile(const std::filesystem::path& path) override;
    void setPermissionsAndTime(const std::filesystem::path& file,
                               std::optional<std::uint32_t> permissions,
                               std::optional<Date> modified) override;
    void flushFile(const std::filesystem::path& file) override;
    void flushFolder(const std::filesystem::path& folder) override;
    std::unique_ptr<ReadableFile> openForReading(const std::filesystem::path& path) const override;
};

/// A PosixFileSystem for code that was handed no file system of its own.
FileSystem& systemFileSystem();

} // namespace velk
