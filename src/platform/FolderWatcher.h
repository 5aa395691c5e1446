#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace velk {

/// Tells when the entries at one folder's top level change, from the kernel's events
/// (inotify), on a reader thread of its own. The handler runs on that thread, once for
/// each batch of events read; it must be quick and must not destroy the watcher.
class FolderWatcher {
public:
    enum class Signal {
        /// An entry was created, written, moved in or out, removed or had its attributes
        /// changed.
        changed,
        /// The kernel dropped events (its queue overflowed): anything may have changed.
        /// Events keep coming afterwards.
        overflow,
        /// The watch ended (the folder was removed, moved or unmounted): no more events.
        lost,
    };
    using Handler = std::function<void(Signal)>;

    /// Throws std::system_error when the kernel refuses (no inotify, the per-user watch or
    /// instance limit reached, the folder unreadable).
    FolderWatcher(const std::filesystem::path& folder, Handler handler);
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;
    /// Returns once the reader thread has ended; the handler is not called after that.
    ~FolderWatcher();

    /// The name of the file system holding `folder` when it is one whose changes made
    /// elsewhere (another machine, a user-space server) never reach the kernel's events:
    /// network and FUSE mounts. None for local file systems, or when it cannot be told.
    static std::optional<std::string> remoteFileSystemName(const std::filesystem::path& folder);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velk
