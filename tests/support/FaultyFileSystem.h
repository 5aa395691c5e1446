#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/PosixFileSystem.h"

namespace velk::test {

/// The real file system, failing on demand: a chosen call throws FileSystemError (EIO)
/// instead of doing anything, as a full disk or a vanished volume would. A failing
/// attributes() answers none; a failing openForReading() opens the file, and every read
/// of it then fails, as a bad sector would. Safe to use from several threads.
class FaultyFileSystem : public FileSystem {
public:
    enum class Operation {
        attributes,
        list,
        writeAtomically,
        createDirectories,
        move,
        replace,
        copy,
        remove,
        read,
    };

    /// Fails the nth call (from 1) of `operation`; 0 disarms it.
    void failNth(Operation operation, int nth);
    /// Fails the nth call counted over every operation, or, with `andAfter`, that call and
    /// every later one. 0 disarms it. Counting starts afresh.
    void failStep(int step, bool andAfter = false);
    /// Disarms every fault and starts counting afresh.
    void reset();
    /// Whether an armed fault has fired since it was armed.
    bool faulted() const { return faulted_; }

    std::optional<ItemAttributes> attributes(const std::filesystem::path& path) const override;
    std::vector<DirectoryEntry> list(const std::filesystem::path& folder) const override;
    void writeAtomically(const std::filesystem::path& target, std::string_view bytes) override;
    void createDirectories(const std::filesystem::path& folder) override;
    void move(const std::filesystem::path& from, const std::filesystem::path& to) override;
    void replace(const std::filesystem::path& from, const std::filesystem::path& to) override;
    void copy(const std::filesystem::path& from, const std::filesystem::path& to) override;
    void remove(const std::filesystem::path& path) override;
    void removeFile(const std::filesystem::path& path) override { real_.removeFile(path); }
    void setPermissionsAndTime(const std::filesystem::path& file,
                               std::optional<std::uint32_t> permissions,
                               std::optional<Date> modified) override {
        real_.setPermissionsAndTime(file, permissions, modified);
    }
    void flushFile(const std::filesystem::path& file) override { real_.flushFile(file); }
    void flushFolder(const std::filesystem::path& folder) override { real_.flushFolder(folder); }
    std::unique_ptr<ReadableFile> openForReading(const std::filesystem::path& path) const override;

private:
    static constexpr std::size_t operationCount = 9;

    /// True when this call must fail.
    bool shouldFail(Operation operation) const;
    void failIfArmed(Operation operation, const std::filesystem::path& path) const;

    PosixFileSystem real_;
    mutable std::mutex mutex_;
    std::array<int, operationCount> nth_{};
    mutable std::array<int, operationCount> calls_{};
    int step_ = 0;
    bool andAfter_ = false;
    mutable int steps_ = 0;
    mutable std::atomic<bool> faulted_ = false;
};

} // namespace velk::test
