#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/DateTime.h"
#include "core/Error.h"

namespace velk {

/// A failed file operation; what() names the operation, the path and the reason.
class FileSystemError : public Error {
public:
    FileSystemError(std::string_view operation, const std::filesystem::path& path,
                    std::error_code code);
    std::error_code code() const noexcept { return code_; }
    const std::filesystem::path& path() const noexcept { return path_; }

    /// By the reason: a missing item, no permission, a full or read-only disk.
    std::string description(AppLanguage language) const override;

private:
    std::error_code code_;
    std::filesystem::path path_;
};

/// Attributes of the item itself: a symbolic link is described, never followed.
struct ItemAttributes {
    std::uint64_t size = 0;
    Date modificationDate;
    /// Birth time where the file system reports it; never the inode change time,
    /// which a rename changes.
    std::optional<Date> creationDate;
    std::uint64_t fileNumber = 0;
    /// Permission bits (rwx for user, group and others), without the file type.
    std::uint32_t permissions = 0;
    bool isRegularFile = false;
    bool isDirectory = false;
    bool isSymbolicLink = false;
    bool operator==(const ItemAttributes&) const = default;
};

struct DirectoryEntry {
    std::filesystem::path path;
    /// False for a symbolic link, whatever it points at.
    bool isRegularFile = false;
    bool isHidden = false;
};

/// One file open for reading. Reads name their offset, so one open file serves a parser
/// that jumps about as well as a caller that streams it. Every failure throws
/// FileSystemError: the one way a read reports an I/O error.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    /// The size as it is now. Throws FileSystemError.
    virtual std::uint64_t size() const = 0;
    /// Up to `count` bytes at `offset`: fewer only where the file ends, 0 at or past its
    /// end. Throws FileSystemError.
    virtual std::size_t readAt(std::uint64_t offset, char* buffer, std::size_t count) = 0;

    /// Exactly `count` bytes at `offset`, or none when the file ends sooner (it shrank,
    /// or a structure claims more than is there). Throws FileSystemError.
    std::optional<std::string> readExactly(std::uint64_t offset, std::size_t count);
};

/// Every read of file contents goes through here, so that a test can fail any of them.
class FileReader {
public:
    virtual ~FileReader() = default;
    /// Opens a regular file, following a symbolic link at `path` as open(2) does; a
    /// caller that must not read through a link checks the item's attributes first.
    /// Never blocks: anything but a regular file (a FIFO, a device, a folder) is refused.
    /// Throws FileSystemError.
    virtual std::unique_ptr<ReadableFile>
    openForReading(const std::filesystem::path& path) const = 0;
    /// The whole file, to its end as it is while being read. Throws FileSystemError.
    std::string readFile(const std::filesystem::path& path) const;
};

/// The file operations the engine and the stores use. Every path is absolute.
class FileSystem : public FileReader {
public:
    /// None when the item does not exist or cannot be examined.
    virtual std::optional<ItemAttributes> attributes(const std::filesystem::path& path) const = 0;
    bool exists(const std::filesystem::path& path) const { return attributes(path).has_value(); }

    /// The folder's top level, without "." and "..". Throws FileSystemError.
    virtual std::vector<DirectoryEntry> list(const std::filesystem::path& folder) const = 0;

    /// Temporary file in the same folder, flushed, renamed over the target. Throws.
    virtual void writeAtomically(const std::filesystem::path& target, std::string_view bytes) = 0;
    virtual void createDirectories(const std::filesystem::path& folder) = 0;
    /// Fails when `to` exists. Throws FileSystemError.
    virtual void move(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
    /// Renames over an existing `to`. Throws FileSystemError.
    virtual void replace(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
    /// Byte copy keeping the mode; fails when `to` exists; flushed before returning.
    virtual void copy(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
    /// Removes a file, a link or a whole folder; a missing item is not an error.
    virtual void remove(const std::filesystem::path& path) = 0;
    /// Removes one item that is not a folder (a link itself, never what it points at);
    /// a missing item is not an error, a folder is. Throws FileSystemError.
    virtual void removeFile(const std::filesystem::path& path) = 0;
    /// Sets a regular file's permission bits and/or modification time without following
    /// a link at `path`. Throws FileSystemError.
    virtual void setPermissionsAndTime(const std::filesystem::path& file,
                                       std::optional<std::uint32_t> permissions,
                                       std::optional<Date> modified) = 0;
    /// Makes a regular file's bytes durable (never through a link). Throws FileSystemError.
    virtual void flushFile(const std::filesystem::path& file) = 0;
    /// Makes the names in a folder durable; file systems that refuse it are not an error.
    virtual void flushFolder(const std::filesystem::path& folder) = 0;
};

} // namespace velk
