#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"
#include "model/AppConfig.h"

namespace velk {

class ImageCodec;

/// A command line the program cannot act on; what() is the line for stderr.
class UsageError : public Error {
public:
    using Error::Error;
};

/// What the command line asks for. Values stay text until `apply`, because which formats
/// are accepted depends on the codec.
struct HeadlessOptions {
    enum class Mode { help, version, headless, update, restore, none };
    /// The tray program's view to show at once ("panel", "settings", "history"); a
    /// running program is asked to show it instead.
    std::optional<std::string> show;

    Mode mode = Mode::none;
    std::optional<std::filesystem::path> watch;
    std::optional<std::string> preset;
    std::optional<std::string> format;
    std::optional<std::string> originals;
    bool once = false;
    /// The files whose originals --restore puts back.
    std::vector<std::filesystem::path> restore;
    /// Files encoded at once, 1 to 4; none leaves the engine's default.
    std::optional<int> jobs;

    /// Throws UsageError for an unknown option, a missing value or a repeated option.
    static HeadlessOptions parse(const std::vector<std::string>& arguments);
    static std::string helpText();

    /// `config` changed as the panel's own actions would change it. Throws UsageError,
    /// naming the accepted values, for any value the panel would not offer; nothing is
    /// changed then.
    AppConfig apply(AppConfig config, const ImageCodec& codec) const;
    bool changesConfig() const { return watch || preset || format || originals; }
};

} // namespace velk
