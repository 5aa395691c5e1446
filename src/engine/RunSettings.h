#pragma once

#include <string>

#include "model/AppConfig.h"

namespace velk {

/// What a run was started with, fixed until the next start. Made once by start() and
/// handed, shared and never changed, to the pieces and workers that need it, so a worker
/// reads no member of the engine.
struct RunSettings {
    AppConfig config;
    /// The processing settings key of `config`, what records and marks are made under.
    std::string key;
    /// Each outside tool run may take base + perMegapixel × the image's megapixels seconds.
    double toolTimeLimitBase = 0;
    double toolTimeLimitPerMegapixel = 0;

    FormatStrategy formatStrategy() const { return config.formatStrategy; }
    OriginalPolicy originalPolicy() const { return config.originalPolicy; }
};

/// `config` with its settings key.
RunSettings runSettings(const AppConfig& config, double toolTimeLimitBase,
                        double toolTimeLimitPerMegapixel);

} // namespace velk
