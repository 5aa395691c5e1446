#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "core/Error.h"

namespace velk {

/// A lock could not be taken. what() is a sentence for the user; for `held` it names the
/// process that holds the lock when that process could be found.
class FolderLockError : public Error {
public:
    /// `held`: a live process holds the lock. `unsafe`: something that is not a plain
    /// file of ours (a symbolic link, a FIFO) sits under the lock file's name, so taking
    /// the lock would guard nothing. `unavailable`: the file system cannot lock.
    enum class Kind { held, unsafe, unavailable };

    FolderLockError(Kind kind, std::filesystem::path path, const std::string& message,
                    std::optional<int> holderPid, std::error_code code = {},
                    bool holderEnding = false);
    Kind kind() const noexcept { return kind_; }
    /// The folder or lock file that could not be locked.
    const std::filesystem::path& path() const noexcept { return path_; }
    /// The process id of the holder (`held` only, and only when it could be found).
    std::optional<int> holderPid() const noexcept { return holderPid_; }
    /// The holder was already ending (killed, or exiting) and still held the lock when
    /// the wait for it ran out (`held` only).
    bool holderEnding() const noexcept { return holderEnding_; }
    std::error_code code() const noexcept { return code_; }

    std::string description(AppLanguage language) const override;

private:
    Kind kind_;
    std::filesystem::path path_;
    std::optional<int> holderPid_;
    std::error_code code_;
    bool holderEnding_;
};

/// An exclusive advisory lock (flock) held for the object's lifetime. The kernel drops it
/// when the process ends in any way, SIGKILL included, so a crashed run never blocks the
/// next one; and the descriptor is close-on-exec, so an outside tool still running after
/// we died cannot keep it either. Locks conflict between processes and between two
/// objects of one process alike.
///
/// "Ends" is not instant: a killed process keeps its descriptors, and so the lock, until
/// it has torn down its memory (tens of milliseconds for an engine with images in
/// flight, longer while a thread finishes a write to a slow disk). A lock whose holder
/// is already ending is therefore waited for, up to `endingHolderWait`, rather than
/// refused.
class FolderLock {
public:
    /// Locks the folder itself through its own descriptor: nothing is written into it, so
    /// a user's folder gains no lock file. Throws FolderLockError.
    static FolderLock lockFolder(const std::filesystem::path& folder);

    /// Locks `file`, creating it (0600) when missing, and writes this process's id into
    /// it for whoever finds it held. Never follows a link: a link (or anything but a
    /// regular file) under the name is `unsafe`. Throws FolderLockError.
    static FolderLock lockFile(const std::filesystem::path& file);

    /// The id of the process holding a lock on `path` now, if any: from the kernel's
    /// lock table, else from the id a lock file holds.
    static std::optional<int> holderOf(const std::filesystem::path& path);

    static constexpr std::chrono::milliseconds endingHolderWait{5000};

    FolderLock(FolderLock&& other) noexcept;
    FolderLock& operator=(FolderLock&& other) noexcept;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();

    const std::filesystem::path& path() const noexcept { return path_; }

    /// Where the locked item is now, against what `path` leads to (a link followed). The
    /// lock's descriptor keeps a removed item alive, so its removal raises no event of
    /// its own; this asks the kernel instead.
    enum class Presence {
        /// `path` still leads to the locked item.
        atPath,
        /// Its last name is gone.
        removed,
        /// It still exists, but `path` leads elsewhere or nowhere: it was moved away, or
        /// something else was made under its name.
        elsewhere,
    };
    Presence presenceAt(const std::filesystem::path& path) const;

private:
    FolderLock(int fd, std::filesystem::path path);

    int fd_ = -1;
    std::filesystem::path path_;
};

} // namespace velk
