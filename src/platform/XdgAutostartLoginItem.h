#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/LoginItem.h"

namespace velk {

/// The login item as an XDG autostart entry: a desktop file in the autostart folder that
/// the session starts at login. "Enabled" means the file exists and the user has not
/// switched it off with `Hidden=true`.
class XdgAutostartLoginItem final : public LoginItem {
public:
    static constexpr std::string_view fileName = "velk-compressor.desktop";

    /// `executable` is what the entry launches; it must be an absolute path.
    XdgAutostartLoginItem(std::filesystem::path autostartDirectory,
                          std::filesystem::path executable);

    /// "$XDG_CONFIG_HOME/autostart" when that variable holds an absolute path, else
    /// "~/.config/autostart".
    static std::filesystem::path defaultAutostartDirectory();
    /// This process's program, from /proc/self/exe; empty when it cannot be read.
    static std::filesystem::path currentExecutable();

    /// The desktop entry launching `executable`. Throws FileError(writeUnknown) for a path
    /// a desktop file cannot carry (not UTF-8, or holding control characters).
    static std::string desktopEntry(const std::filesystem::path& executable);

    std::filesystem::path file() const { return autostartDirectory_ / fileName; }

    bool isEnabled() const override;
    void registerItem() override;
    void unregisterItem() override;

private:
    std::filesystem::path autostartDirectory_;
    std::filesystem::path executable_;
};

} // namespace velk
